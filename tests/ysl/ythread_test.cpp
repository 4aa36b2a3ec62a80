// Threads joined by identifier, and the range ysleep_sec accepts.
#include <ysl/ydiag_capture.h>
#include <ysl/ysleep_sec.h>
#include <ysl/ythread_win32.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

DWORD waits_for(void* ev)
{
    WaitForSingleObject(static_cast<HANDLE>(ev), INFINITE);
    return 0;
}

DWORD on_which_thread(void* id)
{
    *static_cast<DWORD*>(id) = GetCurrentThreadId();
    return 0;
}

// The function runs on a new thread whose identifier Create gives; a second Join of it fails.
TEST(YThread, Create_RunsTheFunctionOnANewThread_JoinTwiceFails)
{
    DWORD ran_on = 0;
    YTHREAD_ID id = YThread_Create(&on_which_thread, &ran_on, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(id, YTHREAD_ID_NONE);
    EXPECT_EQ(YThread_Join(id), 1);
    EXPECT_EQ(ran_on, id);
    YDiagCapture cap;
    EXPECT_EQ(YThread_Join(id), 0);
    EXPECT_EQ(
        cap.texts(YDIAG_ERRTRACE),
        std::vector<std::string>{"YThread_Join(): thread " + std::to_string(static_cast<int>(id)) + " not in list"});
}

TEST(YThread, DuplicateWindowsHandle_IsTheThreadsOwnHandle_UnlistedGivesInvalidWithoutAReport)
{
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    YTHREAD_ID id = YThread_Create(&waits_for, go, THREAD_PRIORITY_BELOW_NORMAL);
    ASSERT_NE(id, YTHREAD_ID_NONE);
    HANDLE copy = YThread_DuplicateWindowsHandle(id);
    ASSERT_NE(copy, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WaitForSingleObject(copy, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(copy, INFINITE), WAIT_OBJECT_0);
    CloseHandle(copy);
    // Ended but not joined: still listed, and joined at once.
    EXPECT_EQ(YThread_Join(id), 1);

    YDiagCapture cap;
    EXPECT_EQ(YThread_DuplicateWindowsHandle(id), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(cap.records().empty());
    CloseHandle(go);
}

TEST(YThread, JoinFromSeveralThreadsAtOnce_EachSucceedsOrFindsItGone)
{
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    YTHREAD_ID id = YThread_Create(&waits_for, go, THREAD_PRIORITY_NORMAL);
    YThreadFunction joiner = [](void* p) -> DWORD {
        return static_cast<DWORD>(YThread_Join(*static_cast<YTHREAD_ID*>(p)));
    };
    YTHREAD_ID joiners[2] = {YThread_Create(joiner, &id, THREAD_PRIORITY_NORMAL),
                             YThread_Create(joiner, &id, THREAD_PRIORITY_NORMAL)};
    SetEvent(go);
    for (YTHREAD_ID j : joiners)
        EXPECT_EQ(YThread_Join(j), 1);
    EXPECT_EQ(YThread_DuplicateWindowsHandle(id), INVALID_HANDLE_VALUE);
    CloseHandle(go);
}

TEST(YSleepSec, OutOfRange_IsRefusedWithItsReport)
{
    for (double s : {-0.001, 2678400.5, -std::numeric_limits<double>::infinity(), std::nan("")}) {
        YDiagCapture cap;
        EXPECT_EQ(ysleep_sec(s), -1) << s;
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), std::vector<std::string>{"ysleep_sec(): invalid argument"}) << s;
    }
}

}  // namespace
