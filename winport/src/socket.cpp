// Windows Sockets with the Windows contract: start-up count, error slot, and the socket calls
// translated onto the system's (socket_sys.cpp), which this unit reaches only through plain
// types because the two sides' headers cannot meet in one unit.
#include <winport/winport.h>

#include "socket_names.h"
#include "socket_sys.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <poll.h>

namespace winport {
namespace {

std::mutex startup_lock;
unsigned startup_count = 0;
// Read by every call without the lock: a call racing with the last WSACleanup may see either.
std::atomic<bool> started{false};

// The sockets made since start-up: the last WSACleanup closes those still open, as Windows
// does, instead of leaving their descriptors to a process that can no longer close them.
std::mutex sockets_lock;
std::unordered_set<int> open_sockets;

constexpr WORD highest_version = MAKEWORD(2, 2);

// A version word holds the major number in its low byte; versions compare by major, then minor.
int version_order(WORD v)
{
    return LOBYTE(v) * 256 + HIBYTE(v);
}

// Fails the call as Windows does when it comes before WSAStartup or after the last WSACleanup.
bool ready()
{
    if (started.load(std::memory_order_relaxed))
        return true;
    WSASetLastError(WSANOTINITIALISED);
    return false;
}

int fail(int code)
{
    WSASetLastError(code);
    return SOCKET_ERROR;
}

struct errno_code {
    int error;
    int code;
};

// Every errno that the system's socket calls can give, with the Winsock code that Windows
// gives for the same cause.
const errno_code errno_codes[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},  // a non-blocking connect under way
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},  // the peer has gone; see send_error for a local shutdown
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {EPROTO, WSAECONNABORTED},
};

int code_of(int error)
{
    for (const errno_code& e : errno_codes) {
        if (e.error == error)
            return e.code;
    }
    return WSASYSCALLFAILURE;
}

int fail_errno()
{
    return fail(code_of(errno));
}

// A transfer on a blocking socket gives EAGAIN only when its SO_RCVTIMEO or SO_SNDTIMEO ran
// out, which Windows reports as a time-out.
int fail_transfer(SOCKET s)
{
    return errno == EAGAIN && sys::is_blocking(static_cast<int>(s)) ? fail(WSAETIMEDOUT) : fail_errno();
}

// getaddrinfo gives its code as its result and in the error slot.
int lookup_failure(int code)
{
    WSASetLastError(code);
    return code;
}

// Windows' numbers for the rows of the lists in socket_names.h; sys:: has the system's.
const int families[] = {WINPORT_SOCKET_FAMILIES(WINPORT_NAME_VALUE)};
const int types[] = {WINPORT_SOCKET_TYPES(WINPORT_NAME_VALUE)};
const int int_option_levels[] = {WINPORT_SOCKET_INT_OPTIONS(WINPORT_OPTION_LEVEL)};
const int int_option_names[] = {WINPORT_SOCKET_INT_OPTIONS(WINPORT_OPTION_NAME)};
const int special_option_names[] = {WINPORT_SOCKET_SPECIAL_OPTIONS(WINPORT_OPTION_NAME)};
const int message_flags[] = {WINPORT_SOCKET_MESSAGE_FLAGS(WINPORT_NAME_VALUE)};
const int addrinfo_flags[] = {WINPORT_ADDRINFO_FLAGS(WINPORT_NAME_VALUE)};
const int addrinfo_errors[] = {WINPORT_ADDRINFO_ERRORS(WINPORT_NAME_VALUE)};

template <std::size_t N>
constexpr std::size_t rows(const int (&)[N])
{
    return N;
}

// The value of the other table in the row that holds value in the first, or -1.
int translate(const int* from, const int* to, std::size_t n, int value)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (from[i] == value)
            return to[i];
    }
    return -1;
}

// A set of flags, bit by bit; false when a bit has no counterpart.
bool translate_flags(const int* from, const int* to, std::size_t n, int flags, int& out)
{
    out = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (flags & from[i]) {
            out |= to[i];
            flags &= ~from[i];
        }
    }
    return flags == 0;
}

int system_family(int family)
{
    return translate(families, sys::families, rows(families), family);
}

int windows_family(int family)
{
    return translate(sys::families, families, rows(families), family);
}

int system_type(int type)
{
    return translate(types, sys::types, rows(types), type);
}

int windows_type(int type)
{
    return translate(sys::types, types, rows(types), type);
}

