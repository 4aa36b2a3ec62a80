// The process-wide handle table and the kernel-object base class that every winport service
// builds on. Internal to winport.
#ifndef WINPORT_SRC_HANDLES_H
#define WINPORT_SRC_HANDLES_H

#include <winport/base.h>

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>

namespace winport {

// Result of object::acquire() when another waiter consumed the signal between poll() and
// the acquisition; the wait then goes on.
constexpr DWORD wait_lost = 0xFFFFFFFEu;

// A kernel object. Handles refer to it through shared ownership, so that closing one handle
// while another thread waits on the object through a second handle is safe.
class object {
public:
    virtual ~object();

    // Called before a wait reads wait_fd(), for objects that make their descriptor only when
    // some thread first waits on them. False, with the last error set, when it cannot be made.
    virtual bool wait_prepare() { return true; }

    // The descriptor that poll() watches for this object, or -1 when the object cannot be
    // waited on together with others (it then waits on its own through wait_alone()).
    virtual int wait_fd() const { return -1; }
    virtual short wait_events() const { return POLLIN; }

    // Called once poll() found wait_fd() ready: takes the signal (WAIT_OBJECT_0 or
    // WAIT_ABANDONED) or reports wait_lost.
    virtual DWORD acquire() { return WAIT_OBJECT_0; }

    // For objects whose descriptor may wake a waiter after the signal is gone again (a
    // manual-reset event set and reset at once still releases every wait under way, in this
    // process or another): wait_begin() is called when a wait begins and gives a token,
    // acquire_since() may count a signal given after that moment even if it was reset since,
    // and wait_end() is called when the wait ends, however it ends.
    virtual std::uint64_t wait_begin() { return 0; }
    virtual DWORD acquire_since(std::uint64_t) { return acquire(); }
    virtual void wait_end(std::uint64_t) {}

    // For objects without a descriptor; the default refuses the wait.
    virtual DWORD wait_alone(DWORD milliseconds);

    virtual bool waitable() const { return wait_fd() >= 0; }
};

using object_ptr = std::shared_ptr<object>;

// What SetEvent and ResetEvent act on: unnamed and named events alike.
class event_object : public object {
public:
    // False with the last error set.
    virtual bool set() = 0;
    virtual void reset() = 0;
};

// Enters the object into the table. On failure returns null and sets the last error.
HANDLE handle_insert(object_ptr obj);

// The object behind a handle, or null with ERROR_INVALID_HANDLE set.
object_ptr handle_get(HANDLE h);

template <class T>
std::shared_ptr<T> handle_get_as(HANDLE h)
{
    object_ptr obj = handle_get(h);
    if (!obj)
        return nullptr;
    std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(obj);
    if (!typed)
        SetLastError(ERROR_INVALID_HANDLE);
    return typed;
}

// Removes the handle; the object goes when its last handle and last user are gone.
bool handle_remove(HANDLE h);

// Runs the fiber-local callbacks of the calling thread for every slot that holds a value, as
// a thread that ends does. Threads started by _beginthreadex run them before their handle is
// signalled, so that no callback of an unloadable module runs after a join.
void run_fls_callbacks();

// The Windows error code for the errno of a system call: the one mapping of winport's own
// calls (Windows Sockets keep their own codes).
DWORD error_from_errno(int err);

// The calling thread's kernel task identifier, unique on the machine while the thread lives;
// what GetCurrentThreadId returns.
pid_t current_tid();

// How many fork()s lie between this process and the first of its line: state kept under an
// older generation was made by a parent, whose locks and connections the child does not own.
unsigned fork_generation();

// The end of a wait of the given milliseconds; INFINITE never ends.
struct deadline {
    explicit deadline(DWORD milliseconds);
    // Remaining time as poll() wants it: -1 for no limit, never negative otherwise.
    int remaining_ms() const;
    bool infinite;
    long long end_ns;
};

}  // namespace winport

#endif
