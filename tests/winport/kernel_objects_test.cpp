// Named events and mutexes, and threads with their handles: the same cases run against
// winport on Linux and against Windows itself under Wine.
// This unit uses the system's own sockets (AF_UNIX), not the Windows ones.
#define WINPORT_SYSTEM_SOCKETS
#include <winport/winport.h>

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <cstdio>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

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

bool signalled(HANDLE h)
{
    return WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
}

// The first create of a name decides the reset type and state, a second one opens it; once
// the last handle is closed, the next create makes a new event.
TEST(NamedEvent, SecondCreate_OpensTheFirst_WhoseResetTypeAndStateWin)
{
    const std::string name = unique_name("event");
    for (bool manual : {true, false}) {
        HANDLE first = create_event(name, manual, !manual);  // the auto-reset one made set
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        HANDLE second = create_event(name, !manual, manual);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(signalled(second), !manual) << "the first create's state";
        EXPECT_FALSE(signalled(first));
        // One set is seen through both handles: by every wait until a reset, or by one.
        ASSERT_TRUE(SetEvent(first));
        EXPECT_TRUE(signalled(second));
        EXPECT_EQ(signalled(first), manual);
        ASSERT_TRUE(ResetEvent(second));
        EXPECT_FALSE(signalled(first));
        CloseHandle(first);
        CloseHandle(second);
    }
}

// Mutexes and events share one namespace; a name longer than MAX_PATH is refused.
TEST(NamedObjects, EventOfAMutexName_AndTooLongAName_AreRefused)
{
    std::string name = unique_name("shared");
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(m, nullptr);
    SetLastError(0);
    EXPECT_EQ(create_event(name, true, false), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(m);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, std::string(MAX_PATH + 1, 'n').c_str()), nullptr);
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

    // Asking for ownership when opening an existing mutex gives none.
    HANDLE opened = CreateMutexA(nullptr, TRUE, name.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(other_takes(), WAIT_OBJECT_0);
    CloseHandle(opened);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));  // not owned any more
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    CloseHandle(m);
}

#ifndef _WIN32
// The wall clock as winport sees it, shifted by this many seconds while a case steps it: this
// program's clock_gettime takes the place of the C library's for the library's calls.
std::atomic<long> wall_clock_step{0};
}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* ts) noexcept
{
    long rc = syscall(SYS_clock_gettime, clock, ts);
    if (rc == 0 && clock == CLOCK_REALTIME)
        ts->tv_sec += wall_clock_step.load();
    return static_cast<int>(rc);
}

