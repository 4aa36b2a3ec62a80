#include <ysl/orvane_lockable.h>
#include <ysl/ydiag.h>
#include <ysl/ythread_win32.h>

#include <map>
#include <new>

// The last error is read before a report is made: making one may change it.

namespace {

struct thread_list {
    orvane::ThreadMutex lock;
    std::map<YTHREAD_ID, HANDLE> threads;
};

// Made on first use and never destroyed: threads may be joined from static destructors. The
// first use is thread-safe, so two threads may make their first call at once.
thread_list& list()
{
    static thread_list* l = new thread_list;
    return *l;
}

struct start_record {
    YThreadFunction function;
    void* argument;
};

unsigned WINAPI thread_entry(void* p)
{
    auto* record = static_cast<start_record*>(p);
    DWORD code = record->function(record->argument);
    delete record;
    _endthreadex(code);
    return code;
}

bool duplicate(HANDLE h, HANDLE* copy)
{
    return DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), copy, 0, FALSE, DUPLICATE_SAME_ACCESS) != FALSE;
}

}  // namespace

YTHREAD_ID YThread_Create(YThreadFunction function, void* argument, int priority)
{
    thread_list& l = list();
    auto* record = new (std::nothrow) start_record{function, argument};
    unsigned id = 0;
    HANDLE h = nullptr;
    if (record)
        h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &thread_entry, record, 0, &id));
    if (!h) {
        DWORD error = GetLastError();
        YErrTrace("YThread_Create(): failed to create thread: %d", static_cast<int>(error));
        // The thread never ran, so the record is still ours.
        delete record;
        return YTHREAD_ID_NONE;
    }
    if (!SetThreadPriority(h, priority)) {
        DWORD error = GetLastError();
        YErrLog("YThread_Create(): failed to set thread priority: %d", static_cast<int>(error));
    }
    orvane::ScopedLock hold(l.lock);
    HANDLE& slot = l.threads[id];
    if (slot)
        CloseHandle(slot);  // an ended, never joined thread whose identifier came round again
    slot = h;
    return id;
}

int YThread_Join(YTHREAD_ID id)
{
    thread_list& l = list();
    HANDLE copy = nullptr;
    {
        orvane::ScopedLock hold(l.lock);
        auto it = l.threads.find(id);
        if (it == l.threads.end()) {
            YErrTrace("YThread_Join(): thread %d not in list", static_cast<int>(id));
            return 0;
        }
        if (!duplicate(it->second, &copy)) {
            DWORD error = GetLastError();
            YErrTrace("YThread_Join(): DuplicateHandle() failed: %d", static_cast<int>(error));
            return 0;
        }
    }
    // Waited on without the lock, so that other threads can start and join threads meanwhile.
    if (WaitForSingleObject(copy, INFINITE) == WAIT_FAILED) {
        DWORD error = GetLastError();
        YErrTrace("YThread_Join(): failed to join thread: %d", static_cast<int>(error));
        CloseHandle(copy);
        return 0;
    }
    if (!CloseHandle(copy)) {
        DWORD error = GetLastError();
        YErrTrace("YThread_Join(): failed to close handle of joined thread: %d", static_cast<int>(error));
        return 0;
    }
    HANDLE listed;
    {
        orvane::ScopedLock hold(l.lock);
        auto it = l.threads.find(id);
        if (it == l.threads.end())
            return 1;  // joined meanwhile by another thread
        listed = it->second;
        l.threads.erase(it);
    }
    if (!CloseHandle(listed)) {
        DWORD error = GetLastError();
        YErrTrace("YThread_Join(): failed to close handle of joined thread: %d", static_cast<int>(error));
        return 0;
    }
    return 1;
}

HANDLE YThread_DuplicateWindowsHandle(YTHREAD_ID id)
{
    thread_list& l = list();
    orvane::ScopedLock hold(l.lock);
    auto it = l.threads.find(id);
    if (it == l.threads.end())
        return INVALID_HANDLE_VALUE;
    HANDLE copy = nullptr;
    if (!duplicate(it->second, &copy)) {
        DWORD error = GetLastError();
        YErrTrace("%s(): DuplicateHandle() failed: %d", "YThread_DuplicateWindowsHandle", static_cast<int>(error));
        return INVALID_HANDLE_VALUE;
    }
    return copy;
}
