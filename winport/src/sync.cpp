// Critical sections, events and mutexes.
// This unit uses the system's own sockets (AF_UNIX), not the Windows ones.
#define WINPORT_SYSTEM_SOCKETS
#include "handles.h"
#include "named.h"

#include <winport/winport.h>

#include <cerrno>
#include <cstdint>
#include <new>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace winport {
namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque_), "CRITICAL_SECTION too small");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION misaligned");

pthread_mutex_t* mutex_of(LPCRITICAL_SECTION cs)
{
    return reinterpret_cast<pthread_mutex_t*>(cs->opaque_);
}

// The waits of this process under way on one manual-reset event, each by the count of sets
// at its start. A set's wake-up is left readable while a wait that began before the set is
// still under way: poll() looks at a descriptor again before it returns, so a waiter that has
// not run yet would sleep on if another emptied it first, and miss a set that was reset at
// once.
class manual_waits {
public:
    void begin(std::uint64_t token)
    {
        std::lock_guard<std::mutex> hold(lock_);
        tokens_.push_back(token);
    }

    void end(std::uint64_t token)
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto it = tokens_.begin(); it != tokens_.end(); ++it) {
            if (*it == token) {
                tokens_.erase(it);
                return;
            }
        }
    }

    // Whether a wait other than the caller's began before the last of `sets` sets.
    bool others_behind(std::uint64_t mine, std::uint64_t sets)
    {
        std::lock_guard<std::mutex> hold(lock_);
        bool skipped = false;
        for (std::uint64_t t : tokens_) {
            if (t == mine && !skipped)
                skipped = true;
            else if (t < sets)
                return true;
        }
        return false;
    }

    // What a wait of a manual-reset event takes when poll() found its descriptor readable.
    // The event reads `signalled` and `sets`; `drain` empties the descriptor and `wake` makes
    // it readable again.
    template <class Signalled, class Sets, class Drain, class Wake>
    DWORD acquire(std::uint64_t token, Signalled signalled, Sets sets, Drain drain, Wake wake)
    {
        if (signalled())
            return WAIT_OBJECT_0;
        bool behind = others_behind(token, sets());
        if (!behind) {
            // Emptied first: a set after this point makes it readable again.
            drain();
            // Set meanwhile, or set and reset with another wait behind: keep it readable.
            if (signalled()) {
                wake();
                return WAIT_OBJECT_0;
            }
            if (others_behind(token, sets()))
                wake();
        }
        if (sets() != token)
            return WAIT_OBJECT_0;
        // Nothing for this wait: the wake-up is another's, which has still to run.
        if (behind)
            sched_yield();
        return wait_lost;
    }

private:
    std::mutex lock_;
    std::vector<std::uint64_t> tokens_;
};

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

// A named event. Its state (set or not, the reset type, and a count of the sets) is a page of
// the named-object directory that every process holding the event maps; each process that
// has waited on it also has a datagram socket in the event's waiter directory, which a set
// writes to. The sockets are listed in a table in the page, so that a set sends its wake-ups
// without reading the directory; only waiters beyond the table's size are found by reading
// it. A set thus wakes every process that waits at that moment on a descriptor of its
// own, and a manual-reset event that another process resets at once still releases those
// waits, as Windows releases every waiter of a set. (One shared FIFO would not: a waiter that
// had not yet run when the FIFO was drained again would sleep on.)
//
// The socket is made by the first wait, not by the open: most holders only open an event to
// set it, and a socket with its directory entry is most of the cost of such an open. A wait
// lists its socket before it reads the count of sets, so a set that the wait must see either
// finds the socket or, made before the socket was listed, has left the state set.
constexpr std::size_t waiter_slots = 64;

