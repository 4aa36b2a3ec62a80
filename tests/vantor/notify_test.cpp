// Active-user change notifications, within a process and across processes. The suite does
// not link the module: it loads it, as an application that loads it on demand does, so that
// unloading it is part of what is tested.
#include <winport/winport.h>

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using callback_fn = void (*)(void*);

// The module is built by GCC for every target, so its functions have the same C++ names
// everywhere.
struct module {
    HMODULE handle = LoadLibraryA("vantor.dll");
    void (*reg)(callback_fn,
                void*) = lookup<void (*)(callback_fn, void*)>("_Z39vantorRegisterActiveUserChangedCallbackPFvPvES_");
    void (*unreg)(callback_fn, void*) =
        lookup<void (*)(callback_fn, void*)>("_Z41vantorUnregisterActiveUserChangedCallbackPFvPvES_");
    void (*signal)() = lookup<void (*)()>("_Z29vantorSignalActiveUserChangedv");
    ~module() { unload(); }
    void unload()
    {
        if (handle)
            FreeLibrary(handle);
        handle = nullptr;
    }
    template <class F>
    F lookup(const char* name)
    {
        FARPROC p = handle ? GetProcAddress(handle, name) : nullptr;
        EXPECT_NE(p, nullptr) << name << ", error " << GetLastError();
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
    }
};

struct tag {
    std::string name;
    bool ends_pass = false;
};

// What the callbacks saw: which context, on which thread.
struct recorder {
    std::mutex lock;
    std::vector<std::string> calls;
    DWORD thread = 0;
    HANDLE pass_over = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ~recorder() { CloseHandle(pass_over); }
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> hold(lock);
        return std::move(calls);
    }
} rec;

void record(void* context)
{
    auto* t = static_cast<tag*>(context);
    {
        std::lock_guard<std::mutex> hold(rec.lock);
        rec.calls.push_back(t->name);
        rec.thread = GetCurrentThreadId();
    }
    if (t->ends_pass)
        SetEvent(rec.pass_over);
}

void also_record(void* context)
{
    record(context);
}

tag removed_tag{"removed"}, added_tag{"added"};
module* changing_module = nullptr;

void change_list(void* context)
{
    record(context);
    changing_module->unreg(&record, &removed_tag);
    changing_module->reg(&record, &added_tag);
}

// Signals, then waits for the end of the pass: for its last callback, then for the watcher to
// release the callback-list lock (registering a listed entry changes nothing but takes that
// lock); what the callbacks saw.
std::vector<std::string> pass(module& m, tag& last)
{
    m.signal();
    EXPECT_EQ(WaitForSingleObject(rec.pass_over, 10000), WAIT_OBJECT_0);
    m.reg(&record, &last);
    return rec.take();
}

using names = std::vector<std::string>;

TEST(ActiveUserChanged, Callbacks_RunOnTheWatcherThread_InRegistrationOrder_EachEntryOnce_ListChangesFromTheNextPass)
{
    module m;
    tag one{"one"}, two{"two"}, last{"last", true};
    m.reg(&record, &one);
    m.reg(&record, &two);
    m.reg(&record, &one);       // listed already
    m.reg(&also_record, &one);  // another function: another entry
    m.unreg(&record, &last);    // not listed: nothing changes
    m.reg(&record, &last);
    EXPECT_EQ(pass(m, last), (names{"one", "two", "one", "last"}));
    EXPECT_NE(rec.thread, GetCurrentThreadId());
    m.unreg(&record, &two);
    EXPECT_EQ(pass(m, last), (names{"one", "one", "last"}));

    // A callback that changes the list during a pass: the change shows from the next pass.
    changing_module = &m;
    tag changer{"changer"};
    m.reg(&change_list, &changer);
    m.reg(&record, &removed_tag);
    EXPECT_EQ(pass(m, last), (names{"one", "one", "last", "changer", "removed"}));
    EXPECT_EQ(pass(m, last), (names{"one", "one", "last", "changer", "added"}));
}

// The first call of the callback below waits until the test has signalled once more.
std::atomic<int> held_calls{0};
HANDLE in_pass = CreateEventA(nullptr, TRUE, FALSE, nullptr);
HANDLE signalled_again = CreateEventA(nullptr, TRUE, FALSE, nullptr);
HANDLE second_pass = CreateEventA(nullptr, TRUE, FALSE, nullptr);

