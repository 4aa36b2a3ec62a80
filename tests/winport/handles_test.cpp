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

TEST(CloseHandle, ClosedOrForeignHandle_FailsWithInvalidHandle)
{
    HANDLE h = new_event(true, false);
    ASSERT_TRUE(CloseHandle(h));
    HANDLE bad[] = {h, nullptr, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x7ffff0))};
    for (HANDLE b : bad) {
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(b)) << b;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << b;
    }
}

TEST(CloseHandle, HandleOfReusedSlot_StaysInvalid)
{
    HANDLE first = new_event(true, false);
    ASSERT_TRUE(CloseHandle(first));
    HANDLE second = new_event(true, true);
    // Whatever slot the new event got, the old handle must not reach it.
    if (second != first) {
        SetLastError(0);
        EXPECT_FALSE(SetEvent(first));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    CloseHandle(second);
}

TEST(DuplicateHandle, Copy_OutlivesTheOriginalAndSharesTheObject)
{
    HANDLE original = new_event(true, false);
    HANDLE copy = nullptr;
    ASSERT_TRUE(
        DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    ASSERT_NE(copy, original);
    ASSERT_TRUE(SetEvent(original));
    ASSERT_TRUE(CloseHandle(original));
    EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(copy));
}

TEST(DuplicateHandle, CloseSource_ClosesTheOriginal)
{
    HANDLE original = new_event(true, false);
    HANDLE copy = nullptr;
    ASSERT_TRUE(SetEvent(original));
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    // Windows may hand out the freed value again for the copy.
    if (copy != original) {
        EXPECT_FALSE(CloseHandle(original));
    }
    EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(copy));
}

TEST(WaitForMultipleObjects, LowestSignalledIndexWins)
{
    HANDLE h[3] = {new_event(true, false), new_event(true, true), new_event(true, true)};
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    SetEvent(h[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0);
    for (HANDLE e : h)
        CloseHandle(e);
}

TEST(WaitForMultipleObjects, NothingSignalled_TimesOut)
{
    HANDLE h[2] = {new_event(true, false), new_event(false, false)};
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    for (HANDLE e : h)
        CloseHandle(e);
}

TEST(WaitForMultipleObjects, BadArguments_Fail)
{
    HANDLE ev = new_event(true, true);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& h : many)
        h = ev;
    struct {
        DWORD count;
        const HANDLE* handles;
        DWORD error;
    } cases[] = {
        {0, many, ERROR_INVALID_PARAMETER},
        {MAXIMUM_WAIT_OBJECTS + 1, many, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, FALSE, 0), WAIT_FAILED) << c.count;
        EXPECT_EQ(GetLastError(), c.error) << c.count;
    }
    HANDLE closed = new_event(true, true);
    CloseHandle(closed);
    HANDLE mixed[2] = {ev, closed};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(ev);
}

TEST(WaitForSingleObject, WakesWhenAnotherThreadSets)
{
    HANDLE ev = new_event(false, false);
    std::thread setter([ev] { SetEvent(ev); });
    EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(ev);
}

TEST(WaitForSingleObject, HandleClosedByAnotherThreadDuringTheWait_WaitStillEnds)
{
    // The waiter holds its own handle; closing a duplicate elsewhere must not pull the object
    // from under the wait.
    HANDLE ev = new_event(true, false);
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), ev, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
    std::thread other([&] {
        CloseHandle(dup);
        SetEvent(ev);
    });
    EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
    other.join();
    CloseHandle(ev);
}

}  // namespace