int int_option_row(int level, int name)
{
    for (std::size_t i = 0; i < sizeof int_option_names / sizeof int_option_names[0]; ++i) {
        if (int_option_levels[i] == level && int_option_names[i] == name)
            return static_cast<int>(i);
    }
    return -1;
}

// SO_LINGER, SO_ERROR and SO_TYPE, whose values are translated apart.
int system_special_option(int name, int& level)
{
    int row = 0;
    while (special_option_names[row] != name)
        ++row;
    level = sys::special_option_levels[row];
    return sys::special_option_names[row];
}

// An address in the system's layout: the same bytes as Windows' but for the family number.
struct system_address {
    sockaddr_storage bytes;
    unsigned length;
};

std::size_t address_size(int family)
{
    return family == AF_INET ? sizeof(sockaddr_in) : family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr);
}

// 0, or the Winsock code for an address that cannot be passed on.
int to_system(const sockaddr* name, int namelen, system_address& out)
{
    if (!name || namelen < static_cast<int>(sizeof(ADDRESS_FAMILY)) || namelen > static_cast<int>(sizeof out.bytes))
        return WSAEFAULT;
    int family = system_family(name->sa_family);
    if (family < 0)
        return WSAEAFNOSUPPORT;
    if (static_cast<std::size_t>(namelen) < address_size(name->sa_family))
        return WSAEFAULT;
    std::memcpy(&out.bytes, name, static_cast<std::size_t>(namelen));
    out.bytes.ss_family = static_cast<ADDRESS_FAMILY>(family);
    out.length = static_cast<unsigned>(namelen);
    return 0;
}

// Copies a system address to the caller's buffer: 0, or the Winsock code when it does not fit.
int from_system(const void* bytes, unsigned length, sockaddr* name, int* namelen)
{
    if (!name || !namelen || *namelen < 0 || static_cast<unsigned>(*namelen) < length)
        return WSAEFAULT;
    std::memcpy(name, bytes, length);
    if (length >= sizeof(ADDRESS_FAMILY)) {
        int family = windows_family(name->sa_family);
        name->sa_family = static_cast<ADDRESS_FAMILY>(family < 0 ? AF_UNSPEC : family);
    }
    *namelen = static_cast<int>(length);
    return 0;
}

// getsockname and getpeername: the system's address, handed back in Windows' numbers.
int query_address(SOCKET s, sockaddr* name, int* namelen, int (*query)(int, void*, unsigned*))
{
    if (!ready())
        return SOCKET_ERROR;
    system_address a{};
    a.length = sizeof a.bytes;
    if (query(s, &a.bytes, &a.length) < 0)
        return fail_errno();
    int code = from_system(&a.bytes, a.length, name, namelen);
    return code ? fail(code) : 0;
}

// A new socket, kept for the last WSACleanup; false (and the socket closed) when there is no
// room to keep it.
bool keep(int fd)
{
    try {
        std::lock_guard<std::mutex> guard(sockets_lock);
        open_sockets.insert(fd);
        return true;
    } catch (const std::bad_alloc&) {
        sys::close(fd);
        WSASetLastError(WSAENOBUFS);
        return false;
    }
}

void forget(int fd)
{
    std::lock_guard<std::mutex> guard(sockets_lock);
    open_sockets.erase(fd);
}

// Whether s is a socket; the last error is set when it is not. Calls that would act on any
// descriptor (close, fcntl) check first, so that a stale SOCKET never touches a file.
bool is_socket(SOCKET s)
{
    int type = 0, level;
    int name = system_special_option(SO_TYPE, level);
    unsigned n = sizeof type;
    if (s < 0 || sys::getsockopt(s, level, name, &type, &n) < 0) {
        WSASetLastError(s < 0 || errno == EBADF ? WSAENOTSOCK : code_of(errno));
        return false;
    }
    return true;
}

}  // namespace
}  // namespace winport

using namespace winport;

extern "C" {

int WINAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData)
{
    if (LOBYTE(wVersionRequested) == 0)
        return WSAVERNOTSUPPORTED;
    if (!lpWSAData)
        return WSAEFAULT;
    std::memset(lpWSAData, 0, sizeof *lpWSAData);
    lpWSAData->wVersion =
        version_order(wVersionRequested) > version_order(highest_version) ? highest_version : wVersionRequested;
    lpWSAData->wHighVersion = highest_version;
    std::strcpy(lpWSAData->szDescription, "WinSock 2.0");
    std::strcpy(lpWSAData->szSystemStatus, "Running");
    std::lock_guard<std::mutex> guard(startup_lock);
    ++startup_count;
    started.store(true, std::memory_order_relaxed);
    return 0;
}