void hold_first_pass(void*)
{
    if (++held_calls > 1) {
        SetEvent(second_pass);
        return;
    }
    SetEvent(in_pass);
    WaitForSingleObject(signalled_again, INFINITE);
}

TEST(ActiveUserChanged, SignalWhileAPassRuns_CausesOneMorePass)
{
    held_calls = 0;
    for (HANDLE h : {in_pass, signalled_again, second_pass})
        ResetEvent(h);
    module m;
    m.reg(&hold_first_pass, nullptr);
    m.signal();
    ASSERT_EQ(WaitForSingleObject(in_pass, 10000), WAIT_OBJECT_0);
    m.signal();  // the change comes while the pass's callback runs
    SetEvent(signalled_again);
    EXPECT_EQ(WaitForSingleObject(second_pass, 10000), WAIT_OBJECT_0) << "the second change was lost";
    m.unreg(&hold_first_pass, nullptr);  // waits for the end of the pass
    EXPECT_EQ(held_calls, 2);
}

// A thread is still listed by the system for a moment after the end that its handle reports
// (it is then past all code of the process); nothing signals its removal, so this looks.
bool thread_count_settles_at(int expected)
{
    for (int i = 0; i < 5000; ++i) {
        if (vantor_test::thread_count() == expected)
            return true;
        Sleep(1);
    }
    return false;
}

TEST(ActiveUserChanged, UnloadWhileTheWatcherWaits_EndsIt_AndNoCallbackRunsAfterwards)
{
    // A thread started and ended first, so that the helper threads of a run-time (the thread
    // sanitizer starts one with the first thread) are counted in the baseline.
    std::thread([] {}).join();
    int threads_before = vantor_test::thread_count();
    tag gone{"gone"}, later{"later", true};
    {
        module m;
        m.reg(&record, &gone);
        EXPECT_EQ(vantor_test::thread_count(), threads_before + 1);
        m.unload();
        EXPECT_TRUE(thread_count_settles_at(threads_before));
    }
    // A signal now reaches only the watcher of a new load of the module.
    module again;
    again.reg(&record, &later);
    EXPECT_EQ(pass(again, later), names{"later"});
}

// --- across processes ---------------------------------------------------------------------

const std::string gate_name = "vantor-test-gate-" + std::to_string(GetCurrentProcessId());

void expect_lines(vantor_test::child& c, const std::vector<std::string>& expected)
{
    for (const std::string& e : expected) {
        std::string line;
        ASSERT_TRUE(c.read_line(line)) << "expected " << e;
        EXPECT_EQ(line, e);
    }
}

// One watching process: it alone resets the event, so a signal given while it is between two
// waits still finds it. (Watchers of several processes each reset the event as they wake; one
// that is not waiting at the moment of a set can miss it, as on Windows, so no test can give
// them a signal each and rely on it.)
TEST(ActiveUserChanged, SignalFromAnotherProcess_RunsTheWatchersCallbacks_InOrder_OncePerSignal)
{
    module m;
    // Each pass waits in its last callback for the gate, so that the test knows when it ends.
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, gate_name.c_str());
    const int passes = 3;
    vantor_test::child watcher("user_watcher", {"p1", "ab", std::to_string(passes), gate_name});
    expect_lines(watcher, {"ready"});
    for (int pass = 0; pass < passes; ++pass) {
        m.signal();
        expect_lines(watcher, {"p1 a", "p1 b"});
        SetEvent(gate);
        expect_lines(watcher, {"done"});
        ResetEvent(gate);
    }
    SetEvent(gate);  // a pass too many would now run to its end and show
    std::string extra;
    EXPECT_FALSE(watcher.read_line(extra)) << extra;
    EXPECT_EQ(watcher.wait(), 0);
    CloseHandle(gate);
}

TEST(ActiveUserChanged, SignalGivenWhileNoWatcherWaits_IsSeenByAWatcherStartedWhileItIsHeld)
{
    module m;
    m.signal();  // this process keeps the event, set, until it unloads the module
    HANDLE gate = CreateEventA(nullptr, TRUE, TRUE, gate_name.c_str());
    // One callback: the watcher, started by the first registration, may take the event before
    // a second registration, and its one pass would then miss that callback.
    vantor_test::child late("user_watcher", {"late", "a", "1", gate_name});
    expect_lines(late, {"ready", "late a", "done"});
    EXPECT_EQ(late.wait(), 0);
    CloseHandle(gate);
}

}  // namespace
