// Critical sections, unnamed events and mutexes; named events are in named_event.cpp.
#include "handles.h"
#include "manual_waits.h"
#include "named.h"
#include "named_event.h"

#include <winport/winport.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace winport {
namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque_), "CRITICAL_SECTION too small");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION misaligned");

pthread_mutex_t* mutex_of(LPCRITICAL_SECTION cs)
{
    return reinterpret_cast<pthread_mutex_t*>(cs->opaque_);
}

// An unnamed event is an eventfd. Auto-reset: readable while the counter is above zero, that
// is while the event is set, and reading the counter resets it in one step, which is what
// consumes the event for exactly one waiter. Manual-reset: the state is kept beside it, and
// the counter is only a wake-up, emptied by the waits as manual_waits says.
class unnamed_event final : public event_object {
public:
    unnamed_event(int fd, bool manual_reset, bool initial) : fd_(fd), manual_reset_(manual_reset)
    {
        signalled_.store(initial ? 1 : 0);
    }
    ~unnamed_event() override { close(fd_); }

    int wait_fd() const override { return fd_; }

    std::uint64_t wait_begin() override
    {
        if (!manual_reset_)
            return 0;
        std::uint64_t token = sets_.load();
        waits_.begin(token);
        return token;
    }

    void wait_end(std::uint64_t token) override
    {
        if (manual_reset_)
            waits_.end(token);
    }

    DWORD acquire_since(std::uint64_t token) override
    {
        if (!manual_reset_)
            return acquire();
        return waits_.acquire(
            token, [this] { return signalled_.load() != 0; }, [this] { return sets_.load(); }, [this] { drain(); },
            [this] { wake(); });
    }

    DWORD acquire() override
    {
        if (manual_reset_)
            return signalled_.load() ? WAIT_OBJECT_0 : wait_lost;
        std::uint64_t count;
        return read(fd_, &count, sizeof count) == sizeof count ? WAIT_OBJECT_0 : wait_lost;
    }

    bool set() override
    {
        if (manual_reset_) {
            signalled_.store(1);
            sets_.fetch_add(1);
        }
        return wake();
    }

    void reset() override
    {
        if (manual_reset_)
            signalled_.store(0);
        else
            drain();
    }

private:
    bool wake()
    {
        std::uint64_t one = 1;
        for (;;) {
            if (write(fd_, &one, sizeof one) == sizeof one)
                return true;
            // A counter this close to its limit means a wake-up is there anyway.
            if (errno == EAGAIN)
                return true;
            if (errno != EINTR) {
                SetLastError(ERROR_INVALID_HANDLE);
                return false;
            }
        }
    }

    void drain()
    {
        std::uint64_t count;
        while (read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }

    int fd_;
    bool manual_reset_;
    std::atomic<std::uint32_t> signalled_{0};
    std::atomic<std::uint64_t> sets_{0};
    manual_waits waits_;
};

// Takes a mutex that was busy a moment ago, waiting at most `milliseconds` on the monotonic
// clock as every other wait does: a step of the wall clock neither shortens nor lengthens it.
int timed_lock(pthread_mutex_t* m, DWORD milliseconds)
{
    const deadline end(milliseconds);
    const timespec until{static_cast<time_t>(end.end_ns / 1000000000LL), static_cast<long>(end.end_ns % 1000000000LL)};
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer's run-time watches every other way of taking a mutex but not this
    // one, so it is told of it as of a try-lock. (An owner in this process that ends during
    // the wait stays the owner in the sanitizer's eyes.)
    __tsan_mutex_pre_lock(m, __tsan_mutex_try_lock);
    int rc = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &until);
    __tsan_mutex_post_lock(
        m, rc == 0 || rc == EOWNERDEAD ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed,
        0);
    return rc;
#else
    return pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &until);
#endif
}

// A mutex is a process-shared, robust, recursive pthread mutex: shared so that a named one
// lives in the page that every holding process maps; robust so that the system hands it to
// the next waiter, marked, when its owner thread or process ends without releasing it, which
// is Windows' abandoned mutex; recursive because the owner may wait on it again.
struct mutex_state {
    std::uint32_t kind;
    std::uint32_t reserved;
    pthread_mutex_t mutex;
    // The owner's thread (kernel task) identifier, unique on the machine, and its count of
    // takes: a release by another thread is refused here rather than left to the system.
    std::atomic<std::int32_t> owner;
    std::uint32_t depth;  // touched by the owner only
};

