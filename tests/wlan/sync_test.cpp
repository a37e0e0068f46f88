// Events and waits of the stand-in. Finite waits read the machine (its wait limit), so these run
// in a child process.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "child.h"
#include "platform/win32.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Events, AutoAndManualResetAndInitialState) {
    RunInChild(MachineText(), [](const ChildRun&) {
        HANDLE autoEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(autoEvent, nullptr);
        EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(SetEvent(autoEvent));
        EXPECT_TRUE(SetEvent(autoEvent)); // signalling twice still lets one wait through
        EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT) << "consumed by the wait";
        EXPECT_TRUE(SetEvent(autoEvent));
        EXPECT_TRUE(ResetEvent(autoEvent));
        EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT);

        HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        EXPECT_TRUE(SetEvent(manual));
        EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_OBJECT_0) << "stays signalled";
        EXPECT_TRUE(ResetEvent(manual));
        EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

        HANDLE initiallySet = CreateEventW(nullptr, FALSE, TRUE, nullptr);
        EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_TIMEOUT);

        for (HANDLE h : {autoEvent, manual, initiallySet}) {
            EXPECT_TRUE(CloseHandle(h));
        }
        SetLastError(0);
        EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, L"Global\\named"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    });
}

TEST(Events, BadHandlesFailLikeWindows) {
    RunInChild(MachineText(), [](const ChildRun&) {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_TRUE(CloseHandle(event));
        for (HANDLE h : {event, HANDLE(nullptr), INVALID_HANDLE_VALUE}) {
            SetLastError(0);
            EXPECT_FALSE(SetEvent(h));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
            EXPECT_FALSE(ResetEvent(h));
        }
        for (HANDLE h : {event, HANDLE(nullptr)}) {
            SetLastError(0);
            EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        }
    });
}

TEST(Events, InvalidHandleValueIsTheRunningProcess) {
    RunInChild(MachineText(), [](const ChildRun&) {
        // A wait on the process itself times out and leaves the last error alone.
        SetLastError(1234);
        auto start = Clock::now();
        EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 30), WAIT_TIMEOUT);
        EXPECT_GE(Clock::now() - start, 30ms);
        EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_TIMEOUT);
        // Closing the pseudo-handle does nothing: a cleanup path that closes a failed
        // CreateFileW result keeps the error the caller reports.
        HANDLE device = CreateFileW(L"\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    0, nullptr);
        ASSERT_EQ(device, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
        EXPECT_TRUE(CloseHandle(device));
        EXPECT_TRUE(CloseHandle(device));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    });
}

TEST(Events, WaitsAcrossThreads) {
    RunInChild(MachineText(), [](const ChildRun&) {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        std::thread setter([event] {
            Sleep(50);
            SetEvent(event);
        });
        EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        setter.join();

        // A finite wait that nobody ends lasts at least its timeout.
        auto start = Clock::now();
        EXPECT_EQ(WaitForSingleObject(event, 60), WAIT_TIMEOUT);
        EXPECT_GE(Clock::now() - start, 60ms);

        // One signal of an auto-reset event releases exactly one of two waiters.
        std::atomic<int> released{0};
        auto waiter = [&] {
            if (WaitForSingleObject(event, 2000) == WAIT_OBJECT_0) {
                ++released;
            }
        };
        std::thread w1(waiter), w2(waiter);
        Sleep(50);
        SetEvent(event);
        Sleep(200);
        EXPECT_EQ(released, 1);
        SetEvent(event);
        w1.join();
        w2.join();
        EXPECT_EQ(released, 2);

        // A manual-reset event releases every waiter.
        HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::atomic<int> all{0};
        std::thread m1([&] { all += WaitForSingleObject(manual, 5000) == WAIT_OBJECT_0; });
        std::thread m2([&] { all += WaitForSingleObject(manual, 5000) == WAIT_OBJECT_0; });
        Sleep(20);
        SetEvent(manual);
        m1.join();
        m2.join();
        EXPECT_EQ(all, 2);

        // A waiter keeps the event alive while another thread closes its handle.
        std::atomic<DWORD> outcome{0};
        std::thread closing([&] { outcome = WaitForSingleObject(event, 100); });
        Sleep(20);
        EXPECT_TRUE(CloseHandle(event));
        closing.join();
        EXPECT_EQ(outcome, WAIT_TIMEOUT);
        CloseHandle(manual);
    });
}

TEST(Events, MachineCapsFiniteWaits) {
    RunInChild(
        MachineText({{"wait_limit_ms", 20}}),
        [](const ChildRun&) {
            HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            // The child's time limit ends the test if the cap were ignored.
            EXPECT_EQ(WaitForSingleObject(event, 600000), WAIT_TIMEOUT);
            // An infinite wait is not capped: it outlasts the limit and ends with the signal.
            std::thread setter([event] {
                Sleep(150);
                SetEvent(event);
            });
            EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
            setter.join();
            CloseHandle(event);
        },
        10);
}

} // namespace
