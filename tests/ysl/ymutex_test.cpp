// Named mutexes through ysl: results and reports, within a process and across processes.
#include <ysl/ydiag_capture.h>
#include <ysl/ymutex.h>

#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

namespace {

using results = std::vector<int>;

std::string unique_name(const char* what)
{
    return std::string("vantor-ymutex-") + what + "-" + std::to_string(GetCurrentProcessId());
}

int try_from_other_thread(YMUTEX m)
{
    int result = -1;
    std::thread([&] { result = YMutex_TryLock(m); }).join();
    return result;
}

TEST(YMutex, InvalidHandle_EveryFunctionFailsWithItsReport)
{
    const std::tuple<int (*)(YMUTEX), int, const char*> cases[] = {
        {&YMutex_Destroy, YDIAG_ERRTRACE, "YMutex_Destroy(): invalid handle"},
        {&YMutex_Lock, YDIAG_ERRTRACE, "YMutex_Lock(): invalid handle"},
        {&YMutex_Release, YDIAG_ERRTRACE, "YMutex_Release(): invalid handle"},
        {&YMutex_TryLock, YDIAG_ERRLOG, "YMutex_TryLock(): invalid handle"},
    };
    for (const auto& [fn, kind, text] : cases) {
        YDiagCapture cap;
        EXPECT_EQ(fn(YMUTEX_INVALID), 0) << text;
        EXPECT_EQ(cap.texts(kind), std::vector<std::string>{text});
        EXPECT_EQ(cap.records().size(), 1u) << text;
    }
}

TEST(YMutex, Create_NameTooLong_IsRefusedWithItsReport)
{
    YDiagCapture cap;
    EXPECT_EQ(YMutex_Create(std::string(YMUTEX_NAME_MAX + 1, 'm').c_str()), YMUTEX_INVALID);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), std::vector<std::string>{"YMutex_Create(): name too long"});
    EXPECT_EQ(YMutex_Destroy(YMutex_Create(std::string(YMUTEX_NAME_MAX, 'm').c_str())), 1) << "the longest allowed";
}

// A mutex whose owner thread ended without releasing it counts as taken, not as a failure.
TEST(YMutex, TryLock_HeldByAnotherThread_GivesZero_AbandonedByItGivesOne)
{
    YMUTEX m = YMutex_Create(unique_name("try").c_str());
    ASSERT_EQ(YMutex_Lock(m), 1);
    YDiagCapture cap;
    EXPECT_EQ(try_from_other_thread(m), 0);
    EXPECT_EQ(YMutex_TryLock(m), 1);  // the owner takes it again
    EXPECT_EQ((results{YMutex_Release(m), YMutex_Release(m)}), (results{1, 1}));
    std::thread([m] { EXPECT_EQ(YMutex_Lock(m), 1); }).join();
    EXPECT_EQ(YMutex_TryLock(m), 1);
    EXPECT_EQ(YMutex_Lock(m), 1);
    EXPECT_TRUE(cap.records().empty());
    EXPECT_EQ((results{YMutex_Release(m), YMutex_Release(m), YMutex_Destroy(m)}), (results{1, 1, 1}));
}

// Release by a thread that does not own it, and a second Destroy, fail with the system error.
TEST(YMutex, ReleaseByANonOwnerAndDestroyTwice_FailWithTheSystemError)
{
    YMUTEX m = YMutex_Create(unique_name("release").c_str());
    YDiagCapture cap;
    EXPECT_EQ(YMutex_Release(m), 0);
    EXPECT_EQ(YMutex_Destroy(m), 1);
    EXPECT_EQ(YMutex_Destroy(m), 0);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), (std::vector<std::string>{"YMutex_Release(): ReleaseObject() failed: 288",
                                                                   "YMutex_Destroy(): CloseHandle() failed: 6"}));
}

TEST(YMutex, SeveralProcesses_OnlyOneHoldsItAtATime)
{
    // Each process increments a number in a file under the mutex; two holders at once would
    // lose updates.
    std::string name = unique_name("count");
    std::string file = (std::filesystem::temp_directory_path() / (name + ".txt")).string();
    std::ofstream(file) << 0 << '\n';
    const int processes = 4, rounds = 200;
    std::vector<std::unique_ptr<vantor_test::child>> children;
    for (int i = 0; i < processes; ++i)
        children.push_back(std::make_unique<vantor_test::child>(
            "kernel_objects_helper",
            std::vector<std::string>{"count-under-mutex", name, file, std::to_string(rounds)}));
    for (auto& c : children)
        EXPECT_EQ(c->wait(), 0);
    long total = 0;
    std::ifstream(file) >> total;
    EXPECT_EQ(total, processes * rounds);
    std::filesystem::remove(file);
}

}  // namespace
