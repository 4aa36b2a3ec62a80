// Threads started through the C run-time's entry, their handles and priorities.
#include "handles.h"

#include <winport/winport.h>

#include <atomic>
#include <cerrno>
#include <new>

#include <pthread.h>
#include <semaphore.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace winport {
namespace {

// A thread's handle: an eventfd that the thread writes as the very last thing it does in
// code that can be unloaded, i.e. once nothing but winport (which is never unloaded) and the
// system's thread exit are left on its stack.
class thread_object final : public object {
public:
    explicit thread_object(int fd) : fd_(fd) {}
    ~thread_object() override { close(fd_); }

    int wait_fd() const override { return fd_; }

    // What the thread did happens before the end of a wait for it: the exit code is stored
    // before the descriptor is written, and read here with acquire order.
    DWORD acquire() override
    {
        exit_code_.load(std::memory_order_acquire);
        return WAIT_OBJECT_0;
    }

    void finish(DWORD code)
    {
        exit_code_.store(code);
        std::uint64_t one = 1;
        while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    DWORD exit_code() const { return exit_code_.load(); }
    std::atomic<pid_t> tid{0};

private:
    int fd_;
    std::atomic<DWORD> exit_code_{STILL_ACTIVE};
};

// How _endthreadex leaves the thread's function on a thread of ours. Not pthread_exit():
// glibc loads its unwinder on the first pthread_exit() under the dynamic loader's lock, which
// a dlclose() that joins this thread from a module's destructor already holds.
struct thread_end {
    DWORD code;
};

struct start_record {
    std::shared_ptr<thread_object> thread;
    unsigned(WINAPI* start)(void*);
    void* arg;
    sem_t started;
};

// The winport thread that runs on this thread, if it was started by _beginthreadex.
thread_local thread_object* current_thread = nullptr;

void end_of_thread(const std::shared_ptr<thread_object>& thread, DWORD code)
{
    run_fls_callbacks();
    thread->finish(code);
}

void* thread_main(void* p)
{
    auto* record = static_cast<start_record*>(p);
    std::shared_ptr<thread_object> thread = record->thread;
    unsigned(WINAPI * start)(void*) = record->start;
    void* arg = record->arg;
    thread->tid.store(current_tid());
    sem_post(&record->started);  // the record belongs to the creator from here on
    current_thread = thread.get();
    DWORD code;
    try {
        code = start(arg);
    } catch (const thread_end& end) {
        code = end.code;
    }
    end_of_thread(thread, code);
    return nullptr;
}

bool is_current_thread_pseudo(HANDLE h)
{
    return h == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}

// The thread (kernel task) identifier behind a handle; 0 with the last error set if none.
pid_t tid_of(HANDLE h, std::shared_ptr<thread_object>* thread = nullptr)
{
    if (is_current_thread_pseudo(h))
        return current_tid();
    std::shared_ptr<thread_object> t = handle_get_as<thread_object>(h);
    if (!t)
        return 0;
    if (thread)
        *thread = t;
    return t->tid.load();
}

// Windows priorities as nice values; the normal priority is the process's own nice value.
struct priority_step {
    int priority;
    int nice_offset;
};
constexpr priority_step priority_steps[] = {
    {THREAD_PRIORITY_IDLE, 19},           {THREAD_PRIORITY_LOWEST, 10},       {THREAD_PRIORITY_BELOW_NORMAL, 5},
    {THREAD_PRIORITY_NORMAL, 0},          {THREAD_PRIORITY_ABOVE_NORMAL, -5}, {THREAD_PRIORITY_HIGHEST, -10},
    {THREAD_PRIORITY_TIME_CRITICAL, -20},
};

}  // namespace
}  // namespace winport

using namespace winport;

extern "C" {

std::uintptr_t __cdecl _beginthreadex(void*, unsigned stack_size, unsigned(WINAPI* start_address)(void*), void* arglist,
                                      unsigned initflag, unsigned* thrdaddr)
{
    if (!start_address || (initflag & CREATE_SUSPENDED)) {
        // Nothing here starts a thread suspended; resuming one is not provided.
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        SetLastError(error_from_errno(errno));
        errno = EAGAIN;
        return 0;
    }
    start_record record;
    try {
        record.thread = std::make_shared<thread_object>(fd);
    } catch (const std::bad_alloc&) {
        close(fd);
        errno = ENOMEM;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    HANDLE h = handle_insert(record.thread);
    if (!h) {
        errno = EAGAIN;
        return 0;
    }
    record.start = start_address;
    record.arg = arglist;
    sem_init(&record.started, 0, 0);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack_size)
        pthread_attr_setstacksize(&attr, stack_size < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stack_size);
    pthread_t pt;
    int rc = pthread_create(&pt, &attr, &thread_main, &record);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        sem_destroy(&record.started);
        handle_remove(h);
        errno = rc;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    while (sem_wait(&record.started) != 0 && errno == EINTR) {
    }
    sem_destroy(&record.started);
    if (thrdaddr)
        *thrdaddr = static_cast<unsigned>(record.thread->tid.load());
    return reinterpret_cast<std::uintptr_t>(h);
}

void __cdecl _endthreadex(unsigned retval)
{
    // Unwinds to the thread's entry, which reports the end once the frames are gone.
    if (current_thread)
        throw thread_end{retval};
    pthread_exit(nullptr);
}

HANDLE WINAPI GetCurrentThread(void)
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority)
{
    const priority_step* step = nullptr;
    for (const priority_step& s : priority_steps)
        if (s.priority == nPriority)
            step = &s;
    std::shared_ptr<thread_object> thread;
    pid_t tid = tid_of(hThread, &thread);
    if (tid == 0)
        return FALSE;
    if (!step) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (thread && thread->exit_code() != STILL_ACTIVE)
        return TRUE;
    errno = 0;
    int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (base == -1 && errno != 0)
        base = 0;
    int nice = base + step->nice_offset;
    nice = nice < -20 ? -20 : (nice > 19 ? 19 : nice);
    // Lowering is always permitted; raising may not be, and is then left undone.
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread)
{
    pid_t tid = tid_of(hThread);
    if (tid == 0)
        return THREAD_PRIORITY_ERROR_RETURN;
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (errno != 0)
        return THREAD_PRIORITY_NORMAL;
    int best = THREAD_PRIORITY_NORMAL, best_distance = 100;
    for (const priority_step& s : priority_steps) {
        int d = nice - base - s.nice_offset;
        d = d < 0 ? -d : d;
        if (d < best_distance) {
            best_distance = d;
            best = s.priority;
        }
    }
    return best;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    std::shared_ptr<thread_object> thread = handle_get_as<thread_object>(hThread);
    if (!thread)
        return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpExitCode = thread->exit_code();
    return TRUE;
}

}  // extern "C"