struct event_state {
    std::uint32_t kind;
    std::uint32_t manual_reset;
    std::atomic<std::uint32_t> signalled;
    std::atomic<std::uint32_t> unlisted;  // sockets in the directory but not in the table
    std::atomic<std::uint64_t> sets;
    // A socket as process identifier << 32 | serial, named "pid.serial"; 0 for a free slot.
    std::atomic<std::uint64_t> waiters[waiter_slots];
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the event state must be lock-free");
static_assert(sizeof(event_state) <= 4096, "the event state must fit its page");

std::string waiter_name(std::uint64_t entry)
{
    return std::to_string(entry >> 32) + "." + std::to_string(entry & 0xFFFFFFFFu);
}

std::atomic<unsigned> socket_serial{0};

// A directory entry as getdents64 gives it.
struct linux_dirent64 {
    std::uint64_t d_ino;
    std::int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

class named_event final : public event_object {
public:
    explicit named_event(std::unique_ptr<named_file> file)
        : file_(std::move(file)), waiters_path_(file_->dir() + "/" + file_->file() + ".w")
    {
        state_ = static_cast<event_state*>(file_->page());
        // A socket's address is the directory and a name of at most 21 bytes ("pid.serial").
        long_path_ = waiters_path_.size() + 22 >= sizeof(sockaddr_un::sun_path);
    }

    ~named_event() override
    {
        if (own_.load() >= 0) {
            std::uint64_t mine = own_entry_;
            if (own_slot_ < waiter_slots)
                state_->waiters[own_slot_].compare_exchange_strong(mine, 0);
            else
                state_->unlisted.fetch_sub(1);
            unlinkat(waiters_fd_.load(), own_name_.c_str(), 0);
        }
        for (int fd : {own_.load(), waiters_fd_.load()})
            if (fd >= 0)
                close(fd);
    }

    bool waitable() const override { return true; }

    bool wait_prepare() override { return own_.load() >= 0 || listen(); }

    int wait_fd() const override { return own_.load(); }

    std::uint64_t wait_begin() override
    {
        std::uint64_t token = state_->sets.load();
        if (state_->manual_reset)
            waits_.begin(token);
        return token;
    }

    void wait_end(std::uint64_t token) override
    {
        if (state_->manual_reset)
            waits_.end(token);
    }

    DWORD acquire_since(std::uint64_t token) override
    {
        if (state_->manual_reset) {
            // While set, the wake-ups stay queued, so every later wait of any thread of the
            // process also finds it set without a system call.
            return waits_.acquire(
                token, [this] { return state_->signalled.load() != 0; }, [this] { return state_->sets.load(); },
                [this] { drain(); }, [this] { notify(own_name_.c_str()); });
        }
        drain();
        std::uint32_t set = 1;
        return state_->signalled.compare_exchange_strong(set, 0) ? WAIT_OBJECT_0 : wait_lost;
    }

    DWORD acquire() override { return acquire_since(state_->sets.load()); }

    bool set() override
    {
        state_->signalled.store(1);
        state_->sets.fetch_add(1);
        if (long_path_ && waiters_fd_.load() < 0) {
            std::lock_guard<std::mutex> hold(lock_);
            if (!open_waiters(false))
                return errno == ENOENT || fail();
        }
        for (std::size_t i = 0; i < waiter_slots; ++i) {
            std::uint64_t entry = state_->waiters[i].load();
            if (entry == 0)
                continue;
            std::string name = waiter_name(entry);
            // A socket nobody reads is left by a process that was killed.
            if (!notify(name.c_str()) && (errno == ECONNREFUSED || errno == ENOENT) &&
                state_->waiters[i].compare_exchange_strong(entry, 0))
                unlink((waiters_path_ + "/" + name).c_str());
        }
        if (state_->unlisted.load() == 0)
            return true;
        // The directory is read through the descriptor kept open, two system calls for a
        // handful of waiters; the lock keeps the descriptor's offset to one reader. The
        // sockets of the table are woken twice, which a wait takes as one wake-up.
        std::lock_guard<std::mutex> hold(lock_);
        int dir = waiters_fd_.load();
        if (dir < 0) {
            if (!open_waiters(false))
                return errno == ENOENT || fail();
            dir = waiters_fd_.load();
        } else if (lseek(dir, 0, SEEK_SET) != 0) {
            return fail();
        }
        alignas(8) char buf[4096];
        for (;;) {
            long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
            if (n <= 0)
                break;
            for (long at = 0; at < n;) {
                auto* entry = reinterpret_cast<linux_dirent64*>(buf + at);
                at += entry->d_reclen;
                if (entry->d_name[0] == '.')
                    continue;
                if (!notify(entry->d_name) && (errno == ECONNREFUSED || errno == ENOENT))
                    unlinkat(dir, entry->d_name, 0);
            }
        }
        return true;
    }

