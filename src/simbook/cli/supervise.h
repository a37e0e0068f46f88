// Running a procedure as a unit: one child process in a process group of its own, waited for
// with a time limit, and ended together with every process it started when the limit passes,
// when simbook is interrupted (Ctrl-C, SIGTERM, SIGHUP), or when it ends and leaves processes
// behind. The child, the interrupts and its captured output are waited on together in one poll
// (a pidfd, a signalfd and a pipe). Linux only: simbook runs on the development machine in both
// builds' sessions.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include <sys/types.h>

namespace simbook::cli {

constexpr size_t kOutputKept = 64 * 1024; // of a captured output, the last bytes

struct ChildCommand {
    std::vector<std::string> argv; // argv[0] is looked up on the child's PATH
    std::vector<std::string> env;  // the child's whole environment, "NAME=value"
    int out = 1;                   // the child's standard output and error
    int err = 2;                   // (standard input is /dev/null: procedures ask nothing)
    bool capture = false;          // both go to a pipe instead; ChildEnd::output keeps the tail
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
    std::string output;    // with `capture`: the last kOutputKept bytes, marked when cut
    std::string problem;
};

// The last `limit` bytes of a stream that may be any length; Text() begins with
// "[... earlier output left out]\n" when bytes were dropped.
class OutputTail {
public:
    explicit OutputTail(size_t limit = kOutputKept) : limit_(limit) {}
    void Append(const char* bytes, size_t size);
    std::string Text() const;

private:
    size_t limit_;
    std::string kept_;
    bool cut_ = false;
};

// While it lives, this process is the reaper of every orphan its descendants leave
// (PR_SET_CHILD_SUBREAPER), so that a process a procedure started in the background, even one
// that left the procedure's process group, stays a descendant and can be found and ended.
// SIGINT, SIGTERM and SIGHUP held for as long as it lives, so that an interrupt ends the
// procedure and clears up instead of leaving both behind; readable from a signalfd.
class HeldInterrupts {
public:
    HeldInterrupts();
    ~HeldInterrupts();
    HeldInterrupts(const HeldInterrupts&) = delete;
    HeldInterrupts& operator=(const HeldInterrupts&) = delete;
    int Handle() const { return fd_; }
    // A signal that came and was not taken yet, or 0.
    int Take();

private:
    sigset_t set_{};
    sigset_t before_{};
    int fd_ = -1;
};

class OrphanAdoption {
public:
    OrphanAdoption();
    ~OrphanAdoption();
    OrphanAdoption(const OrphanAdoption&) = delete;
    OrphanAdoption& operator=(const OrphanAdoption&) = delete;

private:
    int before_ = 0;
};

// The exit status a shell would give for a wait status: the code, or 128 + the signal.
int StatusOfWait(int waitStatus);

// The living descendants of process `root` (not `root` itself), found through the parent of
// every process in /proc. A process that ends while it is looked at is passed over.
std::vector<pid_t> Descendants(pid_t root);

// Ends every descendant of this process but the processes in `spare` and what lies below them,
// reaping those that are its children: what a process that ran a procedure for this one (and
// was killed before it could clear up) left behind. Returns the most seen alive at once.
int EndStrays(const std::vector<pid_t>& spare);

// Runs `command` to its end (see the header comment). Signals that would end simbook are held
// for the whole call, so that an interrupt ends the child first; the caller decides what to do
// next from ChildEnd::interruptedBy.
ChildEnd Supervise(const ChildCommand& command);

} // namespace simbook::cli
