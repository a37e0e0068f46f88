// Running a procedure on one machine, as `simbook run` and `simbook explore` do: a private
// folder for the run (the machine's copy, its trace), the launcher of either build, and rows
// run side by side in forked workers that send their outcomes back packed.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "simbook/cli/commands.h"
#include "simbook/cli/launcher.h"
#include "simbook/cli/options.h"
#include "simbook/cli/procedure.h"
#include "simbook/cli/supervise.h"
#include "simbook/cli/table.h"

namespace simbook::cli {

constexpr int kOwnFailure = 125; // simbook itself failed: not the procedure's status
constexpr int kTimedOut = 124;   // the procedure's status when it was ended at its time limit
constexpr int kInterrupted = 130;

// simbook's own failure while running a procedure; the command reports it and exits 125.
struct Failure {
    std::string problem;
};
[[noreturn]] void Fail(const std::string& problem);

// The suffixes of a row's kept files (--keep): its trace, its output, its machine after.
constexpr const char* kKept[] = {".trace.jsonl", ".output.txt", ".machine.json"};
std::string KeptPath(const std::string& dir, const std::string& row, const char* suffix);

// A private folder for one run, removed with everything in it when the run is over.
class RunFolder {
public:
    RunFolder();
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;
    ~RunFolder();
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Creates the new file `name` with `text`. The folder is this run's alone and goes with it,
    // so the file needs neither a temporary name nor flushing to disk: a row pays for no fsync.
    void Create(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

// Runs procedures with the options of `simbook run` (the command, --timeout, --windows,
// --in-place, --trace, --keep, --json).
class Runner {
public:
    explicit Runner(const RunOptions& o);

    // Readies the launcher for a table; false when an interrupt stopped it.
    bool BeginTable() { return launcher_->BeginTable(interrupted_); }
    void EndTable() { launcher_->EndTable(); }

    // Runs the procedure once on `source`, its copy and trace in `folder`. `row`: a row of a
    // table, whose output goes into the outcome instead of to the terminal, whose machine,
    // unreadable after the run, fails the row rather than the run, and whose files are kept
    // with --keep.
    Outcome RunOn(const MachineChoice& source, bool row, const RunFolder& folder);

    int Interrupted() const { return interrupted_; }

private:
    void Keep(const std::string& row, const std::vector<std::string>& texts) const;
    ChildEnd Start(const std::string& machine, const std::string& trace, const std::string& status,
                   bool capture);
    void Judge(const ChildEnd& end, const std::string& status, Outcome& out);

    const RunOptions& o_;
    std::unique_ptr<Launcher> launcher_; // a kept Wine session ends with it
    int interrupted_ = 0;
};

// One row's work in a worker process: its result, which the worker packs and sends. Thrown
// failures become the result's problem.
using RowWork = std::function<RowResult(size_t row, const RunFolder& folder)>;
// Takes the rows' outcomes in row order; `death` says why a row's worker ended without its
// outcome (the outcome then holds exit 125 only). False: start no more rows.
using RowSink = std::function<bool(size_t row, Outcome&& outcome, const std::string& death)>;

// Rows side by side, each in a worker process of its own (the supervisor waits on one child at
// a time, with signals held, so rows do not share a process). The workers' outcomes are held
// until every row before them has come, so that they are taken in row order.
class SideBySide {
public:
    SideBySide(RowWork work, size_t rows, HeldInterrupts& held, size_t jobs, bool endStrays);
    SideBySide(const SideBySide&) = delete;
    SideBySide& operator=(const SideBySide&) = delete;
    // On the way out of a failure: every worker still running ended, waited for and cleared up.
    ~SideBySide();

    // Runs the rows into `sink`; the signal that interrupted them, or 0. A worker's failure to
    // run its row (simbook's own) stops the rows and is thrown (Failure) once the rest ended.
    int Run(const RowSink& sink);

private:
    struct Running {
        size_t row = 0;
        pid_t pid = -1;
        int pipe = -1; // the read end of what the worker sends
        std::string bytes;
        std::unique_ptr<RunFolder> folder; // made here, so that it goes even when the worker dies
    };
    struct Done {
        Outcome outcome;
        std::string death;
    };

    void Start(size_t row);
    int Wait();
    void Read(size_t i);
    void Finish(size_t i);
    void Died(size_t row, int status);
    void Stop(int sig);
    void Forward(int sig);

    RowWork work_;
    size_t rows_;
    HeldInterrupts& held_;
    size_t jobs_;
    bool endStrays_;
    std::vector<std::optional<Done>> results_;
    std::vector<Running> running_;
    bool stopping_ = false;
    int interrupted_ = 0;
    std::string problem_;
};

} // namespace simbook::cli