int WINAPI WSACleanup(void)
{
    std::lock_guard<std::mutex> guard(startup_lock);
    if (startup_count == 0) {
        WSASetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    if (--startup_count == 0) {
        started.store(false, std::memory_order_relaxed);
        std::lock_guard<std::mutex> sockets_guard(sockets_lock);
        for (int fd : open_sockets)
            sys::close(fd);
        open_sockets.clear();
    }
    return 0;
}

// One error slot per thread, shared with GetLastError as on Windows.
int WINAPI WSAGetLastError(void)
{
    return static_cast<int>(GetLastError());
}

void WINAPI WSASetLastError(int iError)
{
    SetLastError(static_cast<DWORD>(iError));
}

}  // extern "C"

SOCKET WSAAPI socket(int af, int type, int protocol)
{
    if (!ready())
        return INVALID_SOCKET;
    int family = system_family(af);
    if (family < 0)
        return fail(WSAEAFNOSUPPORT);
    int kind = system_type(type);
    if (kind < 0)
        return fail(WSAESOCKTNOSUPPORT);
    int fd = sys::socket(family, kind, protocol);
    if (fd < 0)
        return fail_errno();
    return keep(fd) ? fd : INVALID_SOCKET;
}

int WSAAPI closesocket(SOCKET s)
{
    if (!ready())
        return SOCKET_ERROR;
    if (!is_socket(s))
        return SOCKET_ERROR;
    forget(s);
    return sys::close(s) < 0 ? fail_errno() : 0;
}

int WSAAPI shutdown(SOCKET s, int how)
{
    if (!ready())
        return SOCKET_ERROR;
    // SD_RECEIVE, SD_SEND and SD_BOTH have the numbers of the system's SHUT_ values.
    if (how < SD_RECEIVE || how > SD_BOTH)
        return fail(WSAEINVAL);
    // A listening socket is not connected for Windows; the system's shutdown would stop it
    // listening.
    int listening = 0;
    int row = int_option_row(SOL_SOCKET, SO_ACCEPTCONN);
    unsigned n = sizeof listening;
    if (sys::getsockopt(s, sys::int_option_levels[row], sys::int_option_names[row], &listening, &n) == 0 && listening)
        return fail(WSAENOTCONN);
    return sys::shutdown(s, how) < 0 ? fail_errno() : 0;
}

int WSAAPI bind(SOCKET s, const sockaddr* name, int namelen)
{
    if (!ready())
        return SOCKET_ERROR;
    system_address a;
    if (int code = to_system(name, namelen, a))
        return fail(code);
    return sys::bind(s, &a.bytes, a.length) < 0 ? fail_errno() : 0;
}

int WSAAPI listen(SOCKET s, int backlog)
{
    if (!ready())
        return SOCKET_ERROR;
    return sys::listen(s, backlog) < 0 ? fail_errno() : 0;
}

SOCKET WSAAPI accept(SOCKET s, sockaddr* addr, int* addrlen)
{
    if (!ready())
        return INVALID_SOCKET;
    if (addr && (!addrlen || *addrlen < 0))
        return fail(WSAEFAULT);
    system_address a{};
    a.length = sizeof a.bytes;
    int fd = sys::accept(s, addr ? &a.bytes : nullptr, addr ? &a.length : nullptr);
    if (fd < 0)
        return fail_errno();
    if (addr) {
        if (int code = from_system(&a.bytes, a.length, addr, addrlen)) {
            sys::close(fd);
            return fail(code);
        }
    }
    return keep(fd) ? fd : INVALID_SOCKET;
}

int WSAAPI connect(SOCKET s, const sockaddr* name, int namelen)
{
    if (!ready())
        return SOCKET_ERROR;
    system_address a;
    if (int code = to_system(name, namelen, a))
        return fail(code);
    return sys::connect(s, &a.bytes, a.length) < 0 ? fail_errno() : 0;
}

int WSAAPI getsockname(SOCKET s, sockaddr* name, int* namelen)
{
    return query_address(s, name, namelen, sys::getsockname);
}

int WSAAPI getpeername(SOCKET s, sockaddr* name, int* namelen)
{
    return query_address(s, name, namelen, sys::getpeername);
}