class mutex_object final : public object {
public:
    // Named: the state lives in the named file. Unnamed: in memory of its own.
    explicit mutex_object(std::unique_ptr<named_file> file) : file_(std::move(file))
    {
        state_ = file_ ? static_cast<mutex_state*>(file_->page()) : new mutex_state{};
        if (!file_)
            init(state_);
    }
    ~mutex_object() override
    {
        if (!file_) {
            pthread_mutex_destroy(&state_->mutex);
            delete state_;
        }
    }

    static void init(void* page)
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&static_cast<mutex_state*>(page)->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }

    DWORD wait_alone(DWORD milliseconds) override
    {
        int rc;
        if (milliseconds == 0) {
            rc = pthread_mutex_trylock(&state_->mutex);
        } else if (milliseconds == INFINITE) {
            rc = pthread_mutex_lock(&state_->mutex);
        } else {
            rc = pthread_mutex_trylock(&state_->mutex);
            if (rc == EBUSY)
                rc = timed_lock(&state_->mutex, milliseconds);
        }
        switch (rc) {
        case 0:
            taken(false);
            return WAIT_OBJECT_0;
        case EOWNERDEAD:
            pthread_mutex_consistent(&state_->mutex);
            taken(true);
            return WAIT_ABANDONED;
        case EBUSY:
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        default:
            SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }

    bool release()
    {
        if (state_->owner.load() != current_tid()) {
            SetLastError(ERROR_NOT_OWNER);
            return false;
        }
        if (--state_->depth == 0)
            state_->owner.store(0);
        int rc = pthread_mutex_unlock(&state_->mutex);
        if (rc != 0)
            SetLastError(ERROR_INVALID_HANDLE);
        return rc == 0;
    }

private:
    // The previous owner's count went with it when it ended without releasing.
    void taken(bool abandoned)
    {
        const pid_t me = current_tid();
        if (abandoned || state_->owner.load() != me) {
            state_->owner.store(me);
            state_->depth = 1;
        } else {
            ++state_->depth;
        }
    }

    std::unique_ptr<named_file> file_;
    mutex_state* state_;
};

}  // namespace
}  // namespace winport

using namespace winport;

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (lpCriticalSection->opaque_) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_destroy(mutex_of(lpCriticalSection));
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_lock(mutex_of(lpCriticalSection));
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    return pthread_mutex_trylock(mutex_of(lpCriticalSection)) == 0 ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_unlock(mutex_of(lpCriticalSection));
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    if (lpName && *lpName) {
        return create_named_event(lpName, bManualReset != FALSE, bInitialState != FALSE);
    }
    int fd = eventfd(bInitialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        SetLastError(error_from_errno(errno));
        return nullptr;
    }
    std::shared_ptr<unnamed_event> ev;
    try {
        ev = std::make_shared<unnamed_event>(fd, bManualReset != FALSE, bInitialState != FALSE);
    } catch (const std::bad_alloc&) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return insert_new(std::move(ev), ERROR_SUCCESS);
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName)
{
    HANDLE h;
    if (lpName && *lpName) {
        h = open_named<mutex_object>(lpName, [&](bool& created) -> std::shared_ptr<mutex_object> {
            named_open_result r = named_open(lpName, named_kind::mutex, sizeof(mutex_state), &mutex_object::init);
            if (!r.file)
                return nullptr;
            created = r.created;
            return std::make_shared<mutex_object>(std::move(r.file));
        });
    } else {
        try {
            h = insert_new(std::make_shared<mutex_object>(nullptr), ERROR_SUCCESS);
        } catch (const std::bad_alloc&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            h = nullptr;
        }
    }
    // Only the creator takes it at once; an opener that asked for it does not own it.
    if (h && bInitialOwner && GetLastError() == ERROR_SUCCESS)
        handle_get_as<mutex_object>(h)->wait_alone(INFINITE);
    return h;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    std::shared_ptr<mutex_object> m = handle_get_as<mutex_object>(hMutex);
    return m && m->release() ? TRUE : FALSE;
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    std::shared_ptr<event_object> ev = handle_get_as<event_object>(hEvent);
    if (!ev)
        return FALSE;
    return ev->set() ? TRUE : FALSE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    std::shared_ptr<event_object> ev = handle_get_as<event_object>(hEvent);
    if (!ev)
        return FALSE;
    ev->reset();
    return TRUE;
}

}  // extern "C"
