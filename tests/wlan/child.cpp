#include "child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

std::string ChildRun::TraceText() const {
    std::ifstream in(tracePath);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<nlohmann::json> ChildRun::Trace() const {
    std::vector<nlohmann::json> lines;
    std::ifstream in(tracePath);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

std::vector<nlohmann::json> ChildRun::TraceOps(const std::string& op) const {
    std::vector<nlohmann::json> out;
    for (auto& line : Trace()) {
        if (line.value("op", "") == op) {
            out.push_back(line);
        }
    }
    return out;
}

std::string MachineText(const nlohmann::json& extraWlan, const nlohmann::json& extraTop) {
    nlohmann::json machine = {
        {"wlan",
         {{"notify_delay_ms", 20},
          {"interfaces",
           {{{"guid", "{c799c725-24b9-464b-b6c7-5e300dce17d6}"},
             {"scan", "complete"},
             {"networks", {"HomeNet", "", "Cafe", "Cafe"}}},
            {{"guid", "{11111111-2222-3333-4444-555555555555}"}, {"scan", "fail"}},
            {{"guid", "{22222222-2222-3333-4444-555555555555}"}, {"scan", "refuse"}},
            {{"guid", "{33333333-2222-3333-4444-555555555555}"}, {"scan", "silent"}}}}}}};
    for (auto it = extraWlan.begin(); it != extraWlan.end(); ++it) {
        machine["wlan"][it.key()] = it.value();
    }
    for (auto it = extraTop.begin(); it != extraTop.end(); ++it) {
        machine[it.key()] = it.value();
    }
    return machine.dump(2);
}

void RunInChild(const std::string& machineText, const std::function<void(const ChildRun&)>& body,
                unsigned timeLimitSeconds) {
    std::string pattern = testing::TempDir() + "wlan_testXXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(mkdtemp(buffer.data()), nullptr);
    ChildRun run{buffer.data(), std::string(buffer.data()) + "/trace.jsonl"};
    std::string machinePath = run.dir + "/machine.json";
    {
        std::ofstream out(machinePath);
        out << machineText;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(timeLimitSeconds);
        setenv("SIMBOOK", machinePath.c_str(), 1);
        setenv("SIMBOOK_TRACE", run.tracePath.c_str(), 1);
        body(run);
        std::fflush(stdout);
        // exit, not _exit: the leak checker of sanitizer builds runs at exit and fails the child.
        std::exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFSIGNALED(status)) {
        ADD_FAILURE() << "child died with signal " << WTERMSIG(status)
                      << (WTERMSIG(status) == SIGALRM ? " (time limit: a hang)" : "");
    } else {
        EXPECT_EQ(WEXITSTATUS(status), 0) << "the child reported failures (see above)";
    }
    std::error_code ignored;
    std::filesystem::remove_all(run.dir, ignored);
}