int WSAAPI recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen)
{
    if (!ready())
        return SOCKET_ERROR;
    int system_flags;
    if (!translate_flags(message_flags, sys::message_flags, rows(message_flags), flags, system_flags))
        return fail(WSAEOPNOTSUPP);
    if (len < 0 || (len > 0 && !buf) || (from && !fromlen))
        return fail(WSAEFAULT);
    system_address a{};
    a.length = sizeof a.bytes;
    ssize_t n = sys::recvfrom(s, buf, static_cast<std::size_t>(len), system_flags, from ? &a.bytes : nullptr,
                              from ? &a.length : nullptr);
    if (n < 0)
        return fail_transfer(s);
    if (from && a.length > 0) {
        if (int code = from_system(&a.bytes, a.length, from, fromlen))
            return fail(code);
    }
    return static_cast<int>(n);
}

int WSAAPI recv(SOCKET s, char* buf, int len, int flags)
{
    return recvfrom(s, buf, len, flags, nullptr, nullptr);
}

int WSAAPI sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen)
{
    if (!ready())
        return SOCKET_ERROR;
    int system_flags;
    if (!translate_flags(message_flags, sys::message_flags, rows(message_flags), flags, system_flags))
        return fail(WSAEOPNOTSUPP);
    if (len < 0 || (len > 0 && !buf))
        return fail(WSAEFAULT);
    system_address a{};
    if (to) {
        if (int code = to_system(to, tolen, a))
            return fail(code);
    }
    ssize_t n = sys::sendto(s, buf, static_cast<std::size_t>(len), system_flags, to ? &a.bytes : nullptr, a.length);
    if (n >= 0)
        return static_cast<int>(n);
    if (errno == EPIPE && sys::shut_down_for_sending(s))
        return fail(WSAESHUTDOWN);
    return fail_transfer(s);
}

int WSAAPI send(SOCKET s, const char* buf, int len, int flags)
{
    return sendto(s, buf, len, flags, nullptr, 0);
}

int WSAAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    if (!ready())
        return SOCKET_ERROR;
    if (!optval)
        return fail(WSAEFAULT);
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        if (optlen < static_cast<int>(sizeof(linger)))
            return fail(WSAEFAULT);
        linger l;
        std::memcpy(&l, optval, sizeof l);
        return sys::set_linger(s, l.l_onoff != 0, l.l_linger) < 0 ? fail_errno() : 0;
    }
    // Windows takes the time limits as a DWORD of milliseconds, the system as a timeval.
    if (level == SOL_SOCKET && (optname == SO_RCVTIMEO || optname == SO_SNDTIMEO)) {
        if (optlen < static_cast<int>(sizeof(DWORD)))
            return fail(WSAEFAULT);
        DWORD ms;
        std::memcpy(&ms, optval, sizeof ms);
        return sys::set_time_limit(s, optname == SO_RCVTIMEO, ms) < 0 ? fail_errno() : 0;
    }
    int row = int_option_row(level, optname);
    if (row < 0)
        return fail(WSAENOPROTOOPT);
    // Windows takes a one-byte value as well as an int.
    if (optlen < 1)
        return fail(WSAEFAULT);
    int value = static_cast<unsigned char>(*optval);
    if (optlen >= static_cast<int>(sizeof value))
        std::memcpy(&value, optval, sizeof value);
    return sys::setsockopt(s, sys::int_option_levels[row], sys::int_option_names[row], &value, sizeof value) < 0
               ? fail_errno()
               : 0;
}

int WSAAPI getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
{
    if (!ready())
        return SOCKET_ERROR;
    if (!optval || !optlen)
        return fail(WSAEFAULT);
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        if (*optlen < static_cast<int>(sizeof(linger)))
            return fail(WSAEFAULT);
        int on = 0, seconds = 0;
        if (sys::get_linger(s, &on, &seconds) < 0)
            return fail_errno();
        linger l = {static_cast<u_short>(on != 0), static_cast<u_short>(seconds)};
        std::memcpy(optval, &l, sizeof l);
        *optlen = sizeof l;
        return 0;
    }
    if (*optlen < static_cast<int>(sizeof(int)))
        return fail(WSAEFAULT);
    if (level == SOL_SOCKET && (optname == SO_RCVTIMEO || optname == SO_SNDTIMEO)) {
        unsigned ms = 0;
        if (sys::get_time_limit(s, optname == SO_RCVTIMEO, &ms) < 0)
            return fail_errno();
        const DWORD value = ms;
        std::memcpy(optval, &value, sizeof value);
        *optlen = sizeof value;
        return 0;
    }
    int value = 0;
    unsigned n = sizeof value;
    if (level == SOL_SOCKET && (optname == SO_ERROR || optname == SO_TYPE)) {
        int system_level;
        int system_name = system_special_option(optname, system_level);
        if (sys::getsockopt(s, system_level, system_name, &value, &n) < 0)
            return fail_errno();
        value = optname == SO_ERROR ? (value ? code_of(value) : 0) : windows_type(value);
    } else {
        int row = int_option_row(level, optname);
        if (row < 0)
            return fail(WSAENOPROTOOPT);
        if (sys::getsockopt(s, sys::int_option_levels[row], sys::int_option_names[row], &value, &n) < 0)
            return fail_errno();
    }
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return 0;
}