namespace {

TEST(NamedMutex, LinuxTimedWait_NeitherShortenedNorLengthenedByAStepOfTheWallClock)
{
    std::string name = unique_name("stepped");
    HANDLE m = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(m, nullptr);
    for (long step : {-3600L, 3600L}) {
        wall_clock_step = step;
        DWORD r = WAIT_FAILED;
        auto waited = std::chrono::steady_clock::duration::zero();
        std::thread([&] {
            HANDLE other = CreateMutexA(nullptr, FALSE, name.c_str());
            auto start = std::chrono::steady_clock::now();
            r = WaitForSingleObject(other, 100);
            waited = std::chrono::steady_clock::now() - start;
            CloseHandle(other);
        }).join();
        wall_clock_step = 0;
        EXPECT_EQ(r, static_cast<DWORD>(WAIT_TIMEOUT)) << step;
        EXPECT_GE(waited, std::chrono::milliseconds(100))
            << step;  // a step back ended it at once; forward, it would last an hour
    }
    ReleaseMutex(m);
    CloseHandle(m);
}
#endif

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

// A killed holder abandons the mutex to a waiter that has it open; once every holder is
// gone, the next create makes each object anew, in its own state.
TEST(NamedMutex, HolderProcessKilled_AbandonsIt_AndWithNoHolderLeftTheNamesAreMadeAfresh)
{
    for (bool open_here : {true, false}) {
        std::string name = unique_name(open_here ? "killed" : "gone");
        HANDLE m = open_here ? CreateMutexA(nullptr, FALSE, name.c_str()) : nullptr;
        vantor_test::child holder("kernel_objects_helper", {"hold-mutex", name});
        ASSERT_EQ(holder.next_line(), "locked");
        holder.kill();
        if (open_here) {
            EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_ABANDONED);
            ReleaseMutex(m);
        } else {
            m = CreateMutexA(nullptr, FALSE, name.c_str());
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
            EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "neither owned nor abandoned";
            ReleaseMutex(m);
            HANDLE ev = create_event(name + ".e", false, false);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
            EXPECT_FALSE(signalled(ev)) << "the dead holder's set event came back";
            CloseHandle(ev);
        }
        CloseHandle(m);
    }
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

DWORD fls_slot = FLS_OUT_OF_INDEXES;
std::atomic<int> fls_released{0};
void CALLBACK release_fls(void* value)
{
    if (value)
        fls_released.fetch_add(1);
}

unsigned WINAPI stores_fls(void* arg)
{
    FlsSetValue(fls_slot, &fls_slot);
    return returns_argument(arg);
}

// The handle is signalled at the end with the exit code, and by then the fiber-local callbacks
// have run.
TEST(Thread, HandleIsSignalledAtItsEnd_WithTheExitCode_AfterTheFiberLocalCallbacks)
{
    fls_slot = FlsAlloc(&release_fls);
    ASSERT_NE(fls_slot, FLS_OUT_OF_INDEXES);
    struct {
        unsigned(WINAPI* fn)(void*);
        unsigned code;
    } cases[] = {{&returns_argument, 7}, {&ends_itself, 42}, {&stores_fls, 3}};
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
    EXPECT_EQ(fls_released.load(), 1);
    FlsFree(fls_slot);
}

unsigned WINAPI waits_for_event(void* ev)
{
    WaitForSingleObject(static_cast<HANDLE>(ev), INFINITE);
    return 0;
}

// A thread's priority takes the levels Windows knows and refuses others. (A wait on the
// thread's handle among other handles is a case of the processes' suite.)
TEST(Thread, Priority_KnownLevelsAreSetAndReadBack_OthersRefused)
{
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = start_thread(&waits_for_event, reinterpret_cast<std::uintptr_t>(go));
    for (int p : {THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_NORMAL})
        EXPECT_TRUE(SetThreadPriority(t, p)) << p;
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(t, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
    CloseHandle(go);
}

#ifndef _WIN32
// A runtime directory of this process's own, in which the named objects' directory of the
// prefix is the only entry.
std::string own_runtime_dir()
{
    std::string run = std::string(std::getenv("WINPORT_PREFIX")) + "/run";
    std::filesystem::create_directories(run);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    return run;
}

TEST(LinuxNamedObjectDirectory, WritableByOthers_IsRefused)
{
    // A helper makes the directory of this prefix; it is then opened to others, and this
    // process, which has not used it yet, must refuse it.
    std::string run = own_runtime_dir();
    {
        vantor_test::child maker("kernel_objects_helper", {"create-event", "probe"});
        ASSERT_EQ(maker.next_line(), "created 0");
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

// A prefix that another user owns, can write to or has made a link could have its registry
// or drive swapped: a process refuses it, and with it every call that needs it.
TEST(LinuxPrefix, OwnedByAnother_WritableByOthers_OrALink_IsRefused)
{
    ASSERT_EQ(_access("C:\\", 0), 0);  // this process's own prefix is settled before the variable changes
    const std::string base = std::string(std::getenv("WINPORT_PREFIX")) + "/prefixes";
    std::filesystem::create_directories(base);
    const bool root = geteuid() == 0;
    struct {
        const char* name;
        mode_t mode;
        bool link;
        bool other_owner;
        const char* result;
    } cases[] = {{"private", 0700, false, false, "created 0"},
                 {"group-writable", 0770, false, false, "failed 5"},
                 {"world-writable", 0707, false, false, "failed 5"},
                 {"link", 0700, true, false, "failed 5"},
                 {"foreign", 0700, false, true, "failed 5"}};
    const std::string saved = std::getenv("WINPORT_PREFIX");
    for (const auto& c : cases) {
        if (c.other_owner && !root)
            continue;  // only the superuser can give a directory away
        std::string dir = base + "/" + c.name;
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0) << c.name;
        ASSERT_EQ(chmod(dir.c_str(), c.mode), 0) << c.name;
        if (c.other_owner) {
            ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        }
        std::string prefix = dir;
        if (c.link) {
            prefix = dir + "-link";
            ASSERT_EQ(symlink(dir.c_str(), prefix.c_str()), 0);
        }
        setenv("WINPORT_PREFIX", prefix.c_str(), 1);
        vantor_test::child probe("kernel_objects_helper", {"create-event", "probe"});
        setenv("WINPORT_PREFIX", saved.c_str(), 1);
        EXPECT_EQ(probe.next_line(), c.result) << c.name;
        probe.wait();
    }
}

// Holders that never wait keep the wake-ups sent to them, and the sender pays for each one
// still queued; with enough of them its sends fail for want of buffer, which must not pass
// for a full queue at the waiter, or the wait sleeps through a set.
TEST(LinuxNamedEvent, HoldersThatNeverWait_DoNotSwallowTheWakeUpOfAWaiter)
{
    std::string run = own_runtime_dir();
    std::string name = unique_name("busy");
    HANDLE h = create_event(name, true, false);
    ASSERT_NE(h, nullptr);
    // Each holder process that has waited has a datagram socket in the event's waiter directory.
    EXPECT_FALSE(signalled(h));
    std::string waiters;
    for (const auto& entry : std::filesystem::directory_iterator(run))
        waiters = entry.path().string() + "/o." + name + ".w";
    int dir = open(waiters.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0) << waiters;
    std::vector<int> idle;
    for (int i = 0; i < 64; ++i) {
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/idle.%d", dir, i);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        idle.push_back(fd);
    }
    for (int i = 0; i < 20; ++i) {  // more than fill every queue
        SetEvent(h);
        ResetEvent(h);
    }
    EXPECT_FALSE(signalled(h));  // takes the wake-ups queued for this process
    SetEvent(h);
    EXPECT_TRUE(signalled(h));
    for (int fd : idle)
        close(fd);
    close(dir);
    CloseHandle(h);
}

// Windows releases every thread waiting on a manual-reset event when it is set, even if it is
// reset at once. Here the waits share one descriptor, which the first waiter to run empties;
// the others must not sleep on. The threads are known to wait once the kernel shows them in
// poll().
bool blocked_in_poll(long tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return (in >> number) && (number == SYS_poll || number == SYS_ppoll);
}

// A wait on h that is under way when another thread sets it ends with the set.
void expect_woken_while_waiting(HANDLE h)
{
    std::atomic<long> tid{0};
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] {
        tid = syscall(SYS_gettid);
        result = WaitForSingleObject(h, 10000);
    });
    while (tid == 0 || !blocked_in_poll(tid))
        std::this_thread::yield();
    EXPECT_TRUE(SetEvent(h));
    waiter.join();
    EXPECT_EQ(result, static_cast<DWORD>(WAIT_OBJECT_0));
}

// A process makes its wake-up socket at its first wait: one that has only set the event so
// far, whether or not another process waited then, must be woken by a set that comes while it
// waits later.
TEST(LinuxNamedEvent, HolderThatOnlySetItAtFirst_IsWokenWhenItWaitsLater)
{
    for (bool manual : {false, true}) {
        for (bool other_waits : {false, true}) {
            SCOPED_TRACE(std::string(manual ? "manual" : "auto") + (other_waits ? ", another waited" : ""));
            std::string name = unique_name(manual ? "late-manual" : "late-auto");
            HANDLE h = create_event(name, manual, false);
            if (other_waits) {
                vantor_test::child waiter("kernel_objects_helper", {"wait-event", name});
                ASSERT_EQ(waiter.next_line(), "listed");
                ASSERT_TRUE(SetEvent(h));
                ASSERT_EQ(waiter.next_line(), "woken");
                ASSERT_EQ(waiter.wait(), 0);
            } else {
                ASSERT_TRUE(SetEvent(h));
            }
            ASSERT_TRUE(ResetEvent(h));
            expect_woken_while_waiting(h);
            CloseHandle(h);
        }
    }
}

// A set finds the waiting processes in a table of the event's state, and those that came
// when it was full in the waiter directory; a waiter that was killed holds nobody up.
TEST(LinuxNamedEvent, SetWakesEveryWaitingProcess_BeyondTheTable_AndPastAKilledOne)
{
    std::string name = unique_name("crowd");
    HANDLE h = create_event(name, true, false);
    std::vector<std::unique_ptr<vantor_test::child>> waiters;
    std::string line;
    for (int i = 0; i < 66; ++i) {
        waiters.push_back(std::make_unique<vantor_test::child>("kernel_objects_helper",
                                                               std::vector<std::string>{"wait-event", name}));
        ASSERT_TRUE(waiters.back()->read_line(line) && line == "listed") << i;
    }
    waiters.front()->kill();
    ASSERT_TRUE(SetEvent(h));
    for (std::size_t i = 1; i < waiters.size(); ++i)
        EXPECT_TRUE(waiters[i]->read_line(line) && line == "woken") << i;
    CloseHandle(h);
}

TEST(LinuxManualResetEvent, SetAndResetAtOnce_ReleasesEveryThreadThatWaits)
{
    constexpr int waiters = 4, rounds = 10;
    for (bool named : {false, true}) {
        std::string name = unique_name("pulse");
        HANDLE h = named ? create_event(name, true, false) : CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(h, nullptr);
        for (int round = 0; round < rounds; ++round) {
            std::atomic<long> tids[waiters] = {};
            DWORD results[waiters] = {};
            std::vector<std::thread> threads;
            for (int i = 0; i < waiters; ++i) {
                threads.emplace_back([&, i] {
                    tids[i] = syscall(SYS_gettid);
                    results[i] = WaitForSingleObject(h, 5000);
                });
            }
            for (auto& tid : tids) {
                while (tid == 0 || !blocked_in_poll(tid))
                    std::this_thread::yield();
            }
            SetEvent(h);
            ResetEvent(h);
            for (auto& t : threads)
                t.join();
            for (int i = 0; i < waiters; ++i)
                EXPECT_EQ(results[i], static_cast<DWORD>(WAIT_OBJECT_0))
                    << (named ? "named" : "unnamed") << ", round " << round;
            EXPECT_FALSE(signalled(h));
        }
        CloseHandle(h);
    }
}
#endif

}  // namespace
