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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "simbook/cli/commands.h"
#include "simbook/cli/procedure.h"
#include "simbook/cli/supervise.h"
#include "simbook/machine.h"
#include "simbook/trace.h"

extern char** environ; // NOLINT: the environment the procedure inherits

namespace simbook::cli {
namespace {

namespace fs = std::filesystem;
using oj = nlohmann::ordered_json;

constexpr int kOwnFailure = 125; // simbook run itself failed: not the procedure's status
constexpr int kTimedOut = 124;   // the procedure's status when it was ended at its time limit
constexpr int kInterrupted = 130;
constexpr size_t kOutputKept = 64 * 1024; // of a procedure's captured output, the last bytes

struct Options {
    std::string machine;
    std::vector<std::string> each;
    bool inPlace = false;
    std::string trace;
    bool json = false;
    double timeout = 300;
    std::string windows;
    std::string expect;
    std::string junit;
    std::vector<std::string> command;
};

struct Failure {
    std::string problem;
};

[[noreturn]] void Fail(const std::string& problem) {
    throw Failure{problem};
}

// Splits "a,b,c".
std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= list.size()) {
        const size_t comma = list.find(',', at);
        const std::string part =
            list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (!part.empty()) {
            parts.push_back(part);
        }
        if (comma == std::string::npos) {
            break;
        }
        at = comma + 1;
    }
    return parts;
}

// Returns false (with the complaint made) when the command line is wrong.
bool ParseOptions(const Args& args, Options& o) {
    size_t i = 0;
    auto value = [&](const std::string& name, std::string& into) {
        if (i + 1 >= args.size()) {
            Complain("run", name + " needs a value (see simbook run --help)");
            return false;
        }
        into = args[++i];
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string text;
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--machine") {
            if (!value(a, o.machine)) {
                return false;
            }
        } else if (a == "--each") {
            if (!value(a, text)) {
                return false;
            }
            for (const std::string& part : Split(text)) {
                o.each.push_back(part);
            }
            if (o.each.empty()) {
                Complain("run", "--each needs all, or machine names or files");
                return false;
            }
        } else if (a == "--in-place") {
            o.inPlace = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--trace" || a == "--windows" || a == "--expect" || a == "--junit") {
            std::string& into = a == "--trace"     ? o.trace
                                : a == "--windows" ? o.windows
                                : a == "--expect"  ? o.expect
                                                   : o.junit;
            if (!value(a, into) || into.empty()) {
                Complain("run", a + " needs a file or folder");
                return false;
            }
        } else if (a == "--timeout") {
            if (!value(a, text)) {
                return false;
            }
            char* end = nullptr;
            o.timeout = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !(o.timeout > 0 && o.timeout <= 86400)) {
                Complain("run", "--timeout takes seconds, more than 0 and at most 86400");
                return false;
            }
        } else if (a.rfind("--", 0) == 0) {
            Complain("run", "unknown option '" + EscapedForLine(a) + "' (see simbook run --help)");
            return false;
        } else {
            break;
        }
    }
    o.command.assign(args.begin() + static_cast<std::ptrdiff_t>(std::min(i, args.size())),
                     args.end());
    if (o.command.empty()) {
        Complain("run", "no procedure to run (simbook run [OPTIONS] -- COMMAND [ARGS...])");
        return false;
    }
    if (!o.each.empty() && (!o.machine.empty() || o.inPlace || !o.trace.empty())) {
        Complain("run", "--each runs every machine from a fresh copy: it takes no --machine, "
                        "--in-place or --trace");
        return false;
    }
    if (o.each.empty() && (!o.expect.empty() || !o.junit.empty())) {
        Complain("run", "--expect and --junit judge a table: use them with --each");
        return false;
    }
    return true;
}

struct MachineSource {
    std::string label;
    std::string path;
    bool ready = false; // one of the ready machines
};