int WSAAPI ioctlsocket(SOCKET s, long cmd, u_long* argp)
{
    if (!ready())
        return SOCKET_ERROR;
    if (cmd != FIONBIO)
        return fail(WSAEINVAL);
    if (!argp)
        return fail(WSAEFAULT);
    if (!is_socket(s))
        return SOCKET_ERROR;
    int flags = fcntl(s, F_GETFL);
    if (flags < 0)
        return fail_errno();
    int wanted = *argp ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    if (wanted != flags && fcntl(s, F_SETFL, wanted) < 0)
        return fail_errno();
    return 0;
}

int WSAAPI __WSAFDIsSet(SOCKET fd, fd_set* set)
{
    for (u_int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == fd)
            return 1;
    }
    return 0;
}

int WSAAPI winport_select(int, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout)
{
    if (!ready())
        return SOCKET_ERROR;
    fd_set* sets[3] = {readfds, writefds, exceptfds};
    const short wanted[3] = {POLLIN, POLLOUT, POLLPRI};
    std::size_t total = 0;
    for (fd_set* set : sets) {
        // A count past the array would have the loops below read beyond it.
        if (set && set->fd_count > FD_SETSIZE)
            return fail(WSAEINVAL);
        total += set ? set->fd_count : 0;
    }
    // Windows refuses a call that waits for nothing, rather than sleeping.
    if (total == 0)
        return fail(WSAEINVAL);
    if (timeout && (timeout->tv_sec < 0 || timeout->tv_usec < 0))
        return fail(WSAEINVAL);

    // One entry per socket, however many sets name it. The sets are bounded, so the entries
    // live on the stack: every timed pipe read and write comes through here.
    pollfd polled_entries[3 * FD_SETSIZE];
    std::size_t polled_count = 0;
    for (int k = 0; k < 3; ++k) {
        if (!sets[k])
            continue;
        for (u_int i = 0; i < sets[k]->fd_count; ++i) {
            SOCKET s = sets[k]->fd_array[i];
            if (s < 0)
                return fail(WSAENOTSOCK);
            std::size_t j = 0;
            while (j < polled_count && polled_entries[j].fd != s)
                ++j;
            if (j == polled_count)
                polled_entries[polled_count++] = pollfd{s, 0, 0};
            polled_entries[j].events = static_cast<short>(polled_entries[j].events | wanted[k]);
        }
    }
    const pollfd* const polled_end = polled_entries + polled_count;

    timespec deadline{}, left{};
    if (timeout) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        long long ns = deadline.tv_nsec + static_cast<long long>(timeout->tv_usec % 1000000) * 1000;
        deadline.tv_sec += static_cast<time_t>(timeout->tv_sec + timeout->tv_usec / 1000000 + ns / 1000000000);
        deadline.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    int rc;
    for (;;) {
        if (timeout) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long ns = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000LL +
                           (deadline.tv_nsec - now.tv_nsec);
            if (ns < 0)
                ns = 0;
            left.tv_sec = static_cast<time_t>(ns / 1000000000);
            left.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        rc = ppoll(polled_entries, polled_count, timeout ? &left : nullptr, nullptr);
        if (rc >= 0 || errno != EINTR)
            break;
    }
    if (rc < 0)
        return fail_errno();
    for (const pollfd* p = polled_entries; p != polled_end; ++p) {
        if (p->revents & POLLNVAL)
            return fail(WSAENOTSOCK);
    }

    // A socket with an error or a hang-up is readable (the receive tells what happened) and
    // writable (the send fails at once), as the system's select reports it.
    int ready_count = 0;
    for (int k = 0; k < 3; ++k) {
        if (!sets[k])
            continue;
        const short shows[3] = {POLLIN | POLLHUP | POLLERR, POLLOUT | POLLERR, POLLPRI | POLLERR};
        u_int kept = 0;
        for (u_int i = 0; i < sets[k]->fd_count; ++i) {
            SOCKET s = sets[k]->fd_array[i];
            for (const pollfd* p = polled_entries; p != polled_end; ++p) {
                if (p->fd == s && (p->revents & shows[k])) {
                    sets[k]->fd_array[kept++] = s;
                    break;
                }
            }
        }
        sets[k]->fd_count = kept;
        ready_count += static_cast<int>(kept);
    }
    return ready_count;
}

