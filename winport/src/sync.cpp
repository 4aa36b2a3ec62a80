// Critical sections and unnamed events.
#include "handles.h"

#include <winport/winport.h>

#include <cerrno>
#include <cstdint>
#include <new>

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace winport {
namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque_), "CRITICAL_SECTION too small");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION misaligned");

pthread_mutex_t* mutex_of(LPCRITICAL_SECTION cs)
{
    return reinterpret_cast<pthread_mutex_t*>(cs->opaque_);
}

// An unnamed event is an eventfd: readable while the counter is above zero, that is while
// the event is set. Reading the counter resets it in one step, which is what consumes an
// auto-reset event for exactly one waiter.
class unnamed_event final : public event_object {
public:
    unnamed_event(int fd, bool manual_reset) : fd_(fd), manual_reset_(manual_reset) {}
    ~unnamed_event() override { close(fd_); }

    int wait_fd() const override { return fd_; }

    DWORD acquire() override
    {
        if (manual_reset_)
            return WAIT_OBJECT_0;
        std::uint64_t count;
        return read(fd_, &count, sizeof count) == sizeof count ? WAIT_OBJECT_0 : wait_lost;
    }

    bool set() override
    {
        std::uint64_t one = 1;
        for (;;) {
            if (write(fd_, &one, sizeof one) == sizeof one)
                return true;
            // A counter this close to its limit means the event is set anyway.
            if (errno == EAGAIN)
                return true;
            if (errno != EINTR)
                return false;
        }
    }

    void reset() override
    {
        std::uint64_t count;
        while (read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }

private:
    int fd_;
    bool manual_reset_;
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
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    int fd = eventfd(bInitialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        SetLastError(errno == EMFILE || errno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::shared_ptr<unnamed_event> ev;
    try {
        ev = std::make_shared<unnamed_event>(fd, bManualReset != FALSE);
    } catch (const std::bad_alloc&) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE h = handle_insert(std::move(ev));
    if (h)
        SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    std::shared_ptr<event_object> ev = handle_get_as<event_object>(hEvent);
    if (!ev)
        return FALSE;
    if (!ev->set()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
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
