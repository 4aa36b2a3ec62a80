// Socket events: an event bound to a socket by WSAEventSelect waits on an epoll descriptor
// that watches both the event's own signal (WSASetEvent) and the socket, so that it takes one
// slot in WaitForMultipleObjects beside every other kind of handle.
#include "handles.h"

#include <winport/winport.h>

#include <cerrno>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winport {
namespace {

class socket_event final : public event_object {
public:
    socket_event(int epfd, int signal) : epfd_(epfd), signal_(signal) {}
    ~socket_event() override
    {
        close(epfd_);
        close(signal_);
    }

    int wait_fd() const override { return epfd_; }

    // Manual reset: a wait does not take the signal.
    DWORD acquire() override { return WAIT_OBJECT_0; }

    bool set() override
    {
        std::uint64_t one = 1;
        return write(signal_, &one, sizeof one) == sizeof one || errno == EAGAIN;
    }

    void reset() override
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::uint64_t n;
        while (read(signal_, &n, sizeof n) > 0) {
        }
        // Writability is reported once: a reset while the socket is writable takes it.
        if (socket_ >= 0 && (watched_ & EPOLLOUT)) {
            pollfd p{socket_, POLLOUT, 0};
            if (poll(&p, 1, 0) > 0 && (p.revents & (POLLOUT | POLLERR | POLLHUP)))
                watch(watched_ & ~EPOLLOUT);
        }
    }

    void bind(SOCKET s, long events)
    {
        std::lock_guard<std::mutex> guard(lock_);
        unbind_locked();
        std::uint32_t mask = 0;
        if (events & (FD_READ | FD_ACCEPT))
            mask |= EPOLLIN;
        if (events & (FD_WRITE | FD_CONNECT))
            mask |= EPOLLOUT;
        socket_ = s;
        watched_ = 0;
        if (mask) {
            epoll_event ev{};
            ev.events = mask;
            ev.data.fd = s;
            if (epoll_ctl(epfd_, EPOLL_CTL_ADD, s, &ev) == 0)
                watched_ = mask;
        }
    }

    void unbind(SOCKET s)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (socket_ == s)
            unbind_locked();
    }

private:
    void unbind_locked()
    {
        // A socket closed meanwhile has left the epoll set by itself; the error is harmless.
        if (socket_ >= 0 && watched_)
            epoll_ctl(epfd_, EPOLL_CTL_DEL, socket_, nullptr);
        socket_ = -1;
        watched_ = 0;
    }

    void watch(std::uint32_t mask)
    {
        epoll_event ev{};
        ev.events = mask;
        ev.data.fd = socket_;
        if (mask == 0)
            epoll_ctl(epfd_, EPOLL_CTL_DEL, socket_, nullptr);
        else
            epoll_ctl(epfd_, EPOLL_CTL_MOD, socket_, &ev);
        watched_ = mask;
    }

    int epfd_;
    int signal_;
    std::mutex lock_;
    SOCKET socket_ = -1;
    std::uint32_t watched_ = 0;
};

// Which event each socket is bound to: a socket has one binding at a time.
std::mutex& bindings_lock()
{
    static auto* m = new std::mutex;
    return *m;
}

std::map<SOCKET, std::weak_ptr<socket_event>>& bindings()
{
    static auto* m = new std::map<SOCKET, std::weak_ptr<socket_event>>;
    return *m;
}

}  // namespace
}  // namespace winport

using namespace winport;

extern "C" {

WSAEVENT WINAPI WSACreateEvent(void)
{
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    int signal = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = signal;
    if (epfd < 0 || signal < 0 || epoll_ctl(epfd, EPOLL_CTL_ADD, signal, &ev) != 0) {
        if (epfd >= 0)
            close(epfd);
        if (signal >= 0)
            close(signal);
        WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
        return WSA_INVALID_EVENT;
    }
    HANDLE h = handle_insert(std::make_shared<socket_event>(epfd, signal));
    if (!h)
        WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
    return h;
}

BOOL WINAPI WSACloseEvent(WSAEVENT hEvent)
{
    return CloseHandle(hEvent);
}

BOOL WINAPI WSASetEvent(WSAEVENT hEvent)
{
    return SetEvent(hEvent);
}

BOOL WINAPI WSAResetEvent(WSAEVENT hEvent)
{
    return ResetEvent(hEvent);
}

int WINAPI WSAEventSelect(SOCKET s, WSAEVENT hEventObject, long lNetworkEvents)
{
    struct stat st;
    if (s < 0 || fstat(s, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    std::shared_ptr<socket_event> ev = handle_get_as<socket_event>(hEventObject);
    if (!ev && lNetworkEvents != 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    int flags = fcntl(s, F_GETFL);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    std::lock_guard<std::mutex> guard(bindings_lock());
    auto it = bindings().find(s);
    if (it != bindings().end()) {
        if (std::shared_ptr<socket_event> old = it->second.lock())
            old->unbind(s);
        bindings().erase(it);
    }
    if (lNetworkEvents != 0) {
        ev->bind(s, lNetworkEvents);
        bindings()[s] = ev;
    }
    return 0;
}

}  // extern "C"