int WSAAPI getaddrinfo(const char* pNodeName, const char* pServiceName, const ADDRINFOA* pHints, PADDRINFOA* ppResult)
{
    if (!ready())
        return WSANOTINITIALISED;
    if (!ppResult)
        return lookup_failure(WSAEINVAL);
    *ppResult = nullptr;
    if (!pNodeName && !pServiceName)
        return lookup_failure(WSAHOST_NOT_FOUND);
    int hint[4] = {0, 0, 0, 0};
    if (pHints) {
        if (!translate_flags(addrinfo_flags, sys::addrinfo_flags, rows(addrinfo_flags), pHints->ai_flags, hint[0]))
            return lookup_failure(WSAEINVAL);
        hint[1] = system_family(pHints->ai_family);
        if (hint[1] < 0)
            return lookup_failure(WSAEAFNOSUPPORT);
        if (pHints->ai_socktype != 0) {
            hint[2] = system_type(pHints->ai_socktype);
            if (hint[2] < 0)
                return lookup_failure(WSAESOCKTNOSUPPORT);
        }
        hint[3] = pHints->ai_protocol;
    }
    std::vector<sys::address_info> found;
    int rc;
    try {
        rc = sys::getaddrinfo(pNodeName, pServiceName, pHints ? hint : nullptr, found);
    } catch (const std::bad_alloc&) {
        return lookup_failure(WSA_NOT_ENOUGH_MEMORY);
    }
    if (rc != 0) {
        int code;
        if (rc == sys::addrinfo_system_error)
            code = code_of(errno);
        else if (rc == sys::addrinfo_no_data[0] || rc == sys::addrinfo_no_data[1])
            code = WSANO_DATA;
        else
            code = translate(sys::addrinfo_errors, addrinfo_errors, rows(addrinfo_errors), rc);
        if (code < 0)
            code = WSANO_RECOVERY;
        return lookup_failure(code);
    }

    // Each entry is one allocation: the record, then its address, then its name.
    PADDRINFOA head = nullptr;
    PADDRINFOA* tail = &head;
    for (const sys::address_info& f : found) {
        int family = windows_family(f.family);
        int type = windows_type(f.type);
        if (family < 0 || type < 0 || f.address.size() > sizeof(sockaddr_storage))
            continue;
        std::size_t name_size = f.has_canonical_name ? f.canonical_name.size() + 1 : 0;
        auto* entry = static_cast<PADDRINFOA>(std::calloc(1, sizeof(ADDRINFOA) + f.address.size() + name_size));
        if (!entry) {
            freeaddrinfo(head);
            return lookup_failure(WSA_NOT_ENOUGH_MEMORY);
        }
        auto* bytes = reinterpret_cast<unsigned char*>(entry + 1);
        entry->ai_family = family;
        entry->ai_socktype = type;
        entry->ai_protocol = f.protocol;
        entry->ai_addrlen = f.address.size();
        if (!f.address.empty()) {
            std::memcpy(bytes, f.address.data(), f.address.size());
            entry->ai_addr = reinterpret_cast<sockaddr*>(bytes);
            entry->ai_addr->sa_family = static_cast<ADDRESS_FAMILY>(family);
        }
        if (f.has_canonical_name) {
            entry->ai_canonname = reinterpret_cast<char*>(bytes + f.address.size());
            std::memcpy(entry->ai_canonname, f.canonical_name.c_str(), name_size);
        }
        *tail = entry;
        tail = &entry->ai_next;
    }
    if (!head)
        return lookup_failure(WSANO_DATA);
    *ppResult = head;
    return 0;
}

void WSAAPI freeaddrinfo(PADDRINFOA pAddrInfo)
{
    while (pAddrInfo) {
        PADDRINFOA next = pAddrInfo->ai_next;
        std::free(pAddrInfo);
        pAddrInfo = next;
    }
}
