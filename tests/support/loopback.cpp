// The one place where the tests reach sockets past winport: on Linux these are the system's
// calls, so winport's Windows names must stay out of the way; on Windows they are Winsock's.
#ifndef _WIN32
#define WINPORT_SYSTEM_SOCKETS
#endif
#include "loopback.h"

#ifdef _WIN32
#define close_socket closesocket
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#define close_socket close
#endif

#include <cerrno>

namespace vantor_test {

namespace {

void start_sockets()
{
#ifdef _WIN32
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
#endif
}

// A socket event makes its socket non-blocking; the helpers here wait as blocking calls do.
void wait_for(SOCKET s, bool write)
{
#ifdef _WIN32
    WSAPOLLFD p{s, static_cast<SHORT>(write ? POLLWRNORM : POLLRDNORM), 0};
    WSAPoll(&p, 1, -1);
#else
    pollfd p{s, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    poll(&p, 1, -1);
#endif
}

bool would_block()
{
#ifdef _WIN32
    return WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

}  // namespace

SOCKET tcp_listener()
{
    start_sockets();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    sockaddr_in a{};  // port 0: one of the system's choice
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 8) != 0) {
        close_socket(s);
        return INVALID_SOCKET;
    }
    return s;
}

SOCKET tcp_connect(SOCKET listener)
{
    sockaddr_in a;
    socklen_t len = sizeof a;
    if (getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return INVALID_SOCKET;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close_socket(s);
        return INVALID_SOCKET;
    }
    return s;
}

SOCKET tcp_accept(SOCKET listener)
{
    wait_for(listener, false);
    return accept(listener, nullptr, nullptr);
}

bool tcp_send(SOCKET s, const char* data, int length)
{
    while (length > 0) {
        wait_for(s, true);
        int n = static_cast<int>(send(s, data, length, 0));
        if (n <= 0)
            return false;
        data += n;
        length -= n;
    }
    return true;
}

int tcp_recv(SOCKET s, char* buffer, int length)
{
    // Waiting only when nothing is there: under Wine a poll of the socket marks its read
    // readiness anew, which a wait set would see as another FD_READ.
    for (;;) {
        int n = static_cast<int>(recv(s, buffer, length, 0));
        if (n >= 0 || !would_block())
            return n;
        wait_for(s, false);
    }
}

void tcp_close(SOCKET s)
{
    if (s != INVALID_SOCKET)
        close_socket(s);
}

}  // namespace vantor_test
