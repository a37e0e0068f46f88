// Heap, last error, clock, RaiseException, and the programs' main.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include "platform/win32.h"
#include "support/scratch.h"
#include "support/stand_in.h"
#include "support/trace.h"

extern char** environ;

TEST(Heap, ZeroMemoryZeroBytesAndFree) {
    HANDLE heap = GetProcessHeap();
    ASSERT_NE(heap, nullptr);
    for (int round = 0; round < 4; ++round) { // reuse of freed blocks still comes zeroed
        auto* block = static_cast<unsigned char*>(HeapAlloc(heap, 0, 4168));
        ASSERT_NE(block, nullptr);
        std::memset(block, 0xA5, 4168);
        HeapFree(heap, 0, block);
        block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 4168));
        ASSERT_NE(block, nullptr);
        for (int i = 0; i < 4168; ++i) {
            ASSERT_EQ(block[i], 0) << i;
        }
        HeapFree(heap, 0, block);
    }
    void* empty = HeapAlloc(heap, HEAP_ZERO_MEMORY, 0);
    void* empty2 = HeapAlloc(heap, 0, 0);
    EXPECT_NE(empty, nullptr);
    EXPECT_NE(empty, empty2);
    EXPECT_TRUE(HeapFree(heap, 0, empty));
    EXPECT_TRUE(HeapFree(heap, 0, empty2));
    EXPECT_TRUE(HeapFree(heap, 0, nullptr));
    EXPECT_EQ(HeapAlloc(nullptr, 0, 8), nullptr);
}

TEST(LastError, IsPerThread) {
    SetLastError(1234);
    DWORD seen = 0;
    std::thread other([&] {
        seen = GetLastError();
        SetLastError(ERROR_BUSY);
    });
    other.join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Clock, PinnedOrReal) {
    nwt::test::StandInMachine machine(R"({"clock": {"system_time": [2031, 5, 3, 14, 9, 8, 7, 6],
                             "performance_counter": -5}})");
    SYSTEMTIME st{};
    GetSystemTime(&st);
    EXPECT_EQ(st.wYear, 2031);
    EXPECT_EQ(st.wMilliseconds, 6);
    LARGE_INTEGER c{};
    ASSERT_TRUE(QueryPerformanceCounter(&c));
    EXPECT_EQ(c.QuadPart, -5);

    machine.Use("{}");
    GetSystemTime(&st);
    EXPECT_GE(st.wYear, 2024);
    EXPECT_GE(st.wMonth, 1);
    EXPECT_LE(st.wMonth, 12);
    LARGE_INTEGER a{}, b{};
    QueryPerformanceCounter(&a);
    QueryPerformanceCounter(&b);
    EXPECT_GE(b.QuadPart, a.QuadPart);
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
}

TEST(RaiseExceptionDeathTest, EndsTheProcessWithFailureAndNothingOnStdout) {
    // Standard output goes to a file: a byte written straight to the descriptor shows that the
    // file is the child's output, and the buffered text after it must never reach it.
    nwt::test::ScratchDir scratch("kernel-death");
    const std::string out = scratch.Path("stdout");
    EXPECT_EXIT(
        {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0 || write(STDOUT_FILENO, "[", 1) != 1) {
                std::_Exit(0);
            }
            std::fputs("buffered and never flushed", stdout);
            RaiseException(EXCEPTION_INT_OVERFLOW, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        },
        testing::ExitedWithCode(1), "unhandled exception 0xC0000095: process ended");
    EXPECT_EQ(nwt::test::ReadFile(out), "[");
}

namespace {

int RunProbe(const std::vector<std::string>& args, const std::string& trace) {
    std::vector<char*> argv;
    std::string program = MAIN_PROBE;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env = {"SIMBOOK_TRACE=" + trace, "LANG=C"};
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(ProgramMain, ConvertsArgumentsAndTracesTheFullStatus) {
    const nwt::test::ScratchDir scratch("simbook-main");
    const std::string trace = scratch.Path("trace.jsonl");
    // The shell sees only the low byte of the status; the trace sees all 32 bits. The UTF-8
    // argument arrives as the same wide text even under LANG=C.
    EXPECT_EQ(RunProbe({"-1073741676", "gr\xc3\xbc\xc3\x9f"
                                       "e"},
                       trace),
              0x94);
    EXPECT_EQ(RunProbe({"7"}, trace), 7);
    // Each run begins with a line naming the program and its arguments, numbered through the
    // whole trace, so that a procedure's trace tells whose lines follow.
    const std::vector<nlohmann::json> lines = nwt::test::ReadTrace(trace);
    ASSERT_EQ(lines.size(), 4u);
    const std::string name = std::string(MAIN_PROBE).substr(std::string(MAIN_PROBE).rfind('/') + 1);
    EXPECT_EQ(lines[0], nlohmann::json({{"op", "start"},
                                        {"run", 1},
                                        {"program", name},
                                        {"args",
                                         {"-1073741676", "gr\xc3\xbc\xc3\x9f"
                                                         "e"}}}));
    EXPECT_EQ(lines[1], nlohmann::json::parse(R"({"op":"exit","run":1,"status":-1073741676})"));
    EXPECT_EQ(lines[2]["run"], 2);
    EXPECT_EQ(lines[2]["args"], nlohmann::json::array({"7"}));
    EXPECT_EQ(lines[3], nlohmann::json::parse(R"({"op":"exit","run":2,"status":7})"));
}
