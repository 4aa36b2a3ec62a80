// Named events and mutexes, and threads with their handles: the same cases run against
// winport on Linux and against Windows itself under Wine.
#include <winport/winport.h>

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

// Names unique to the test process: under Wine every suite shares one machine.
std::string unique_name(const char* what)
{
    return std::string("vantor-test-") + what + "-" + std::to_string(GetCurrentProcessId());
}

HANDLE create_event(const std::string& name, bool manual, bool set)
{
    return CreateEventA(nullptr, manual ? TRUE : FALSE, set ? TRUE : FALSE, name.c_str());
}

TEST(NamedEvent, SecondCreate_OpensTheFirst_WhoseResetTypeAndStateWin)
{
    std::string name = unique_name("event");
    HANDLE first = create_event(name, true, false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    HANDLE second = create_event(name, false, true);  // auto reset, set: both ignored
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Manual reset: one set is seen through both handles, by every wait, until a reset.
    ASSERT_TRUE(SetEvent(first));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(second));
    EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(first);
    CloseHandle(second);
}

TEST(NamedEvent, AutoReset_ReleasesOneWaitPerSet)
{
    std::string name = unique_name("auto");
    HANDLE a = create_event(name, false, true);
    HANDLE b = create_event(name, true, false);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(a);
    CloseHandle(b);
}

TEST(NamedEvent, LastHandleClosed_TheNextCreateMakesANewEvent)
{
    std::string name = unique_name("lifetime");
    HANDLE h = create_event(name, true, true);
    ASSERT_NE(h, nullptr);
    CloseHandle(h);
    h = create_event(name, false, false);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(h);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);  // auto reset now
    EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(h);
}

TEST(NamedEvent, SetInAnotherThread_WakesAWaitOnSeveralObjects)
{
    HANDLE unnamed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE named = create_event(unique_name("wake"), false, false);
    std::thread setter([&] { SetEvent(named); });
    HANDLE both[2] = {unnamed, named};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
    CloseHandle(unnamed);
    CloseHandle(named);
}

TEST(NamedObjects, ShareOneNamespace_AMutexNameIsNoEvent)
{
    std::string name = unique_name("shared");
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(m, nullptr);
    SetLastError(0);
    EXPECT_EQ(create_event(name, true, false), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(m);
}

TEST(NamedObjects, NameLongerThanMaxPath_IsRefused)
{
    std::string name(MAX_PATH + 1, 'n');
    SetLastError(0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST(NamedMutex, Owner_MayTakeItAgain_OthersWaitUntilEveryTakeIsReleased)
{
    std::string name = unique_name("mutex");
    HANDLE m = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    auto other_takes = [&] {
        DWORD r = WAIT_FAILED;
        std::thread([&] {
            HANDLE again = CreateMutexA(nullptr, FALSE, name.c_str());
            r = WaitForSingleObject(again, 10);
            if (r == WAIT_OBJECT_0)
                ReleaseMutex(again);
            CloseHandle(again);
        }).join();
        return r;
    };
    EXPECT_EQ(other_takes(), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(other_takes(), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(other_takes(), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));  // not owned any more
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    CloseHandle(m);
}

TEST(NamedMutex, OwnerThreadEndedWithoutReleasing_NextWaitGetsItAbandonedOnce)
{
    HANDLE m = CreateMutexA(nullptr, FALSE, unique_name("abandoned").c_str());
    std::thread([m] { EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_ABANDONED);
    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    ReleaseMutex(m);
    CloseHandle(m);
}

TEST(NamedMutex, HolderProcessKilled_NextWaiterGetsItAbandoned)
{
    std::string name = unique_name("killed");
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
    vantor_test::child holder("kernel_objects_helper", {"hold-mutex", name});
    std::string line;
    ASSERT_TRUE(holder.read_line(line));
    ASSERT_EQ(line, "locked");
    EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    holder.kill();
    EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_ABANDONED);
    ReleaseMutex(m);
    CloseHandle(m);
}

// --- threads -----------------------------------------------------------------------------

unsigned WINAPI returns_argument(void* arg)
{
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(arg));
}

unsigned WINAPI ends_itself(void* arg)
{
    _endthreadex(static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(arg)));
    return 0;
}

HANDLE start_thread(unsigned(WINAPI* fn)(void*), std::uintptr_t arg, unsigned* id = nullptr)
{
    unsigned ignored = 0;
    return reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, fn, reinterpret_cast<void*>(arg), 0, id ? id : &ignored));
}

TEST(Thread, HandleIsSignalledAtItsEnd_WithTheExitCode)
{
    struct {
        unsigned(WINAPI* fn)(void*);
        unsigned code;
    } cases[] = {{&returns_argument, 7}, {&ends_itself, 42}};
    for (const auto& c : cases) {
        unsigned id = 0;
        HANDLE t = start_thread(c.fn, c.code, &id);
        ASSERT_NE(t, nullptr);
        EXPECT_NE(id, 0u);
        EXPECT_NE(id, GetCurrentThreadId());
        ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
        CloseHandle(t);
    }
}

DWORD fls_slot = FLS_OUT_OF_INDEXES;
std::atomic<int> fls_released{0};
void CALLBACK release_fls(void* value)
{
    if (value)
        fls_released.fetch_add(1);
}

unsigned WINAPI stores_fls(void*)
{
    FlsSetValue(fls_slot, &fls_slot);
    return 0;
}

TEST(Thread, FiberLocalCallbacksHaveRunWhenTheHandleIsSignalled)
{
    fls_slot = FlsAlloc(&release_fls);
    ASSERT_NE(fls_slot, FLS_OUT_OF_INDEXES);
    HANDLE t = start_thread(&stores_fls, 0);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(fls_released.load(), 1);
    CloseHandle(t);
    FlsFree(fls_slot);
}

unsigned WINAPI waits_for_event(void* ev)
{
    WaitForSingleObject(static_cast<HANDLE>(ev), INFINITE);
    return 0;
}

TEST(Thread, WaitOnAThreadAndAnEvent_EndsWithWhicheverComesFirst)
{
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = start_thread(&waits_for_event, reinterpret_cast<std::uintptr_t>(go));
    HANDLE h[2] = {other, t};
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(go);
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    CloseHandle(t);
    CloseHandle(go);
    CloseHandle(other);
}

TEST(Thread, Priority_NormalAlwaysSucceeds_UnknownValueIsRefused)
{
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = start_thread(&waits_for_event, reinterpret_cast<std::uintptr_t>(go));
    for (int p : {THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_NORMAL})
        EXPECT_TRUE(SetThreadPriority(t, p)) << p;
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(t, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetEvent(go);
    WaitForSingleObject(t, INFINITE);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
    CloseHandle(t);
    CloseHandle(go);
}

#ifndef _WIN32
TEST(LinuxNamedObjectDirectory, WritableByOthers_IsRefused)
{
    // A helper makes the directory of this prefix under a runtime directory of our own; it
    // is then opened to others, and this process, which has not used it yet, must refuse it.
    std::string run = std::string(std::getenv("WINPORT_PREFIX")) + "/run";
    std::filesystem::create_directories(run);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    {
        vantor_test::child maker("kernel_objects_helper", {"create-event", "probe"});
        std::string line;
        ASSERT_TRUE(maker.read_line(line));
        ASSERT_EQ(line, "created 0");
        ASSERT_EQ(maker.wait(), 0);
    }
    int dirs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(run)) {
        std::filesystem::permissions(entry.path(), std::filesystem::perms::all);
        ++dirs;
    }
    ASSERT_EQ(dirs, 1);
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "probe"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}
#endif

}  // namespace