MachineSource Resolve(const std::string& given) {
    const std::string dir = MachinesDir();
    if (given.find('/') != std::string::npos ||
        (given.size() > 5 && given.compare(given.size() - 5, 5, ".json") == 0)) {
        return {fs::path(given).stem().string(), given, false};
    }
    const std::vector<std::string> names = ReadyMachines(dir);
    if (std::find(names.begin(), names.end(), given) == names.end()) {
        Fail("no ready machine '" + given + "' (" + ReadyMachineNames(dir) +
             "; a file needs a / or .json)");
    }
    return {given, ReadyMachinePath(dir, given), true};
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

// The machine in `path`, read with the programs' guarded reader and parsed by their parser.
std::pair<std::string, oj> LoadMachine(const std::string& path) {
    std::string text;
    std::string problem;
    if (!ReadMachineText(path, text, problem)) {
        Fail(path + ": " + problem);
    }
    std::optional<Machine> machine = ParseMachine(text, problem);
    if (!machine) {
        Fail(path + ": " + problem);
    }
    return {text, MachineJson(*machine)};
}

void WriteFile(const std::string& path, const std::string& text, int flags) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | flags, 0644);
    if (fd < 0) {
        Fail(path + ": cannot be created: " + std::strerror(errno));
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!ok) {
        Fail(path + ": cannot be written");
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

std::string Tail(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
    const std::streamoff from = size > static_cast<std::streamoff>(kOutputKept)
                                    ? size - static_cast<std::streamoff>(kOutputKept)
                                    : 0;
    in.seekg(from);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return from > 0 ? "[... earlier output left out]\n" + text : text;
}

bool Executable(const std::string& path) {
    return access(path.c_str(), X_OK) == 0 && fs::is_regular_file(path);
}

// The runner of the Windows programs under Wine: $SIMBOOK_WINE_RUN, else the source tree's
// scripts/wine-run, else one installed beside simbook's share folder.
std::string WineRunner() {
    const char* given = std::getenv("SIMBOOK_WINE_RUN");
    if (given != nullptr && given[0] != '\0') {
        return given;
    }
    for (const std::string& candidate : {std::string(SIMBOOK_SOURCE_DIR) + "/scripts/wine-run",
                                         SimbookDir() + "/../share/simbook/wine-run"}) {
        if (Executable(candidate)) {
            return candidate;
        }
    }
    Fail("scripts/wine-run is not found (set SIMBOOK_WINE_RUN)");
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

private:
    std::string path_;
};

class Runner {
public:
    explicit Runner(const Options& o) : o_(o) {
        if (o_.windows.empty()) {
            bin_ = SimbookDir();
            if (bin_.empty()) {
                bin_ = ".";
            }
            for (const char* program : {"brenvik", "tolmare", "sundrel"}) {
                if (!Executable(bin_ + "/" + program)) {
                    Fail(std::string(program) + " is not beside simbook in " + bin_);
                }
            }
            AdoptOrphans();
            return;
        }
        bin_ = fs::absolute(o_.windows).lexically_normal().string();
        for (const char* program : {"brenvik.exe", "tolmare.exe", "sundrel.exe"}) {
            if (!fs::is_regular_file(bin_ + "/" + program)) {
                Fail(std::string(program) + " is not in " + bin_ +
                     " (build the windows preset: cmake --workflow --preset windows)");
            }
        }
        wineRun_ = WineRunner();
    }

    // Starts one Wine session for a whole table, so that the rows do not start Wine again.
    bool StartWine() {
        if (o_.windows.empty()) {
            return true;
        }
        ChildCommand child;
        child.argv = {wineRun_, "--session", "start", bin_ + "/tolmare.exe"};
        child.env = Environment({});
        child.out = 2;
        child.timeoutSeconds = 600;
        child.graceSeconds = 30;
        child.endLeftovers = false;
        const ChildEnd end = Supervise(child);
        interrupted_ = end.interruptedBy;
        sessionKept_ = end.started && end.status == 0 && !end.timedOut;
        if (!sessionKept_ && interrupted_ == 0) {
            Fail("the Wine session did not start (the runner's message is above)");
        }
        return sessionKept_;
    }

    void StopWine() {
        if (!sessionKept_) {
            return;
        }
        ChildCommand child;
        child.argv = {wineRun_, "--session", "stop"};
        child.env = Environment({});
        child.out = 2;
        child.timeoutSeconds = 120;
        child.endLeftovers = false;
        Supervise(child);
        sessionKept_ = false;
    }

    // Runs the procedure once on `source`. `capture`: its output goes into the outcome
    // instead of to the terminal.
    Outcome RunOn(const MachineSource& source, bool capture) {
        Outcome out;
        out.machine = source.label;
        out.file = source.path;
        if (source.ready) {
            out.description = ReadyMachineDescription(MachinesDir(), source.label);
        }
        const auto [text, before] = LoadMachine(source.path);
        RunFolder folder;
        std::string machine = source.path;
        if (!o_.inPlace) {
            machine = folder / "machine.json";
            WriteFile(machine, text, O_EXCL);
        }
        const std::string trace = o_.trace.empty() ? folder / "trace.jsonl" : o_.trace;
        PrepareTrace(trace);
        const std::string status = folder / "status";

        ChildCommand child;
        if (o_.windows.empty()) {
            child.argv = o_.command;
        } else {
            child.argv = {wineRun_,
                          "--procedure",
                          bin_,
                          "--status-file",
                          status,
                          "--timeout",
                          std::to_string(static_cast<int>(o_.timeout + 0.999)),
                          "--"};
            child.argv.insert(child.argv.end(), o_.command.begin(), o_.command.end());
            child.graceSeconds = 30; // the runner ends Wine's processes before it ends
            child.endLeftovers = false;
        }
        child.env = Environment({{"SIMBOOK", fs::absolute(machine).string()},
                                 {"SIMBOOK_TRACE", fs::absolute(trace).string()}});
        child.timeoutSeconds = o_.windows.empty() ? o_.timeout : o_.timeout + 60;
        int captured = -1;
        if (capture) {
            captured = open((folder / "output").c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (captured < 0) {
                Fail("cannot capture the procedure's output: " + std::string(std::strerror(errno)));
            }
            child.out = child.err = captured;
        } else if (o_.json) {
            child.out = 2; // standard output is the report's
        }
        const ChildEnd end = Supervise(child);
        if (captured >= 0) {
            close(captured);
            out.output = Tail(folder / "output");
        }
        if (!end.started) {
            Fail(end.problem);
        }
        interrupted_ = end.interruptedBy;
        out.seconds = end.seconds;
        out.leftovers = end.leftovers;
        out.timedOut = end.timedOut;
        out.exit = end.status;
        if (!o_.windows.empty()) {
            std::string full;
            std::ifstream in(status);
            if (std::getline(in, full) && !full.empty()) {
                char* stop = nullptr;
                const long long value = std::strtoll(full.c_str(), &stop, 10);
                if (*stop == '\0' || *stop == '\r') {
                    out.exit = value;
                }
            } else if (end.status == 124) {
                out.timedOut = true; // the runner ended it at the time limit
            } else if (end.status == kOwnFailure && !end.timedOut && end.interruptedBy == 0) {
                Fail("the Wine runner failed (its message is above)");
            }
        }
        if (out.timedOut) {
            out.exit = kTimedOut;
        } else if (end.interruptedBy != 0 && end.status > 128) {
            out.interrupted = true; // ended by simbook, not by itself
            out.exit = kInterrupted;
        }
        out.runs = RunsOfTrace(ReadLines(trace));
        const auto [afterText, after] = LoadMachine(machine);
        out.after = after;
        out.changes = Changes(before, after);
        return out;
    }

    int Interrupted() const { return interrupted_; }

    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;
    ~Runner() {
        try {
            StopWine();
        } catch (...) {
            // Nothing more can be done for a session that cannot be stopped.
        }
    }

private:
    // This process's environment with the programs first on PATH and `set` replacing or
    // adding variables.
    std::vector<std::string>
    Environment(const std::vector<std::pair<std::string, std::string>>& set) {
        std::vector<std::string> env;
        std::string path = "/usr/local/bin:/usr/bin:/bin";
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name == "PATH") {
                path = entry.substr(5);
                continue;
            }
            if (std::none_of(set.begin(), set.end(),
                             [&](const auto& s) { return s.first == name; })) {
                env.push_back(entry);
            }
        }
        env.push_back("PATH=" + (o_.windows.empty() ? bin_ + ":" : std::string()) + path);
        for (const auto& [name, value] : set) {
            env.push_back(std::string(name).append("=").append(value));
        }
        return env;
    }

    const Options& o_;
    std::string bin_;
    std::string wineRun_;
    bool sessionKept_ = false;
    int interrupted_ = 0;
};

