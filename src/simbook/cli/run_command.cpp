// simbook run: a whole service procedure (a shell script, a batch file under Wine, any
// program) against a simulated notebook, with the three programs first on PATH, the machine a
// private copy and every program run in one trace; then a report of what each run did and what
// changed. With --each, once per machine from a fresh copy, as a table that expectations and
// JUnit XML can judge.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include "simbook/cli/commands.h"
#include "simbook/cli/launcher.h"
#include "simbook/cli/options.h"
#include "simbook/cli/procedure.h"
#include "simbook/cli/supervise.h"
#include "simbook/file_write.h"
#include "simbook/machine.h"
#include "simbook/trace.h"

namespace simbook::cli {
namespace {

namespace fs = std::filesystem;
using oj = nlohmann::ordered_json;

constexpr int kOwnFailure = 125; // simbook run itself failed: not the procedure's status
constexpr int kTimedOut = 124;   // the procedure's status when it was ended at its time limit
constexpr int kInterrupted = 130;

using Options = RunOptions;

struct Failure {
    std::string problem;
};

[[noreturn]] void Fail(const std::string& problem) {
    throw Failure{problem};
}

using MachineSource = MachineChoice;

MachineSource Resolve(const std::string& given) {
    std::string problem;
    std::optional<MachineChoice> choice = ResolveMachine(given, problem);
    if (!choice) {
        Fail(problem);
    }
    return *choice;
}

std::vector<MachineSource> Machines(const Options& o) {
    std::vector<MachineSource> sources;
    if (o.each.empty()) {
        if (!o.machine.empty()) {
            sources.push_back(Resolve(o.machine));
        } else {
            const std::string path = MachinePath("", true);
            if (path.empty()) {
                Fail("no default machine");
            }
            sources.push_back({"default", path, false});
        }
        return sources;
    }
    for (const std::string& entry : o.each) {
        if (entry == "all") {
            for (const std::string& name : ReadyMachines(MachinesDir())) {
                sources.push_back(Resolve(name));
            }
        } else {
            sources.push_back(Resolve(entry));
        }
    }
    if (sources.empty()) {
        Fail("no ready machines in " + MachinesDir());
    }
    return sources;
}

LoadedMachine LoadMachine(const std::string& path) {
    std::string problem;
    std::optional<LoadedMachine> loaded = LoadMachineFile(path, problem);
    if (!loaded) {
        Fail(path + ": " + problem);
    }
    return std::move(*loaded);
}

// Whether `path` is the file of a ready machine, under whatever name or link it is given.
bool IsReadyMachineFile(const std::string& path) {
    const std::string dir = MachinesDir();
    const std::vector<std::string> names = ReadyMachines(dir);
    return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
        return SameFile(path, ReadyMachinePath(dir, name));
    });
}

// Refuses, before anything runs, a run that would change a ready machine or write its trace or
// JUnit file over one of its own inputs: a machine, the expectations, the procedure.
void RefuseOverwrites(const Options& o, const std::vector<MachineSource>& sources) {
    if (o.inPlace && (sources.front().ready || IsReadyMachineFile(sources.front().path))) {
        Fail("--in-place changes a machine file of your own; ready machines are never "
             "changed (simbook new --from NAME FILE makes one)");
    }
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const MachineSource& s : sources) {
        inputs.emplace_back(s.path, "the machine file " + s.path);
    }
    if (!o.expect.empty()) {
        inputs.emplace_back(o.expect, "the --expect file");
    }
    inputs.emplace_back(o.command.front(), "the procedure");
    for (const auto& [option, output] : {std::pair{"--trace", o.trace}, {"--junit", o.junit}}) {
        if (output.empty()) {
            continue;
        }
        for (const auto& [path, what] : inputs) {
            if (SameFile(output, path)) {
                Fail(std::string(option)
                         .append(" ")
                         .append(output)
                         .append(" is ")
                         .append(what)
                         .append(": it would be overwritten"));
            }
        }
        if (IsReadyMachineFile(output)) {
            Fail(std::string(option) + " " + output + " is a ready machine's file");
        }
    }
}

// A trace the user names is emptied first, so that the report is this run's; only a regular
// file (or a new one) is taken, never a device or FIFO.
void PrepareTrace(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ftruncate(fd, 0) != 0) {
        const std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
        if (fd >= 0) {
            close(fd);
        }
        Fail(path + ": cannot be the trace: " + why);
    }
    close(fd);
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// A private folder for one run, removed with everything in it when the run is told.
class RunFolder {
public:
    RunFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/simbook-run.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            Fail("cannot create a folder in the temporary folder: " +
                 std::string(std::strerror(errno)));
        }
        path_ = pattern;
    }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;
    ~RunFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Creates the new file `name` with `text`. The folder is this run's alone and goes with it,
    // so the file needs neither a temporary name nor flushing to disk: a row pays for no fsync.
    void Create(const std::string& name, const std::string& text) const {
        const std::string path = *this / name;
        const int fd =
            open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        const bool written =
            fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        const int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        if (!written) {
            Fail(path + ": cannot be written: " + std::strerror(error));
        }
    }

