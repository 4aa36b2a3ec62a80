// Handles, the last error and waiting: the same cases run against winport on Linux and
// against Windows itself under Wine.
#include <winport/winport.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

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

TEST(LastError, IsKeptPerThread)
{
    // Interleaved through atomics alone: any system call in between could change the slot.
    std::atomic<int> step{0};
    DWORD seen_by_other = 0;
    std::thread other([&] {
        while (step.load() != 1) {
        }
        SetLastError(42);
        step.store(2);
        while (step.load() != 3) {
        }
        seen_by_other = GetLastError();
    });
    SetLastError(1234);
    step.store(1);
    while (step.load() != 2) {
    }
    DWORD seen_by_main = GetLastError();
    step.store(3);
    other.join();
    EXPECT_EQ(seen_by_main, 1234u);
    EXPECT_EQ(seen_by_other, 42u);
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
