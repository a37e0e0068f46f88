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
#include <poll.h>
#include <stdio_ext.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "simbook/cli/commands.h"
#include "simbook/cli/launcher.h"
#include "simbook/cli/options.h"
#include "simbook/cli/procedure.h"
#include "simbook/cli/supervise.h"
#include "simbook/cli/table.h"
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

// Whether an --each entry is a folder of machine files: a folder that is no ready machine's
// bare name.
bool IsFolder(const std::string& entry) {
    std::error_code ec;
    if (!fs::is_directory(entry, ec)) {
        return false;
    }
    const std::vector<std::string> ready = ReadyMachines(MachinesDir());
    return entry.find('/') != std::string::npos ||
           std::find(ready.begin(), ready.end(), entry) == ready.end();
}

void AddEntry(const std::string& entry, std::vector<MachineSource>& sources) {
    if (entry == "all") {
        for (const std::string& name : ReadyMachines(MachinesDir())) {
            sources.push_back(Resolve(name));
        }
        return;
    }
    if (!IsFolder(entry)) {
        sources.push_back(Resolve(entry));
        return;
    }
    const std::vector<std::string> files = MachineFilesIn(entry);
    if (files.empty()) {
        Fail(entry + ": no machine files (NAME.json) in this folder");
    }
    for (const std::string& file : files) {
        sources.push_back(Resolve(file));
    }
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
        AddEntry(entry, sources);
    }
    if (sources.empty()) {
        Fail("no ready machines in " + MachinesDir());
    }
    if (const std::string problem = NameRows(sources); !problem.empty()) {
        Fail(problem);
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

using Inputs = std::vector<std::pair<std::string, std::string>>; // path, what it is

// Refuses `output`, written by `option`, when it is one of `inputs` or a ready machine's file.
void RefuseOutput(const std::string& option, const std::string& output, const Inputs& inputs) {
    for (const auto& [path, what] : inputs) {
        if (SameFile(output, path)) {
            Fail(std::string(option).append(" ").append(output).append(" is ").append(what).append(
                ": it would be overwritten"));
        }
    }
    if (IsReadyMachineFile(output)) {
        Fail(option + " " + output + " is a ready machine's file");
    }
}

constexpr const char* kKept[] = {".trace.jsonl", ".output.txt", ".machine.json"};

std::string KeptPath(const std::string& dir, const std::string& row, const char* suffix) {
    return (fs::path(dir) / (SafeFileName(row) + suffix)).string();
}

// The --keep folder, made when missing; never the ready machines' folder or one the table
// reads, and none of the files it will hold one of the run's inputs.
void PrepareKeep(const Options& o, const std::vector<MachineSource>& sources,
                 const Inputs& inputs) {
    if (SameFile(o.keep, MachinesDir())) {
        Fail("--keep " + o.keep + " is the ready machines' folder");
    }
    for (const std::string& entry : o.each) {
        if (IsFolder(entry) && SameFile(o.keep, entry)) {
            Fail("--keep " + o.keep + " is a folder of machines the table runs");
        }
    }
    std::error_code ec;
    fs::create_directories(o.keep, ec);
    if (!fs::is_directory(o.keep)) {
        Fail("--keep " + o.keep + ": cannot be made a folder" + (ec ? ": " + ec.message() : ""));
    }
    for (const MachineSource& s : sources) {
        if (SafeFileName(s.name).size() > 200) {
            Fail("--keep: the row name " + s.name + " is too long for a file name");
        }
        for (const char* suffix : kKept) {
            RefuseOutput("--keep", KeptPath(o.keep, s.name, suffix), inputs);
        }
    }
}

// Refuses, before anything runs, a run that would change a ready machine or write its trace,
// JUnit file, kept files or updated expectations over one of its own inputs: a machine, the
// expectations, the procedure.
void RefuseOverwrites(const Options& o, const std::vector<MachineSource>& sources) {
    if (o.inPlace && (sources.front().ready || IsReadyMachineFile(sources.front().path))) {
        Fail("--in-place changes a machine file of your own; ready machines are never "
             "changed (simbook new --from NAME FILE makes one)");
    }
    Inputs inputs;
    for (const MachineSource& s : sources) {
        inputs.emplace_back(s.path, "the machine file " + s.path);
    }
    inputs.emplace_back(o.command.front(), "the procedure");
    if (o.update) {
        RefuseOutput("--expect (with --update)", o.expect, inputs);
    }
    if (!o.expect.empty()) {
        inputs.emplace_back(o.expect, "the --expect file");
    }
    for (const auto& [option, output] : {std::pair{"--trace", o.trace}, {"--junit", o.junit}}) {
        if (!output.empty()) {
            RefuseOutput(option, output, inputs);
        }
    }
    if (!o.keep.empty()) {
        PrepareKeep(o, sources, inputs);
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

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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

// A private folder for one run, removed with everything in it when the run is over.
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

    // Runs the procedure once on `source`, its copy and trace in `folder`. `row`: a row of a
    // table, whose output goes into the outcome instead of to the terminal, whose machine,
    // unreadable after the run, fails the row rather than the run, and whose files are kept
    // with --keep.
    Outcome RunOn(const MachineSource& source, bool row, const RunFolder& folder) {
        Outcome out;
        out.machine = source.name;
        out.file = source.path;
        if (source.ready) {
            out.description = ReadyMachineDescription(MachinesDir(), source.name);
        }
        const LoadedMachine before = LoadMachine(source.path);
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
        if (row && !o_.keep.empty()) {
            Keep(source.name, {ReadWhole(trace), out.output, ReadWhole(machine)});
        }
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
    // A row's trace, output and machine after the run, into the --keep folder. Each file is
    // made new beside its place and renamed over it: a link planted under its name is
    // replaced, never written through.
    void Keep(const std::string& row, const std::vector<std::string>& texts) const {
        for (size_t i = 0; i < texts.size(); ++i) {
            const std::string path = KeptPath(o_.keep, row, kKept[i]);
            std::string temp;
            std::string problem;
            const int fd = WriteTemporaryBeside(path, texts[i], -1, temp, problem);
            if (fd < 0) {
                Fail(std::string(path).append(": ").append(problem));
            }
            close(fd);
            if (rename(temp.c_str(), path.c_str()) != 0) {
                const int error = errno;
                unlink(temp.c_str());
                Fail(
                    std::string(path).append(": cannot be written: ").append(std::strerror(error)));
            }
        }
        SyncFolderOf(KeptPath(o_.keep, row, kKept[0]));
    }

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
    const RunFolder folder;
    Outcome out = runner.RunOn(source, false, folder);
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
    std::error_code ec;
    if (o.update && !fs::exists(fs::symlink_status(o.expect, ec))) {
        return Expectations{}; // --update makes it
    }
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

// The rows of a table as they come, in table order: judged against the expectations and
// printed at once, or with --update held until the expectation file is written.
class Table {
public:
    Table(const Options& o, const std::vector<MachineSource>& sources,
          std::optional<Expectations> expect)
        : o_(o), expect_(std::move(expect)) {
        for (const MachineSource& s : sources) {
            width_ = std::max(width_, EscapedForLine(s.name).size() + 1);
        }
    }

    // The head; false when standard output cannot be written.
    bool Begin() {
        closed_ = !o_.json && !Print(TableHead(width_, ExitWidth()));
        return !closed_;
    }

    // One row; `death` says why its worker ended without its outcome (then the row fails
    // whatever its expectation). False once standard output cannot be written.
    bool Add(Outcome&& row, const std::string& death) {
        if (!death.empty()) {
            row.failures.push_back(death);
        }
        dead_.push_back(!death.empty());
        rows_.push_back(std::move(row));
        if (!o_.update) {
            Show(rows_.size() - 1);
        }
        return !closed_;
    }

    // With --update, once every row has come: the expectation file written from them, then
    // each row judged against it and printed.
    void Update() {
        std::string problem;
        const oj doc = UpdatedExpectations(expect_ ? expect_->byMachine : oj::object(), rows_);
        if (!WriteFileAtomically(
                o_.expect, doc.dump(2, ' ', false, oj::error_handler_t::replace) + "\n", problem)) {
            Fail(o_.expect + ": " + problem);
        }
        expect_ = ReadExpectations(o_.expect, problem);
        if (!expect_) {
            Fail(o_.expect + ": " + problem);
        }
        std::fprintf(stderr, "simbook run: wrote the expectations of %zu machines to %s\n",
                     rows_.size(), EscapedForLine(o_.expect).c_str());
        for (size_t i = 0; i < rows_.size(); ++i) {
            Show(i);
        }
    }

    // The JUnit file, the JSON document or the last line; false when standard output cannot be
    // written.
    bool Finish() {
        if (!o_.junit.empty()) {
            const TableInfo info{o_.junitSuite.empty()
                                     ? fs::path(o_.command.front()).filename().string()
                                     : o_.junitSuite,
                                 o_.windows.empty() ? "linux" : "wine"};
            std::string problem;
            if (!WriteFileAtomically(o_.junit, JUnitXml(info, rows_), problem)) {
                Fail(o_.junit + ": " + problem);
            }
        }
        if (!o_.json) {
            return Print(TableSummary(rows_)) && !closed_;
        }
        const Tally tally = Count(rows_);
        oj doc = {{"command", o_.command}, {"rows", oj::array()}};
        for (const Outcome& row : rows_) {
            doc["rows"].push_back(ReportJson(row));
        }
        doc["passed"] = tally.passed;
        doc["failed"] = tally.failed;
        doc["not_judged"] = tally.notJudged;
        return Print(doc.dump(2, ' ', false, oj::error_handler_t::replace) + "\n") && !closed_;
    }

    bool AnyFailed() const { return Count(rows_).failed != 0; }
    bool Closed() const { return closed_; }

private:
    // A Windows procedure's status keeps all 32 bits, a Linux one's 8.
    size_t ExitWidth() const { return o_.windows.empty() ? kLinuxExitWidth : kWindowsExitWidth; }

    // Judges row `i` (a dead worker's row has failed already) and prints it.
    void Show(size_t i) {
        if (!dead_[i]) {
            Check(expect_ ? &*expect_ : nullptr, o_.strict, rows_[i]);
        }
        closed_ = (!o_.json && !Print(TableRow(rows_[i], width_, ExitWidth()))) || closed_;
    }

    const Options& o_;
    std::optional<Expectations> expect_;
    size_t width_ = 8;
    bool closed_ = false;
    std::vector<Outcome> rows_;
    std::vector<bool> dead_;
};

// Rows one after the other in this process; the signal that interrupted the table, or 0.
int OneByOne(Runner& runner, const std::vector<MachineSource>& sources, HeldInterrupts& held,
             Table& table) {
    int interrupted = 0;
    for (size_t i = 0; i < sources.size() && interrupted == 0; ++i) {
        const RunFolder folder;
        Outcome row = runner.RunOn(sources[i], true, folder);
        interrupted = runner.Interrupted() != 0 ? runner.Interrupted() : held.Take();
        if (!table.Add(std::move(row), "")) {
            break;
        }
    }
    return interrupted;
}

// Writes all of `bytes` to `fd`; false on an error.
bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno != EINTR) {
            return false;
        }
        done += put > 0 ? static_cast<size_t>(put) : 0;
    }
    return true;
}

// A worker process: runs one row as this process would, with a process group of its own (an
// interrupt reaches it only through the table) and as the reaper of its procedure's orphans,
// then sends the packed outcome up `out` and ends without running this process's destructors
// (a kept Wine session is the table's, not the worker's).
[[noreturn]] void Worker(Runner& runner, const MachineSource& source, const RunFolder& folder,
                         int out, pid_t table) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM); // held, so it ends the procedure as an interrupt does
    if (getppid() != table) {
        kill(getpid(), SIGTERM);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    RowResult result;
    bool sent = false;
    try {
        try {
            result.outcome = runner.RunOn(source, true, folder);
        } catch (const Failure& f) {
            result.problem = f.problem;
        } catch (const std::exception& e) {
            result.problem = e.what();
        }
        result.interruptedBy = runner.Interrupted();
        sent = WriteAll(out, PackRow(result));
    } catch (...) {
        sent = false;
    }
    _exit(sent ? 0 : 1);
}