private:
    std::string path_;
};

class Runner {
public:
    explicit Runner(const Options& o)
        : o_(o),
          launcher_(o.windows.empty() ? LinuxLauncher(SimbookDir().empty() ? "." : SimbookDir())
                                      : WineLauncher(o.windows, FindWineRunner())) {}

    // Readies the launcher for a table; false when an interrupt stopped it.
    bool BeginTable() { return launcher_->BeginTable(interrupted_); }
    void EndTable() { launcher_->EndTable(); }

    // Runs the procedure once on `source`. `row`: a row of a table, whose output goes into the
    // outcome instead of to the terminal, and whose machine, unreadable after the run, fails
    // the row rather than the run.
    Outcome RunOn(const MachineSource& source, bool row) {
        Outcome out;
        out.machine = source.name;
        out.file = source.path;
        if (source.ready) {
            out.description = ReadyMachineDescription(MachinesDir(), source.name);
        }
        const LoadedMachine before = LoadMachine(source.path);
        RunFolder folder;
        std::string machine = source.path;
        std::string problem;
        if (!o_.inPlace) {
            machine = folder / "machine.json";
            folder.Create("machine.json", before.text);
        }
        const std::string trace = o_.trace.empty() ? folder / "trace.jsonl" : o_.trace;
        PrepareTrace(trace);
        Judge(Start(machine, trace, folder / "status", row), folder / "status", out);
        out.runs = RunsOfTrace(ReadLines(trace));
        const std::optional<LoadedMachine> after = LoadMachineFile(machine, problem);
        if (!after) {
            if (!row) {
                Fail(machine + ": " + problem);
            }
            out.failures.push_back("the machine file after the run could not be read: " + problem);
            return out;
        }
        out.after = after->json;
        out.changes = Changes(before.json, after->json);
        return out;
    }

    int Interrupted() const { return interrupted_; }

private:
    ChildEnd Start(const std::string& machine, const std::string& trace, const std::string& status,
                   bool capture) {
        ChildCommand child = launcher_->Procedure(o_.command,
                                                  {{"SIMBOOK", fs::absolute(machine).string()},
                                                   {"SIMBOOK_TRACE", fs::absolute(trace).string()}},
                                                  status, o_.timeout);
        child.capture = capture;
        if (!capture && o_.json) {
            child.out = 2; // standard output is the report's
        }
        std::fflush(stdout);
        ChildEnd end = Supervise(child);
        if (!end.started) {
            Fail(end.problem);
        }
        return end;
    }

    // The procedure's status and how it ended, into `out`.
    void Judge(const ChildEnd& end, const std::string& status, Outcome& out) {
        interrupted_ = end.interruptedBy;
        out.seconds = end.seconds;
        out.leftovers = end.leftovers;
        out.timedOut = end.timedOut;
        out.output = end.output;
        out.exit = launcher_->FullStatus(end, status);
        if (out.timedOut) {
            out.exit = kTimedOut;
        } else if (end.interruptedBy != 0 && end.status > 128) {
            out.interrupted = true; // ended by simbook, not by itself
            out.exit = kInterrupted;
        }
    }

    const Options& o_;
    std::unique_ptr<Launcher> launcher_; // a kept Wine session ends with it
    int interrupted_ = 0;
};

// A reader of standard output that goes away (`simbook run ... | head`) makes writes fail with
// EPIPE instead of ending simbook, so that the table can stop in order: the Wine session
// stopped, the JUnit file written.
class IgnoredPipeSignal {
public:
    IgnoredPipeSignal() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &before_);
    }
    IgnoredPipeSignal(const IgnoredPipeSignal&) = delete;
    IgnoredPipeSignal& operator=(const IgnoredPipeSignal&) = delete;
    ~IgnoredPipeSignal() { sigaction(SIGPIPE, &before_, nullptr); }

private:
    struct sigaction before_ {};
};

// Writes `text` to standard output at once; false when it cannot be written (its reader went
// away), and then what could not be written is dropped rather than tried again at exit.
bool Print(const std::string& text) {
    if (std::ferror(stdout) != 0) {
        return false;
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
        std::fflush(stdout) == 0) {
        return true;
    }
    __fpurge(stdout);
    return false;
}

constexpr const char* kOutputClosed =
    "standard output cannot be written (its reader went away?); the report stops here";

