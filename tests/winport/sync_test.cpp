// Critical sections and unnamed events, on winport and under Wine alike.
#include <winport/winport.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class CriticalSectionTest : public ::testing::Test {
protected:
    void SetUp() override { InitializeCriticalSection(&cs); }
    void TearDown() override { DeleteCriticalSection(&cs); }
    // Whether another thread gets in at once (and then leaves again).
    bool other_thread_enters()
    {
        BOOL entered = FALSE;
        std::thread([&] {
            entered = TryEnterCriticalSection(&cs);
            if (entered)
                LeaveCriticalSection(&cs);
        }).join();
        return entered;
    }
    CRITICAL_SECTION cs;
};

TEST_F(CriticalSectionTest, OwnerMayEnterAgain_AndMustLeaveAsOften)
{
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(other_thread_enters()) << "still held once";
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(other_thread_enters());
}

TEST_F(CriticalSectionTest, ExcludesOtherThreads)
{
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(counter, 40000);
}

// Set at its making, then set twice: a manual-reset event stays set for every wait until
// reset, an auto-reset one releases a single wait (two sets are one signal, as on Windows).
TEST(Event, ManualResetReleasesEveryWait_AutoResetOne)
{
    for (BOOL manual : {TRUE, FALSE}) {
        HANDLE ev = CreateEventA(nullptr, manual, TRUE, nullptr);
        ASSERT_NE(ev, nullptr);
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0) << manual;
            EXPECT_EQ(WaitForSingleObject(ev, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT) << manual;
            ASSERT_TRUE(ResetEvent(ev));
            EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_TIMEOUT));
            ASSERT_TRUE(SetEvent(ev));
            ASSERT_TRUE(SetEvent(ev));
        }
        CloseHandle(ev);
        SetLastError(0);
        EXPECT_FALSE(SetEvent(ev)) << "closed";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(ResetEvent(ev));
    }
}

TEST(Event, AutoReset_EachSetWakesExactlyOneOfSeveralWaiters)
{
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            HANDLE h[2] = {ev, done};
            while (WaitForMultipleObjects(2, h, FALSE, INFINITE) == WAIT_OBJECT_0)
                ++woken;
        });
    // Each set is given only after the previous one was taken; a set that woke two waiters
    // would show in the final count.
    for (int i = 0; i < 50; ++i) {
        SetEvent(ev);
        while (woken.load() < i + 1)
            Sleep(0);
    }
    SetEvent(done);
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 50);
    CloseHandle(ev);
    CloseHandle(done);
}

}  // namespace
