#include <ysl/ytcpserverpipe.h>
#include <ysl/ydiag.h>

#include "ypipe_internal.h"

#include <cstdio>
#include <cstring>

namespace {

// Queue length of the listening socket: the system's largest. With a queue of one, a burst of
// 200 clients left about 140 of them connected on their side but never accepted (the system
// drops the handshake's last step while the queue is full), where a full-length queue takes
// all of them in a few milliseconds.
constexpr int listen_backlog = SOMAXCONN;

bool set_option(SOCKET s, int level, int name, int value)
{
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) != SOCKET_ERROR;
}

void close_quietly(SOCKET& s)
{
    closesocket(s);
    s = INVALID_SOCKET;
}

// Creates the pipe object and gives it the next connection; null when there is none.
template <class Pipe>
Pipe* accept_into(SOCKET listening, bool blocking, const char* operation)
{
    if (listening == INVALID_SOCKET) {
        YErrLog("YTCPServerPipeSocket::%s(): no open socket", operation);
        return nullptr;
    }
    Pipe* pipe = new Pipe;
    if (!pipe->Accept(listening, blocking)) {
        delete pipe;
        return nullptr;
    }
    return pipe;
}

// Binds the socket to the port on every address of its family.
int bind_any(SOCKET s, bool ipv6, int port)
{
    if (ipv6) {
        sockaddr_in6 address;
        std::memset(&address, 0, sizeof address);
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<u_short>(port));
        return bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

}  // namespace

bool set_socket_options(SOCKET s, bool blocking)
{
    const char* name = "set_socket_options";
    if (!blocking) {
        u_long non_blocking = 1;
        if (ioctlsocket(s, FIONBIO, &non_blocking) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            YErrTrace("%s(): ioctlsocket(..., FIONBIO, IO_ASYNC) failed: %.40s", name, sock_strerror(error));
            return false;
        }
    }
    if (!set_option(s, SOL_SOCKET, SO_KEEPALIVE, 1)) {
        int error = WSAGetLastError();
        YErrTrace("%s(): setsockopt(..., SO_KEEPALIVE, ...) failed: %.40s", name, sock_strerror(error));
        return false;
    }
    if (!set_option(s, SOL_SOCKET, SO_REUSEADDR, 1)) {
        int error = WSAGetLastError();
        YErrTrace("%s(): setsockopt(..., SO_REUSEADDR, ...) failed: %.40s", name, sock_strerror(error));
        return false;
    }
    if (!set_option(s, SOL_SOCKET, SO_DONTROUTE, 1)) {
        int error = WSAGetLastError();
        YErrTrace("%s(): setsockopt(..., SO_DONTROUTE, ...) failed: %.40s", name, sock_strerror(error));
        return false;
    }
    linger lingering = {};
    lingering.l_onoff = 1;
    lingering.l_linger = 1;
    if (setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingering), sizeof lingering) ==
        SOCKET_ERROR) {
        int error = WSAGetLastError();
        YErrLog("%s(): setsockopt(..., SO_LINGER, ...) failed: %.40s", name, sock_strerror(error));
    }
    return true;
}

YTCPServerPipeSocket::YTCPServerPipeSocket() : m_socket(INVALID_SOCKET) {}

YTCPServerPipeSocket::~YTCPServerPipeSocket()
{
    Close();
}

bool YTCPServerPipeSocket::Open(int port, bool blocking)
{
    // A socket opened before would be lost with its port.
    Close();
    bool ipv6 = true;
    m_socket = ypipe_system.socket(AF_INET6, SOCK_STREAM, 0);
    if (m_socket == INVALID_SOCKET) {
        int error = WSAGetLastError();
        if (error != WSAEAFNOSUPPORT) {
            YErrTrace("YTCPServerPipeSocket::Open(): socket(AF_INET6) failed: %.40s", sock_strerror(error));
            return false;
        }
        YTrace("default", 1, "YTCPServerPipeSocket::Open(): falling back to IPv4");
        ipv6 = false;
        m_socket = ypipe_system.socket(AF_INET, SOCK_STREAM, 0);
        if (m_socket == INVALID_SOCKET) {
            error = WSAGetLastError();
            YErrTrace("YTCPServerPipeSocket::Open(): socket(AF_INET) failed: %.40s", sock_strerror(error));
            return false;
        }
    }
    if (!set_socket_options(m_socket, blocking)) {
        YErrTrace("%s(): set_socket_options() failed", "YTCPServerPipeSocket::Open");
        close_quietly(m_socket);
        return false;
    }
    if (ipv6 && !set_option(m_socket, IPPROTO_IPV6, IPV6_V6ONLY, 0)) {
        int error = WSAGetLastError();
        YErrTrace("YTCPServerPipeSocket::Open(): setsockopt(... ,IPPROTO_IPV6, IPV6_V6ONLY, 0) failed: %.40s",
                  sock_strerror(error));
        close_quietly(m_socket);
        return false;
    }
    if (bind_any(m_socket, ipv6, port) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        YErrTrace("YTCPServerPipeSocket::Open(): bind() failed: %.40s", sock_strerror(error));
        close_quietly(m_socket);
        return false;
    }
    if (listen(m_socket, listen_backlog) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        YErrTrace("YTCPServerPipeSocket::Open(): listen() failed: %.40s", sock_strerror(error));
        close_quietly(m_socket);
        return false;
    }
    return true;
}