    void reset() override { state_->signalled.store(0); }

    static void init(void* page, bool manual_reset, bool initial)
    {
        auto* st = static_cast<event_state*>(page);
        st->manual_reset = manual_reset ? 1 : 0;
        st->signalled.store(initial ? 1 : 0);
        st->sets.store(0);
    }

    // Removes the waiter directory with the object.
    static void remove_waiters(int dirfd, const std::string& file)
    {
        std::string name = file + ".w";
        int wfd = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (DIR* dir = wfd >= 0 ? fdopendir(wfd) : nullptr) {
            while (dirent* entry = readdir(dir))
                if (entry->d_name[0] != '.')
                    unlinkat(wfd, entry->d_name, 0);
            closedir(dir);
        } else if (wfd >= 0) {
            close(wfd);
        }
        unlinkat(dirfd, name.c_str(), AT_REMOVEDIR);
    }

private:
    bool fail()
    {
        SetLastError(
            static_cast<DWORD>(errno == EMFILE || errno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES : ERROR_ACCESS_DENIED));
        return false;
    }

    // Opens the waiter directory, made first when `make`; with the lock held. False with errno
    // set when it cannot be had.
    bool open_waiters(bool make)
    {
        if (waiters_fd_.load() >= 0)
            return true;
        if (make && mkdir(waiters_path_.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        int fd = open(waiters_path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return false;
        waiters_fd_.store(fd);
        return true;
    }

    // Lists this process's socket in the waiter directory, for the first wait of any thread.
    bool listen()
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (own_.load() >= 0)
            return true;
        if (!open_waiters(true))
            return fail();
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return fail();
        own_entry_ = static_cast<std::uint64_t>(getpid()) << 32 | socket_serial.fetch_add(1);
        own_name_ = waiter_name(own_entry_);
        // A socket of this name is one that a killed process of the same identifier left.
        unlinkat(waiters_fd_.load(), own_name_.c_str(), 0);
        sockaddr_un addr;
        socklen_t len;
        if (!address(own_name_.c_str(), addr, len) || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
            int error = errno;
            close(fd);
            errno = error;
            return fail();
        }
        own_slot_ = waiter_slots;
        for (std::size_t i = 0; i < waiter_slots && own_slot_ == waiter_slots; ++i) {
            std::uint64_t free = 0;
            if (state_->waiters[i].compare_exchange_strong(free, own_entry_))
                own_slot_ = i;
        }
        if (own_slot_ == waiter_slots)
            state_->unlisted.fetch_add(1);
        // A set made before the socket was listed has left the state set.
        if (state_->signalled.load())
            notify(own_name_.c_str());
        own_.store(fd);
        return true;
    }

    // Socket addresses are short: a waiter directory whose path is too long for one is reached
    // through this process's descriptor of it, which costs a walk through /proc at every send.
    bool address(const char* name, sockaddr_un& addr, socklen_t& len) const
    {
        std::memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        int n = std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/%s", waiters_path_.c_str(), name);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof addr.sun_path)
            n = std::snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/%s", waiters_fd_.load(), name);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof addr.sun_path) {
            errno = ENAMETOOLONG;
            return false;
        }
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + static_cast<std::size_t>(n) + 1);
        return true;
    }

    // The socket this process sends every wake-up from, made at its first send: holders that
    // open an event only to set it would otherwise pay for a socket at every set.
    static int sender()
    {
        static std::atomic<int> shared{-1};
        int fd = shared.load();
        if (fd >= 0)
            return fd;
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int none = -1;
        if (fd >= 0 && !shared.compare_exchange_strong(none, fd)) {
            close(fd);
            fd = none;
        }
        return fd;
    }

    // A send fails with EAGAIN for two causes: the waiter's queue is full of wake-ups
    // already, and nothing is lost; or the wake-ups this process sent before, still queued at
    // holders that no longer wait, use up the buffer of the sending socket, and this one never
    // left. A socket that has sent nothing yet tells which.
    bool notify(const char* name)
    {
        sockaddr_un addr;
        socklen_t len;
        int from = sender();
        if (from < 0 || !address(name, addr, len))
            return false;
        int error = send_wake(from, addr, len);
        if (error == EAGAIN) {
            int fresh = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fresh < 0)
                return false;
            error = send_wake(fresh, addr, len);
            close(fresh);  // what it sent stays queued
        }
        if (error == 0 || error == EAGAIN)
            return true;
        errno = error;
        return false;
    }