// Rows side by side, each in a worker process of its own (the supervisor waits on one child at
// a time, with signals held, so rows do not share a process). The workers' outcomes are held
// until every row before them has come, so that the table is in its order.
class SideBySide {
public:
    SideBySide(Runner& runner, const std::vector<MachineSource>& sources, HeldInterrupts& held,
               size_t jobs, bool endStrays)
        : runner_(runner), sources_(sources), held_(held), jobs_(jobs), endStrays_(endStrays),
          results_(sources.size()) {}
    SideBySide(const SideBySide&) = delete;
    SideBySide& operator=(const SideBySide&) = delete;
    // On the way out of a failure: every worker still running ended, waited for and cleared up.
    ~SideBySide() {
        try {
            Forward(SIGTERM);
            while (!running_.empty()) {
                Finish(running_.size() - 1);
            }
        } catch (...) {
            // Already on the way out of a failure, which is the one to tell.
        }
    }

    // Runs the rows into `table`; the signal that interrupted the table, or 0. A worker's
    // failure to run its row (simbook's own) stops the table and is thrown once the rest ended.
    int Run(Table& table) {
        size_t next = 0;
        size_t added = 0;
        bool more = true;
        while (true) {
            while (more && !stopping_ && running_.size() < jobs_ && next < sources_.size()) {
                Start(next++);
            }
            if (running_.empty()) {
                break;
            }
            if (const int sig = Wait(); sig != 0) {
                // Every interrupt is passed on: a second one cuts the rows' grace short.
                interrupted_ = interrupted_ != 0 ? interrupted_ : sig;
                stopping_ = true;
                Forward(sig);
            }
            for (; added < next && results_[added]; ++added) {
                more =
                    table.Add(std::move(results_[added]->outcome), results_[added]->death) && more;
                results_[added].reset();
            }
            if (!more) {
                Stop(SIGTERM);
            }
        }
        // An interrupt that came after the last look is not left pending for later.
        while (const int sig = held_.Take()) {
            interrupted_ = interrupted_ != 0 ? interrupted_ : sig;
        }
        if (!problem_.empty()) {
            Fail(problem_);
        }
        return interrupted_;
    }

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

