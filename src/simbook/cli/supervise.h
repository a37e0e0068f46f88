// Running a procedure as a unit: one child process in a process group of its own, waited for
// with a time limit, and ended together with every process it started when the limit passes,
// when simbook is interrupted (Ctrl-C, SIGTERM, SIGHUP), or when it ends and leaves processes
// behind. Linux only: simbook runs on the development machine in both builds' sessions.
#pragma once

#include <string>
#include <vector>

namespace simbook::cli {

struct ChildCommand {
    std::vector<std::string> argv; // argv[0] is looked up on the child's PATH
    std::vector<std::string> env;  // the child's whole environment, "NAME=value"
    int out = 1;                   // the child's standard output and error
    int err = 2;                   // (standard input is /dev/null: procedures ask nothing)
    double timeoutSeconds = 300;   // then the child and its processes are ended
    double graceSeconds = 2;       // between SIGTERM and SIGKILL
    bool endLeftovers = true;      // end the processes the child leaves behind
};

struct ChildEnd {
    int status = 0;        // exit status, or 128 + signal when a signal ended it
    bool started = false;  // false: it could not be started (`problem` says why)
    bool timedOut = false; // the time limit passed
    int interruptedBy = 0; // the signal that interrupted simbook itself, or 0
    int leftovers = 0;     // processes still running after the child ended, then ended
    double seconds = 0;    // how long it ran
    std::string problem;
};

// Makes this process the reaper of every orphan its children leave, so that processes a
// procedure starts in the background can be found and ended. Call once, before Supervise.
void AdoptOrphans();

// Runs `command` to its end (see the header comment). Signals that would end simbook are held
// for the whole call, so that an interrupt ends the child first; the caller decides what to do
// next from ChildEnd::interruptedBy.
ChildEnd Supervise(const ChildCommand& command);

} // namespace simbook::cli