    // 0 or the errno of the send.
    static int send_wake(int fd, const sockaddr_un& addr, socklen_t len)
    {
        char byte = 1;
        for (;;) {
            if (sendto(fd, &byte, 1, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&addr), len) == 1)
                return 0;
            if (errno != EINTR)
                return errno;
        }
    }

    // Takes every queued wake-up. One recvmmsg() takes the usual handful and finds the queue
    // empty in the same call; recv() takes one a call and needs one more to see it empty, on
    // the way from the wake-up to the waiter's return.
    void drain()
    {
        constexpr unsigned batch = 16;
        char bytes[batch];
        iovec iov[batch];
        mmsghdr msgs[batch];
        for (unsigned i = 0; i < batch; ++i) {
            iov[i] = {&bytes[i], 1};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        for (;;) {
            int n = recvmmsg(own_.load(), msgs, batch, MSG_DONTWAIT, nullptr);
            if (n != static_cast<int>(batch) && (n >= 0 || errno != EINTR))
                return;
        }
    }

    std::unique_ptr<named_file> file_;
    std::string waiters_path_;
    bool long_path_;  // a socket is reached through the directory's descriptor, not its path
    event_state* state_ = nullptr;
    // Made once each, under lock_, and read without it afterwards.
    std::atomic<int> waiters_fd_{-1};
    std::atomic<int> own_{-1};
    std::string own_name_;
    std::uint64_t own_entry_ = 0;
    std::size_t own_slot_ = waiter_slots;  // its slot in the table, or waiter_slots for none
    // Guards the making of the descriptors and the offset of waiters_fd_.
    std::mutex lock_;
    manual_waits waits_;
};

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
            // On the monotonic clock, as every other wait: a step of the wall clock neither
            // shortens nor lengthens it.
            timespec until;
            clock_gettime(CLOCK_MONOTONIC, &until);
            until.tv_sec += static_cast<time_t>(milliseconds / 1000);
            until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
            if (until.tv_nsec >= 1000000000L) {
                until.tv_sec += 1;
                until.tv_nsec -= 1000000000L;
            }
            rc = pthread_mutex_clocklock(&state_->mutex, CLOCK_MONOTONIC, &until);
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
        if (abandoned || state_->owner.load() != current_tid()) {
            state_->owner.store(current_tid());
            state_->depth = 1;
        } else {
            ++state_->depth;
        }
    }

    std::unique_ptr<named_file> file_;
    mutex_state* state_;
};

HANDLE insert_new(object_ptr obj, DWORD error)
{
    HANDLE h = handle_insert(std::move(obj));
    if (h)
        SetLastError(error);
    return h;
}

// Opens the named object of type T that the process already holds, or opens or makes it
// through make(name) which returns the object and whether it was created.
template <class T, class Make>
HANDLE open_named(const char* name, Make make)
{
    std::lock_guard<std::mutex> guard(named_cache_lock());
    if (object_ptr held = named_cache_find(name)) {
        if (!std::dynamic_pointer_cast<T>(held)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return insert_new(std::move(held), ERROR_ALREADY_EXISTS);
    }
    bool created = false;
    std::shared_ptr<T> obj;
    try {
        obj = make(created);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!obj)
        return nullptr;
    named_cache_put(name, obj);
    return insert_new(std::move(obj), created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
}

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
        return open_named<named_event>(lpName, [&](bool& created) -> std::shared_ptr<named_event> {
            bool manual = bManualReset != FALSE, initial = bInitialState != FALSE;
            named_open_result r = named_open(
                lpName, named_kind::event, sizeof(event_state),
                [&](void* page) { named_event::init(page, manual, initial); }, &named_event::remove_waiters);
            if (!r.file)
                return nullptr;
            created = r.created;
            return std::make_shared<named_event>(std::move(r.file));
        });
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
    HANDLE h = handle_insert(std::move(ev));
    if (h)
        SetLastError(ERROR_SUCCESS);
    return h;
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