    void Start(size_t row) {
        Running r;
        r.row = row;
        r.folder = std::make_unique<RunFolder>();
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            Fail("cannot start a row: " + std::string(std::strerror(errno)));
        }
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t table = getpid();
        r.pid = fork();
        if (r.pid == 0) {
            close(fds[0]);
            Worker(runner_, sources_[row], *r.folder, fds[1], table);
        }
        const int error = errno;
        close(fds[1]);
        if (r.pid < 0) {
            close(fds[0]);
            Fail("cannot start a row: " + std::string(std::strerror(error)));
        }
        r.pipe = fds[0];
        running_.push_back(std::move(r));
    }

    // Sleeps until a worker sends or ends, or an interrupt comes; the interrupt's signal, or 0.
    int Wait() {
        std::vector<pollfd> fds = {{held_.Handle(), POLLIN, 0}};
        for (const Running& r : running_) {
            fds.push_back({r.pipe, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            return 0; // a signal that is not held: look again
        }
        for (size_t i = running_.size(); i-- > 0;) {
            if (fds[i + 1].revents != 0) {
                Read(i);
            }
        }
        return (fds[0].revents & POLLIN) != 0 ? held_.Take() : 0;
    }

    void Read(size_t i) {
        char buffer[65536];
        const ssize_t got = read(running_[i].pipe, buffer, sizeof buffer);
        if (got > 0) {
            running_[i].bytes.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            Finish(i);
        }
    }

    // Worker `i` sent all it will: waited for, its outcome (or why there is none) taken.
    void Finish(size_t i) {
        Running r = std::move(running_[i]);
        running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
        close(r.pipe);
        int status = 0;
        while (waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
        }
        std::optional<RowResult> result;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            result = UnpackRow(r.bytes);
        }
        if (!result) {
            Died(r.row, status);
        } else if (!result->problem.empty()) {
            problem_ = problem_.empty() ? result->problem : problem_;
            Stop(SIGTERM);
        } else {
            if (result->interruptedBy != 0 && !stopping_) {
                interrupted_ = result->interruptedBy; // the worker itself was told to stop
                Stop(SIGTERM);
            }
            results_[r.row] = Done{std::move(result->outcome), ""};
        }
    }

    // The row of a worker that ended without its outcome fails, saying how the worker ended;
    // what its procedure left running is ended.
    void Died(size_t row, int status) {
        if (endStrays_) {
            std::vector<pid_t> spare;
            for (const Running& r : running_) {
                spare.push_back(r.pid);
            }
            EndStrays(spare);
        }
        Done done;
        done.outcome.machine = sources_[row].name;
        done.outcome.file = sources_[row].path;
        done.outcome.exit = kOwnFailure;
        done.death = "the process that ran this row ended without its outcome (" +
                     (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                          : "exit status " + std::to_string(StatusOfWait(status))) +
                     ")";
        results_[row] = std::move(done);
    }

    // No row is started from now on, and those running are ended as an interrupt would.
    void Stop(int sig) {
        if (!stopping_) {
            stopping_ = true;
            Forward(sig);
        }
    }

    void Forward(int sig) {
        for (const Running& r : running_) {
            kill(r.pid, sig);
        }
    }

    Runner& runner_;
    const std::vector<MachineSource>& sources_;
    HeldInterrupts& held_;
    size_t jobs_;
    bool endStrays_;
    std::vector<std::optional<Done>> results_;
    std::vector<Running> running_;
    bool stopping_ = false;
    int interrupted_ = 0;
    std::string problem_;
};

int RunTable(const Options& o, Runner& runner, const std::vector<MachineSource>& sources,
             HeldInterrupts& held) {
    Table table(o, sources, LoadExpectations(o, sources));
    size_t jobs = static_cast<size_t>(o.jobs);
    if (jobs > 1 && !o.windows.empty()) {
        std::fprintf(stderr, "simbook run: under Wine the rows run one at a time: the Wine "
                             "prefix serves one run at once\n");
        jobs = 1;
    }
    int interrupted = runner.BeginTable() ? 0 : runner.Interrupted();
    if (interrupted == 0 && (o.json || table.Begin())) {
        interrupted = jobs == 1
                          ? OneByOne(runner, sources, held, table)
                          : SideBySide(runner, sources, held, jobs, o.windows.empty()).Run(table);
    }
    runner.EndTable();
    if (interrupted == 0 && o.update && !table.Closed()) {
        table.Update();
    }
    const bool written = table.Finish();
    if (interrupted != 0) {
        std::fprintf(stderr, "simbook run: interrupted; the table was not finished\n");
        return kInterrupted;
    }
    if (!written) {
        Complain("run", kOutputClosed);
        return kOwnFailure;
    }
    return table.AnyFailed() ? kFailed : kDone;
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