int RunSingle(const Options& o, Runner& runner, const MachineSource& source) {
    Outcome out = runner.RunOn(source, false);
    bool printed = false;
    if (o.json) {
        oj doc = ReportJson(out);
        doc["command"] = o.command;
        doc["in_place"] = o.inPlace;
        doc["trace"] = o.trace.empty() ? oj() : oj(o.trace);
        printed = Print(doc.dump(2, ' ', false, oj::error_handler_t::replace) + "\n");
    } else {
        printed = Print("\n" + ReportText(out, o.inPlace));
    }
    if (runner.Interrupted() != 0) {
        std::fprintf(stderr, "simbook run: interrupted; the procedure was ended\n");
        return kInterrupted;
    }
    if (out.timedOut) {
        std::fprintf(stderr,
                     "simbook run: the procedure did not end within %g s; it and every process "
                     "it started were ended\n",
                     o.timeout);
    }
    if (!printed) {
        Complain("run", kOutputClosed);
        return kOwnFailure;
    }
    return static_cast<int>(out.exit & 0xFF);
}

// The --expect file, read and checked against the table's machines before anything runs.
std::optional<Expectations> LoadExpectations(const Options& o,
                                             const std::vector<MachineSource>& sources) {
    if (o.expect.empty()) {
        return std::nullopt;
    }
    std::string problem;
    std::optional<Expectations> expect = ReadExpectations(o.expect, problem);
    if (!expect) {
        Fail(o.expect + ": " + problem);
    }
    for (auto it = expect->byMachine.begin(); it != expect->byMachine.end(); ++it) {
        if (it.key() != "*" &&
            std::none_of(sources.begin(), sources.end(),
                         [&](const MachineSource& s) { return s.name == it.key(); })) {
            std::fprintf(stderr, "simbook run: %s: no machine '%s' in this table\n",
                         o.expect.c_str(), EscapedForLine(it.key()).c_str());
        }
    }
    return expect;
}

size_t FailedRows(const std::vector<Outcome>& rows) {
    return static_cast<size_t>(std::count_if(
        rows.begin(), rows.end(), [](const Outcome& row) { return !row.failures.empty(); }));
}

// The JUnit file, or the JSON document, and the last line of a table; false when standard
// output cannot be written.
bool FinishTable(const Options& o, const std::vector<Outcome>& rows, bool expected) {
    if (!o.junit.empty()) {
        std::string problem;
        if (!WriteFileAtomically(o.junit, JUnitXml(fs::path(o.command.front()).filename(), rows),
                                 problem)) {
            Fail(o.junit + ": " + problem);
        }
    }
    const size_t failed = FailedRows(rows);
    if (o.json) {
        oj doc = {{"command", o.command}, {"rows", oj::array()}};
        for (const Outcome& row : rows) {
            doc["rows"].push_back(ReportJson(row));
        }
        doc["passed"] = rows.size() - failed;
        doc["failed"] = failed;
        return Print(doc.dump(2, ' ', false, oj::error_handler_t::replace) + "\n");
    }
    return Print(expected ? std::to_string(rows.size()) +
                                " machines: " + std::to_string(rows.size() - failed) + " passed, " +
                                std::to_string(failed) + " failed\n"
                          : std::to_string(rows.size()) + " machines\n");
}

int RunTable(const Options& o, Runner& runner, const std::vector<MachineSource>& sources,
             HeldInterrupts& held) {
    const std::optional<Expectations> expect = LoadExpectations(o, sources);
    std::vector<Outcome> rows;
    int interrupted = runner.BeginTable() ? 0 : runner.Interrupted();
    size_t width = 8;
    for (const MachineSource& s : sources) {
        width = std::max(width, EscapedForLine(s.name).size() + 1);
    }
    bool closed = !o.json && interrupted == 0 && !Print(TableHead(width));
    for (size_t i = 0; i < sources.size() && interrupted == 0 && !closed; ++i) {
        Outcome row = runner.RunOn(sources[i], true);
        if (expect && !row.after.is_null()) {
            Check(*expect, row);
        }
        interrupted = runner.Interrupted() != 0 ? runner.Interrupted() : held.Take();
        closed = !o.json && !Print(TableRow(row, width));
        rows.push_back(std::move(row));
    }
    runner.EndTable();
    closed = !FinishTable(o, rows, expect.has_value()) || closed;
    if (interrupted != 0) {
        std::fprintf(stderr, "simbook run: interrupted; the table was not finished\n");
        return kInterrupted;
    }
    if (closed) {
        Complain("run", kOutputClosed);
        return kOwnFailure;
    }
    return FailedRows(rows) == 0 ? kDone : kFailed;
}

} // namespace

int Run(const Args& args) {
    const std::optional<RunOptions> parsed = ParseRun(args);
    if (!parsed) {
        return kUsage;
    }
    const Options& o = *parsed;
    HeldInterrupts held;
    IgnoredPipeSignal pipeSignal;
    try {
        const std::vector<MachineSource> sources = Machines(o);
        RefuseOverwrites(o, sources);
        Runner runner(o);
        return o.each.empty() ? RunSingle(o, runner, sources.front())
                              : RunTable(o, runner, sources, held);
    } catch (const Failure& f) {
        Complain("run", EscapedForLine(f.problem));
        return kOwnFailure;
    } catch (const std::exception& e) {
        Complain("run", EscapedForLine(e.what()));
        return kOwnFailure;
    }
}

} // namespace simbook::cli
