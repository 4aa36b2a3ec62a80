// Named events: a state page in the named-object directory and a socket per waiting process.
// This unit uses the system's own sockets (AF_UNIX), not the Windows ones.
#define WINPORT_SYSTEM_SOCKETS
#include "named_event.h"

#include "handles.h"
#include "manual_waits.h"
#include "named.h"

#include <winport/winport.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace winport {
namespace {

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

}  // namespace

HANDLE create_named_event(const char* name, bool manual, bool initial)
{
    return open_named<named_event>(name, [&](bool& created) -> std::shared_ptr<named_event> {
        named_open_result r = named_open(
            name, named_kind::event, sizeof(event_state), [&](void* page) { named_event::init(page, manual, initial); },
            &named_event::remove_waiters);
        if (!r.file)
            return nullptr;
        created = r.created;
        return std::make_shared<named_event>(std::move(r.file));
    });
}

}  // namespace winport
