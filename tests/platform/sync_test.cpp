// Events and waits of the stand-in. Finite waits read the machine (its wait limit), so every
// test here names its machine.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/stand_in.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `done` until it holds or five seconds pass; whether it held.
template <class Condition> bool Eventually(Condition done) {
    const auto deadline = Clock::now() + 5s;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(Events, AutoAndManualResetAndInitialState) {
    nwt::test::StandInMachine machine;
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
}

TEST(Events, BadHandlesFailLikeWindows) {
    nwt::test::StandInMachine machine;
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
}

TEST(Events, InvalidHandleValueIsTheRunningProcess) {
    nwt::test::StandInMachine machine;
    // A wait on the process itself times out and leaves the last error alone.
    SetLastError(1234);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 30), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_TIMEOUT);
    // Closing the pseudo-handle does nothing: a cleanup path that closes a failed CreateFileW
    // result keeps the error the caller reports.
    HANDLE device =
        CreateFileW(L"\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(Events, WaitsAcrossThreads) {
    nwt::test::StandInMachine machine;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread setter([event] {
        Sleep(50); // lets the wait below start first
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();

    // A finite wait that nobody ends lasts at least its timeout.
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 60), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 60ms);

    // Each signal of an auto-reset event releases exactly one of two waiters: after two signals
    // both are through and the second signal was consumed too. Had the first released both, the
    // second would still be pending.
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event, 5000) == WAIT_OBJECT_0) {
            ++released;
        }
    };
    std::thread w1(waiter), w2(waiter);
    SetEvent(event);
    EXPECT_TRUE(Eventually([&] { return released >= 1; }));
    SetEvent(event);
    w1.join();
    w2.join();
    EXPECT_EQ(released, 2);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "one signal released both waiters";

    // A manual-reset event releases every waiter.
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> all{0};
    std::thread m1([&] { all += WaitForSingleObject(manual, 5000) == WAIT_OBJECT_0; });
    std::thread m2([&] { all += WaitForSingleObject(manual, 5000) == WAIT_OBJECT_0; });
    Sleep(20); // lets both start waiting; they pass either way
    SetEvent(manual);
    m1.join();
    m2.join();
    EXPECT_EQ(all, 2);

    // A waiter keeps the event alive while another thread closes its handle.
    std::atomic<DWORD> outcome{0};
    std::thread closing([&] { outcome = WaitForSingleObject(event, 100); });
    Sleep(20); // lets the wait start before the close
    EXPECT_TRUE(CloseHandle(event));
    closing.join();
    EXPECT_EQ(outcome, WAIT_TIMEOUT);
    CloseHandle(manual);
}

TEST(Events, MachineCapsFiniteWaits) {
    nwt::test::StandInMachine machine(R"({"wlan": {"wait_limit_ms": 20}})");
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 60000), WAIT_TIMEOUT);
    EXPECT_LT(Clock::now() - start, 10s) << "the machine's wait limit was ignored";
    // An infinite wait is not capped: it outlasts the limit and ends with the signal.
    std::thread setter([event] {
        Sleep(150);
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(event);
}

} // namespace
