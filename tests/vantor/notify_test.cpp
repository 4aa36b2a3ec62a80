// Active-user change notifications, within a process and across processes. The suite does
// not link the module: it loads it, as an application that loads it on demand does, so that
// unloading it is part of what is tested.
#include <winport/winport.h>

#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>
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

TEST(ActiveUserChanged, Signal_RunsTheCallbacksOfEveryWatchingProcess_InOrder_OncePerSignal)
{
    module m;
    // Each pass of a watcher waits in its last callback for the gate: no watcher can reset
    // the event before every watcher has been woken by it.
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, gate_name.c_str());
    const int passes = 3;
    std::vector<std::unique_ptr<vantor_test::child>> watchers;
    for (const char* label : {"p1", "p2"}) {
        watchers.push_back(std::make_unique<vantor_test::child>(
            "user_watcher", std::vector<std::string>{label, "ab", std::to_string(passes), gate_name}));
        expect_lines(*watchers.back(), {"ready"});
    }
    for (int pass = 0; pass < passes; ++pass) {
        m.signal();
        expect_lines(*watchers[0], {"p1 a", "p1 b"});
        expect_lines(*watchers[1], {"p2 a", "p2 b"});
        SetEvent(gate);
        for (auto& w : watchers)
            expect_lines(*w, {"done"});
        ResetEvent(gate);
    }
    SetEvent(gate);  // a pass too many would now run to its end and show
    for (auto& w : watchers) {
        std::string extra;
        EXPECT_FALSE(w->read_line(extra)) << extra;
        EXPECT_EQ(w->wait(), 0);
    }
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
