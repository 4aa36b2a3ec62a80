// Handles, critical sections, unnamed events and waits: the same cases run against winport on
// Linux and against Windows itself under Wine.
#include <winport/winport.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

#ifdef _WIN32
constexpr bool winport = false;
#else
constexpr bool winport = true;
#endif

HANDLE new_event(bool manual, bool set)
{
    HANDLE h = CreateEventA(nullptr, manual ? TRUE : FALSE, set ? TRUE : FALSE, nullptr);
    EXPECT_NE(h, nullptr);
    return h;
}

HANDLE duplicate(HANDLE h, DWORD options = DUPLICATE_SAME_ACCESS)
{
    HANDLE copy = nullptr;
    EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, options));
    return copy;
}

TEST(CriticalSection, OwnerMayEnterAgain_OthersOnlyOnceItLeftAsOften)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    auto other_thread_enters = [&] {
        BOOL entered = FALSE;
        std::thread([&] {
            if ((entered = TryEnterCriticalSection(&cs)))
                LeaveCriticalSection(&cs);
        }).join();
        return entered;
    };
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(other_thread_enters()) << "still held once";
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(other_thread_enters());
    DeleteCriticalSection(&cs);
}

TEST(CloseHandle, ClosedForeignOrReusedHandle_FailsWithInvalidHandle)
{
    HANDLE h = new_event(true, false);
    ASSERT_TRUE(CloseHandle(h));
    HANDLE second = new_event(true, true);
    for (HANDLE b : {h, static_cast<HANDLE>(nullptr), reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x7ffff0))}) {
        // Whatever slot the new event got, the old handle must not reach it.
        if (b == second)
            continue;
        SetLastError(0);
        EXPECT_FALSE(SetEvent(b)) << b;
        EXPECT_FALSE(ResetEvent(b)) << b;
        EXPECT_FALSE(CloseHandle(b)) << b;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << b;
    }
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    CloseHandle(second);
}

TEST(DuplicateHandle, Copy_OutlivesTheOriginal_AndCloseSourceClosesIt)
{
    for (DWORD close_source : {DWORD{0}, DWORD{DUPLICATE_CLOSE_SOURCE}}) {
        HANDLE original = new_event(true, true);
        HANDLE copy = duplicate(original, DUPLICATE_SAME_ACCESS | close_source);
        ASSERT_NE(copy, nullptr);
        // Windows may hand out the freed value again for the copy.
        if (copy != original) {
            EXPECT_EQ(CloseHandle(original), !close_source);
        }
        EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(CloseHandle(copy));
    }
}

// Set at its making, then set twice: a manual-reset event stays set for every wait until
// reset, an auto-reset one releases a single wait (two sets are one signal, as on Windows).
TEST(Event, ManualResetReleasesEveryWait_AutoResetOne)
{
    for (bool manual : {true, false}) {
        HANDLE ev = new_event(manual, true);
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0) << manual;
            EXPECT_EQ(WaitForSingleObject(ev, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT) << manual;
            ASSERT_TRUE(ResetEvent(ev));
            EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_TIMEOUT));
            ASSERT_TRUE(SetEvent(ev));
            ASSERT_TRUE(SetEvent(ev));
        }
        CloseHandle(ev);
    }
}

TEST(Event, AutoReset_EachSetWakesExactlyOneOfSeveralWaiters)
{
    HANDLE ev = new_event(false, false), done = new_event(true, false);
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

TEST(WaitForMultipleObjects, LowestSignalledIndexWins_OrItTimesOut)
{
    HANDLE h[3] = {new_event(true, false), new_event(false, false), new_event(true, true)};
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    SetEvent(h[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0);
    for (HANDLE e : h)
        CloseHandle(e);
}

TEST(WaitForMultipleObjects, BadArguments_Fail)
{
    HANDLE ev = new_event(true, true), closed = new_event(true, true);
    CloseHandle(closed);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1] = {ev, closed};
    struct {
        DWORD count;
        DWORD error;
    } cases[] = {
        {0, ERROR_INVALID_PARAMETER}, {MAXIMUM_WAIT_OBJECTS + 1, ERROR_INVALID_PARAMETER}, {2, ERROR_INVALID_HANDLE}};
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(c.count, many, FALSE, 0), WAIT_FAILED) << c.count;
        EXPECT_EQ(GetLastError(), c.error) << c.count;
    }
    CloseHandle(ev);
}

// winport refuses a wait for all of several objects and a mutex among several handles, which
// nothing in the library asks for; a refused wait takes nothing. Windows does both.
TEST(WaitForMultipleObjects, WaitAllOrAMutexAmongSeveral_RefusedByWinportOnly)
{
    HANDLE ev = new_event(false, false), other = new_event(true, true), m = CreateMutexA(nullptr, FALSE, nullptr);
    struct {
        HANDLE h[2];
        BOOL all;
    } rows[] = {{{ev, other}, TRUE}, {{ev, m}, FALSE}, {{ev, m}, TRUE}};
    for (const auto& r : rows) {
        ASSERT_TRUE(SetEvent(ev));
        SetLastError(0);
        DWORD got = WaitForMultipleObjects(2, r.h, r.all, 0);
        if (winport) {
            EXPECT_EQ(got, WAIT_FAILED) << r.all;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
            EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0) << "the auto-reset event was taken";
        } else {
            EXPECT_EQ(got, WAIT_OBJECT_0) << r.all;
            EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_TIMEOUT));
            if (r.all && r.h[1] == m) {
                EXPECT_TRUE(ReleaseMutex(m));
            }
        }
    }
    // Of one handle, a wait for all is the wait on it.
    EXPECT_EQ(WaitForMultipleObjects(1, &m, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    for (HANDLE h : {ev, other, m})
        CloseHandle(h);
}

TEST(WaitForSingleObject, HandleClosedByAnotherThreadDuringTheWait_WaitStillEnds)
{
    // The waiter holds its own handle; closing a duplicate elsewhere must not pull the object
    // from under the wait.
    HANDLE ev = new_event(true, false), dup = duplicate(ev);
    std::thread other([&] {
        CloseHandle(dup);
        SetEvent(ev);
    });
    EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
    other.join();
    CloseHandle(ev);
}

}  // namespace