bool YTCPServerPipeSocket::Open(const char* host, int port, bool blocking)
{
    if (!host || !*host)
        return Open(port, blocking);
    Close();
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints = {};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = ypipe_system.getaddrinfo(host, service, &hints, &list);
    if (rc != 0) {
        YErrTrace("%s(): getaddrinfo() failed: %s", "YTCPServerPipeSocket::Open", ypipe_lookup_error_text(rc));
        return false;
    }
    YErrTrace_BeginContext();
    for (addrinfo* a = list; a && m_socket == INVALID_SOCKET; a = a->ai_next) {
        SOCKET s = ypipe_system.socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET)
            continue;
        if (!set_socket_options(s, blocking)) {
            closesocket(s);
            continue;
        }
        if (bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            YErrTrace("%s(): bind() failed: %.40s", "YTCPServerPipeSocket::Open", sock_strerror(error));
            closesocket(s);
            continue;
        }
        if (listen(s, listen_backlog) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            YErrTrace("%s(): listen() failed: %.40s", "YTCPServerPipeSocket::Open", sock_strerror(error));
            closesocket(s);
            continue;
        }
        m_socket = s;
    }
    freeaddrinfo(list);
    bool listening = m_socket != INVALID_SOCKET;
    if (listening)
        YErrTrace_ClearContext();
    YErrTrace_EndContext();
    return listening;
}

void YTCPServerPipeSocket::Close()
{
    ypipe_shutdown_and_close(m_socket, "YTCPServerPipeSocket::Close", true);
}

YTCPServerPipe* YTCPServerPipeSocket::Accept(bool blocking)
{
    return accept_into<YTCPServerPipe>(m_socket, blocking, "Accept");
}

YTCPServerPipeReader* YTCPServerPipeSocket::AcceptReader(bool blocking)
{
    return accept_into<YTCPServerPipeReader>(m_socket, blocking, "AcceptReader");
}

YTCPServerPipeWriter* YTCPServerPipeSocket::AcceptWriter(bool blocking)
{
    return accept_into<YTCPServerPipeWriter>(m_socket, blocking, "AcceptWriter");
}

YTCPServerPipeHelper::YTCPServerPipeHelper() : m_socket(INVALID_SOCKET) {}

YTCPServerPipeHelper::~YTCPServerPipeHelper()
{
    // The destructor of a derived pipe has run: this is the helper's own Close.
    YTCPServerPipeHelper::Close();
}

bool YTCPServerPipeHelper::Accept(SOCKET listening, bool blocking)
{
    SOCKET s = accept(listening, nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        int error = WSAGetLastError();
        // Nothing pending on a non-blocking socket is no failure.
        if (error != WSAEWOULDBLOCK && error != 22)
            YErrLog("YTCPServerPipeHelper::Accept(): accept() failed: %.40s", sock_strerror(error));
        return false;
    }
    u_long mode = blocking ? 0 : 1;
    if (ioctlsocket(s, FIONBIO, &mode) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        YErrLog("YTCPServerPipeHelper::Accept(): ioctlsocket(..., FIONBIO, %lu) failed: %.40s", mode,
                sock_strerror(error));
        closesocket(s);
        return false;
    }
    Close();
    m_socket = s;
    return true;
}

void YTCPServerPipeHelper::Close()
{
    if (m_socket == INVALID_SOCKET)
        return;
    if (closesocket(m_socket) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSANOTINITIALISED)
            YErrLog("YTCPServerPipeHelper::Close(): close() [1] failed: %s", sock_strerror(error));
    }
    m_socket = INVALID_SOCKET;
}

int YTCPServerPipeHelper::Read(const char* name, void* buffer, size_t length, double timeout)
{
    if (m_socket == INVALID_SOCKET)
        return -1;
    return ypipe_read(m_socket, name, buffer, length, timeout);
}

int YTCPServerPipeHelper::Write(const char* name, const void* buffer, size_t length, double timeout)
{
    if (m_socket == INVALID_SOCKET)
        return -1;
    return ypipe_write(m_socket, name, buffer, length, timeout);
}

int YTCPServerPipe::Read(void* buffer, size_t length, double timeout)
{
    return YTCPServerPipeHelper::Read("YTCPServerPipe", buffer, length, timeout);
}

int YTCPServerPipe::Write(const void* buffer, size_t length, double timeout)
{
    return YTCPServerPipeHelper::Write("YTCPServerPipe", buffer, length, timeout);
}

void YTCPServerPipe::Close()
{
    YTCPServerPipeHelper::Close();
}

int YTCPServerPipeReader::Read(void* buffer, size_t length, double timeout)
{
    return YTCPServerPipeHelper::Read("YTCPServerPipeReader", buffer, length, timeout);
}

void YTCPServerPipeReader::Close()
{
    YTCPServerPipeHelper::Close();
}

int YTCPServerPipeWriter::Write(const void* buffer, size_t length, double timeout)
{
    return YTCPServerPipeHelper::Write("YTCPServerPipeWriter", buffer, length, timeout);
}

void YTCPServerPipeWriter::Close()
{
    YTCPServerPipeHelper::Close();
}
