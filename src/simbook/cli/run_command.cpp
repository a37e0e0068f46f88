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
#include "simbook/cli/row_runner.h"
#include "simbook/cli/supervise.h"
#include "simbook/cli/table.h"
#include "simbook/file_write.h"
#include "simbook/machine.h"
#include "simbook/trace.h"

namespace simbook::cli {
namespace {

namespace fs = std::filesystem;
using oj = nlohmann::ordered_json;

using Options = RunOptions;

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
    if (o.update && expect->listed) {
        // --update writes one entry per machine: the rules would be lost.
        Fail(o.expect + ": a list of rules, which --update would replace by one entry per "
                        "machine; give --update a file of machine entries");
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
            // Rules are matched against the machine as the row started: its file, which a
            // table only ever copies.
            std::optional<LoadedMachine> started;
            std::string problem;
            if (expect_ && expect_->listed &&
                !(started = LoadMachineFile(rows_[i].file, problem))) {
                rows_[i].failures.push_back("the machine file could not be read again: " + problem);
            }
            Check(expect_ ? &*expect_ : nullptr, o_.strict, rows_[i],
                  started ? &started->json : nullptr);
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
                          : SideBySide(
                                [&](size_t row, const RunFolder& folder) {
                                    RowResult result;
                                    result.outcome = runner.RunOn(sources[row], true, folder);
                                    result.interruptedBy = runner.Interrupted();
                                    return result;
                                },
                                sources.size(), held, jobs, o.windows.empty())
                                .Run([&](size_t row, Outcome&& outcome, const std::string& death) {
                                    if (!death.empty()) {
                                        outcome.machine = sources[row].name;
                                        outcome.file = sources[row].path;
                                    }
                                    return table.Add(std::move(outcome), death);
                                });
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
