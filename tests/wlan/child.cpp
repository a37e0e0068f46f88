#include "child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "support/scratch.h"
#include "support/trace.h"

std::string ChildRun::TraceText() const {
    return nwt::test::ReadFile(tracePath);
}

std::vector<nlohmann::json> ChildRun::Trace() const {
    return nwt::test::ReadTrace(tracePath);
}

std::vector<nlohmann::json> ChildRun::TraceOps(const std::string& op) const {
    return nwt::test::LinesWithOp(Trace(), op);
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
    // Removed by the parent when the run is over; the child leaves through std::exit, which
    // does not unwind this frame.
    const nwt::test::ScratchDir scratch("wlan-service");
    ChildRun run{scratch.Dir().string(), scratch.Path("trace.jsonl")};
    const std::string machinePath = scratch.Path("machine.json");
    nwt::test::WriteFile(machinePath, machineText);
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
}