// Signals that end simbook are held while it runs procedures, so that an interrupt ends the
// procedure and clears up instead of leaving both behind.
class HeldSignals {
public:
    HeldSignals() {
        sigemptyset(&set_);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&set_, sig);
        }
        sigprocmask(SIG_BLOCK, &set_, &before_);
    }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;
    ~HeldSignals() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
    // A signal that came since the last look, or 0.
    int Pending() {
        timespec none{0, 0};
        siginfo_t info{};
        const int sig = sigtimedwait(&set_, &info, &none);
        return sig > 0 ? sig : 0;
    }

private:
    sigset_t set_{};
    sigset_t before_{};
};

int RunSingle(const Options& o, Runner& runner, const MachineSource& source) {
    Outcome out = runner.RunOn(source, false);
    if (o.json) {
        oj doc = ReportJson(out);
        doc["command"] = o.command;
        doc["in_place"] = o.inPlace;
        doc["trace"] = o.trace.empty() ? oj() : oj(o.trace);
        std::printf("%s\n", doc.dump(2, ' ', false, oj::error_handler_t::replace).c_str());
    } else {
        std::fflush(stdout);
        std::printf("\n%s", ReportText(out, o.inPlace).c_str());
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
    return static_cast<int>(out.exit & 0xFF);
}

int RunTable(const Options& o, Runner& runner, const std::vector<MachineSource>& sources,
             HeldSignals& held) {
    std::optional<Expectations> expect;
    if (!o.expect.empty()) {
        std::string problem;
        expect = ReadExpectations(o.expect, problem);
        if (!expect) {
            Fail(o.expect + ": " + problem);
        }
        for (auto it = expect->byMachine.begin(); it != expect->byMachine.end(); ++it) {
            if (it.key() != "*" &&
                std::none_of(sources.begin(), sources.end(),
                             [&](const MachineSource& s) { return s.label == it.key(); })) {
                std::fprintf(stderr, "simbook run: %s: no machine '%s' in this table\n",
                             o.expect.c_str(), EscapedForLine(it.key()).c_str());
            }
        }
    }
    std::vector<Outcome> rows;
    int interrupted = 0;
    if (!runner.StartWine()) {
        interrupted = runner.Interrupted();
    }
    size_t width = 8;
    for (const MachineSource& s : sources) {
        width = std::max(width, EscapedForLine(s.label).size() + 1);
    }
    if (!o.json && interrupted == 0) {
        std::printf("%s", TableHead(width).c_str());
        std::fflush(stdout);
    }
    for (size_t i = 0; i < sources.size() && interrupted == 0; ++i) {
        Outcome row = runner.RunOn(sources[i], true);
        if (expect) {
            Check(*expect, row);
        }
        interrupted = runner.Interrupted() != 0 ? runner.Interrupted() : held.Pending();
        if (!o.json) {
            std::printf("%s", TableRow(row, width).c_str());
            std::fflush(stdout);
        }
        rows.push_back(std::move(row));
    }
    runner.StopWine();
    size_t failed = 0;
    for (const Outcome& row : rows) {
        failed += row.failures.empty() ? 0 : 1;
    }
    if (!o.junit.empty()) {
        std::string suite = fs::path(o.command.front()).filename().string();
        WriteFile(o.junit + ".tmp", JUnitXml(suite, rows), O_TRUNC);
        if (std::rename((o.junit + ".tmp").c_str(), o.junit.c_str()) != 0) {
            Fail(o.junit + ": cannot be written: " + std::strerror(errno));
        }
    }
    if (o.json) {
        oj doc = {{"command", o.command}, {"rows", oj::array()}};
        for (const Outcome& row : rows) {
            doc["rows"].push_back(ReportJson(row));
        }
        doc["passed"] = rows.size() - failed;
        doc["failed"] = failed;
        std::printf("%s\n", doc.dump(2, ' ', false, oj::error_handler_t::replace).c_str());
    } else if (expect) {
        std::printf("%zu machines: %zu passed, %zu failed\n", rows.size(), rows.size() - failed,
                    failed);
    } else {
        std::printf("%zu machines\n", rows.size());
    }
    if (interrupted != 0) {
        std::fprintf(stderr, "simbook run: interrupted; the table was not finished\n");
        return kInterrupted;
    }
    return failed == 0 ? kDone : kFailed;
}

} // namespace

int Run(const Args& args) {
    Options o;
    if (!ParseOptions(args, o)) {
        return kUsage;
    }
    HeldSignals held;
    try {
        const std::vector<MachineSource> sources = Machines(o);
        if (o.inPlace && sources.front().ready) {
            Fail("--in-place changes a machine file of your own; ready machines are never "
                 "changed (simbook new --from NAME FILE makes one)");
        }
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
