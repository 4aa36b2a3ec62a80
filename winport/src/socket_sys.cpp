// The system's side of winport's Windows Sockets: see socket_sys.h.
#include "socket_sys.h"
#include "socket_names.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace winport {
namespace sys {

const int families[] = {WINPORT_SOCKET_FAMILIES(WINPORT_NAME_VALUE)};
const int types[] = {WINPORT_SOCKET_TYPES(WINPORT_NAME_VALUE)};
const int int_option_levels[] = {WINPORT_SOCKET_INT_OPTIONS(WINPORT_OPTION_LEVEL)};
const int int_option_names[] = {WINPORT_SOCKET_INT_OPTIONS(WINPORT_OPTION_NAME)};
const int special_option_levels[] = {WINPORT_SOCKET_SPECIAL_OPTIONS(WINPORT_OPTION_LEVEL)};
const int special_option_names[] = {WINPORT_SOCKET_SPECIAL_OPTIONS(WINPORT_OPTION_NAME)};
const int message_flags[] = {WINPORT_SOCKET_MESSAGE_FLAGS(WINPORT_NAME_VALUE)};
const int addrinfo_flags[] = {WINPORT_ADDRINFO_FLAGS(WINPORT_NAME_VALUE)};
const int addrinfo_errors[] = {WINPORT_ADDRINFO_ERRORS(WINPORT_NAME_VALUE)};
const int addrinfo_system_error = EAI_SYSTEM;
const int addrinfo_no_data[2] = {EAI_NODATA, EAI_ADDRFAMILY};

namespace {

template <class Call>
auto retry(Call call) -> decltype(call())
{
    decltype(call()) rc;
    do {
        rc = call();
    } while (rc < 0 && errno == EINTR);
    return rc;
}

}  // namespace

int socket(int family, int type, int protocol)
{
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int close(int fd)
{
    // Linux releases the descriptor even when close is interrupted; retrying could close a
    // descriptor that another thread has just been given.
    int rc = ::close(fd);
    return rc < 0 && errno == EINTR ? 0 : rc;
}

int shutdown(int fd, int how)
{
    return ::shutdown(fd, how);
}

int bind(int fd, const void* addr, unsigned len)
{
    return ::bind(fd, static_cast<const sockaddr*>(addr), len);
}

int listen(int fd, int backlog)
{
    return ::listen(fd, backlog);
}

int accept(int fd, void* addr, unsigned* len)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    socklen_t n = len ? *len : 0;
    int rc = retry([&] {
        return ::accept4(fd, static_cast<sockaddr*>(addr), addr ? &n : nullptr,
                         SOCK_CLOEXEC | ((flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0));
    });
    if (rc >= 0 && len)
        *len = n;
    return rc;
}

int connect(int fd, const void* addr, unsigned len)
{
    if (::connect(fd, static_cast<const sockaddr*>(addr), len) == 0)
        return 0;
    if (errno != EINTR)
        return -1;
    // The attempt goes on in the background; calling connect again would fail with EALREADY.
    pollfd p{fd, POLLOUT, 0};
    if (retry([&] { return ::poll(&p, 1, -1); }) < 0)
        return -1;
    int error = 0;
    socklen_t n = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &n) < 0)
        return -1;
    if (error == 0)
        return 0;
    errno = error;
    return -1;
}

int getsockname(int fd, void* addr, unsigned* len)
{
    socklen_t n = *len;
    int rc = ::getsockname(fd, static_cast<sockaddr*>(addr), &n);
    *len = n;
    return rc;
}

int getpeername(int fd, void* addr, unsigned* len)
{
    socklen_t n = *len;
    int rc = ::getpeername(fd, static_cast<sockaddr*>(addr), &n);
    *len = n;
    return rc;
}

ssize_t recvfrom(int fd, void* buf, std::size_t len, int flags, void* addr, unsigned* addrlen)
{
    socklen_t n = addrlen ? *addrlen : 0;
    ssize_t rc =
        retry([&] { return ::recvfrom(fd, buf, len, flags, static_cast<sockaddr*>(addr), addr ? &n : nullptr); });
    if (rc >= 0 && addrlen)
        *addrlen = n;
    return rc;
}

ssize_t sendto(int fd, const void* buf, std::size_t len, int flags, const void* addr, unsigned addrlen)
{
    return retry(
        [&] { return ::sendto(fd, buf, len, flags | MSG_NOSIGNAL, static_cast<const sockaddr*>(addr), addrlen); });
}

int setsockopt(int fd, int level, int name, const void* value, unsigned len)
{
    return ::setsockopt(fd, level, name, value, len);
}

int getsockopt(int fd, int level, int name, void* value, unsigned* len)
{
    socklen_t n = *len;
    int rc = ::getsockopt(fd, level, name, value, &n);
    *len = n;
    return rc;
}

int set_linger(int fd, int on, int seconds)
{
    struct linger l = {on, seconds};
    return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int get_linger(int fd, int* on, int* seconds)
{
    struct linger l = {};
    socklen_t n = sizeof l;
    if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &n) < 0)
        return -1;
    *on = l.l_onoff;
    *seconds = l.l_linger;
    return 0;
}

int set_time_limit(int fd, bool receiving, unsigned milliseconds)
{
    timeval tv{static_cast<time_t>(milliseconds / 1000), static_cast<suseconds_t>(milliseconds % 1000 * 1000)};
    return ::setsockopt(fd, SOL_SOCKET, receiving ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, sizeof tv);
}

int get_time_limit(int fd, bool receiving, unsigned* milliseconds)
{
    timeval tv{};
    socklen_t n = sizeof tv;
    if (::getsockopt(fd, SOL_SOCKET, receiving ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, &n) < 0)
        return -1;
    // The system keeps the limit in its clock's ticks: what comes back is the set value
    // rounded up to a whole tick.
    *milliseconds = static_cast<unsigned>(tv.tv_sec * 1000 + (tv.tv_usec + 500) / 1000);
    return 0;
}

bool is_blocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && !(flags & O_NONBLOCK);
}

bool shut_down_for_sending(int fd)
{
    tcp_info info{};
    socklen_t n = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &n) < 0)
        return false;
    switch (info.tcpi_state) {
    case TCP_FIN_WAIT1:
    case TCP_FIN_WAIT2:
    case TCP_CLOSING:
    case TCP_TIME_WAIT:
    case TCP_LAST_ACK:
        return true;
    default:
        return false;
    }
}

int getaddrinfo(const char* node, const char* service, const int* hint, std::vector<address_info>& out)
{
    addrinfo hints{};
    if (hint) {
        hints.ai_flags = hint[0];
        hints.ai_family = hint[1];
        hints.ai_socktype = hint[2];
        hints.ai_protocol = hint[3];
    }
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(node, service, hint ? &hints : nullptr, &list);
    if (rc != 0)
        return rc;
    try {
        for (const addrinfo* a = list; a; a = a->ai_next) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(a->ai_addr);
            out.push_back({a->ai_flags, a->ai_family, a->ai_socktype, a->ai_protocol,
                           std::vector<unsigned char>(bytes, bytes + (bytes ? a->ai_addrlen : 0)),
                           a->ai_canonname != nullptr, a->ai_canonname ? a->ai_canonname : ""});
        }
    } catch (const std::bad_alloc&) {
        ::freeaddrinfo(list);
        out.clear();
        return EAI_MEMORY;
    }
    ::freeaddrinfo(list);
    return 0;
}

}  // namespace sys
}  // namespace winport
