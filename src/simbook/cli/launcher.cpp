// The two launchers of `simbook run`. Neither keeps a time limit or ends processes itself: each
// only says what to start and how long to let it ask for an end (the grace between SIGTERM and
// SIGKILL), and the supervisor does the rest.
#include "simbook/cli/launcher.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <unistd.h>

#include "simbook/cli/commands.h"

extern char** environ; // NOLINT: the environment the procedure inherits

namespace simbook::cli {
namespace {

namespace fs = std::filesystem;

constexpr double kLinuxGrace = 2;     // a shell script clears up within moments of SIGTERM
constexpr double kWineGrace = 30;     // the runner ends every process of the Wine session first
constexpr double kSessionStart = 600; // a first start prepares the Wine prefix
constexpr double kSessionStop = 120;
constexpr int kRunnerFailed = 125; // the Wine runner's status for its own failures

bool Executable(const std::string& path) {
    std::error_code ec;
    return access(path.c_str(), X_OK) == 0 && fs::is_regular_file(path, ec);
}

class Linux final : public Launcher {
public:
    explicit Linux(const std::string& programs) : programs_(programs) {
        for (const char* program : {"brenvik", "tolmare", "sundrel"}) {
            if (!Executable(programs_ + "/" + program)) {
                throw std::runtime_error(std::string(program) + " is not beside simbook in " +
                                         programs_);
            }
        }
    }
    bool BeginTable(int& interruptedBy) override {
        interruptedBy = 0;
        return true;
    }
    void EndTable() override {}
    ChildCommand Procedure(const std::vector<std::string>& procedure, const Variables& set,
                           const std::string& /*statusFile*/,
                           double timeoutSeconds) const override {
        ChildCommand child;
        child.argv = procedure;
        child.env = ProcedureEnvironment(programs_, set);
        child.timeoutSeconds = timeoutSeconds;
        child.graceSeconds = kLinuxGrace;
        child.endLeftovers = true;
        return child;
    }
    int64_t FullStatus(const ChildEnd& end, const std::string& /*statusFile*/) const override {
        return end.status;
    }

private:
    std::string programs_;
    OrphanAdoption adoption_;
};

class Wine final : public Launcher {
public:
    Wine(const std::string& programs, const std::string& runner)
        : programs_(fs::absolute(programs).lexically_normal().string()), runner_(runner) {
        for (const char* program : {"brenvik.exe", "tolmare.exe", "sundrel.exe"}) {
            std::error_code ec;
            if (!fs::is_regular_file(programs_ + "/" + program, ec)) {
                throw std::runtime_error(
                    std::string(program) + " is not in " + programs_ +
                    " (build the windows preset: cmake --workflow --preset windows)");
            }
        }
    }
    Wine(const Wine&) = delete;
    Wine& operator=(const Wine&) = delete;
    ~Wine() override { EndTable(); }

    // One Wine session for the whole table, so that the rows do not start Wine again.
    bool BeginTable(int& interruptedBy) override {
        ChildCommand start =
            RunnerCommand({"--session", "start", programs_ + "/tolmare.exe"}, kSessionStart);
        // The session is tied to this process: should simbook be killed outright, the runner's
        // watchdog ends the session instead of leaving Wine running.
        std::erase_if(start.env,
                      [](const std::string& e) { return e.rfind("SIMBOOK_WINE_OWNER=", 0) == 0; });
        start.env.push_back("SIMBOOK_WINE_OWNER=" + std::to_string(getpid()));
        const ChildEnd end = Supervise(start);
        interruptedBy = end.interruptedBy;
        kept_ = end.started && end.status == 0 && !end.timedOut;
        if (!kept_ && interruptedBy == 0) {
            throw std::runtime_error(end.started ? "the Wine session did not start (the "
                                                   "runner's message is above)"
                                                 : end.problem);
        }
        return kept_;
    }
    void EndTable() override {
        if (kept_) {
            kept_ = false;
            Supervise(RunnerCommand({"--session", "stop"}, kSessionStop));
        }
    }
    ChildCommand Procedure(const std::vector<std::string>& procedure, const Variables& set,
                           const std::string& statusFile, double timeoutSeconds) const override {
        ChildCommand child;
        child.argv = {runner_, "--procedure", programs_, "--status-file", statusFile, "--"};
        child.argv.insert(child.argv.end(), procedure.begin(), procedure.end());
        child.env = ProcedureEnvironment("", set);
        child.timeoutSeconds = timeoutSeconds;
        child.graceSeconds = kWineGrace;
        child.endLeftovers = false; // a kept session outlives the row by design
        return child;
    }
    int64_t FullStatus(const ChildEnd& end, const std::string& statusFile) const override {
        std::ifstream in(statusFile);
        std::string full;
        if (std::getline(in, full) && !full.empty()) {
            char* stop = nullptr;
            const long long value = std::strtoll(full.c_str(), &stop, 10);
            if (stop != full.c_str() && (*stop == '\0' || *stop == '\r')) {
                return value;
            }
        }
        if (end.status == kRunnerFailed && !end.timedOut && end.interruptedBy == 0) {
            throw std::runtime_error("the Wine runner failed (its message is above)");
        }
        return end.status;
    }

private:
    ChildCommand RunnerCommand(const std::vector<std::string>& args, double timeoutSeconds) const {
        ChildCommand child;
        child.argv = {runner_};
        child.argv.insert(child.argv.end(), args.begin(), args.end());
        child.env = ProcedureEnvironment("", {});
        child.out = 2; // the runner's messages are not the report's
        child.timeoutSeconds = timeoutSeconds;
        child.graceSeconds = kWineGrace;
        child.endLeftovers = false;
        return child;
    }

    std::string programs_;
    std::string runner_;
    bool kept_ = false;
};

} // namespace

std::unique_ptr<Launcher> LinuxLauncher(const std::string& programs) {
    return std::make_unique<Linux>(programs);
}

std::unique_ptr<Launcher> WineLauncher(const std::string& programs, const std::string& runner) {
    return std::make_unique<Wine>(programs, runner);
}

std::string FindWineRunner() {
    const char* given = std::getenv("SIMBOOK_WINE_RUN");
    if (given != nullptr && given[0] != '\0') {
        return given;
    }
    // An installed simbook takes the runner installed with it (<prefix>/share/simbook), never
    // the one of a source tree that may be gone or changed since; a simbook of a build tree has
    // none beside it and takes the source tree's.
    const std::string self = SimbookDir();
    if (const std::string installed = self + "/../share/simbook/wine-run";
        !self.empty() && Executable(installed)) {
        return fs::path(installed).lexically_normal().string();
    }
    if (std::string source = std::string(SIMBOOK_SOURCE_DIR) + "/scripts/wine-run";
        Executable(source)) {
        return source;
    }
    throw std::runtime_error("scripts/wine-run is not found (set SIMBOOK_WINE_RUN)");
}

std::vector<std::string> ProcedureEnvironment(const std::string& first, const Variables& set) {
    std::vector<std::string> env;
    std::string path = "/usr/local/bin:/usr/bin:/bin";
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "PATH") {
            path = entry.substr(5);
            continue;
        }
        if (std::none_of(set.begin(), set.end(), [&](const auto& s) { return s.first == name; })) {
            env.push_back(entry);
        }
    }
    env.push_back("PATH=" + (first.empty() ? std::string() : first + ":") + path);
    for (const auto& [name, value] : set) {
        env.push_back(std::string(name).append("=").append(value));
    }
    return env;
}

} // namespace simbook::cli
