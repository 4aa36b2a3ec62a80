#include <ysl/ytcpclientpipe.h>
#include <ysl/ydiag.h>

#include "ypipe_internal.h"

#include <cstdio>

namespace {

bool interrupted(int error)
{
    return error == WSAEINTR || error == 4;
}

}  // namespace

YTCPClientPipeHelper::YTCPClientPipeHelper() : m_socket(INVALID_SOCKET) {}

YTCPClientPipeHelper::~YTCPClientPipeHelper()
{
    Close();
}

namespace {

// Connects `s` to the first address of the list that takes a connection, making a socket for
// each address where `s` holds none, and trying again what a signal interrupted. False when no
// address takes one, with the last attempt's error as the last error.
bool connect_first(SOCKET& s, const addrinfo* list)
{
    for (const addrinfo* a = list; a;) {
        if (s == INVALID_SOCKET) {
            s = ypipe_system.socket(a->ai_family, a->ai_socktype, a->ai_protocol);
            if (s == INVALID_SOCKET) {
                if (!interrupted(WSAGetLastError()))
                    a = a->ai_next;
                continue;
            }
        }
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0)
            return true;
        if (interrupted(WSAGetLastError()))
            continue;
        // A failed connect leaves the socket unusable for another address.
        int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        s = INVALID_SOCKET;
        a = a->ai_next;
    }
    return false;
}

// The options of a connected client socket; false, reported, when one cannot be set.
bool set_client_options(SOCKET s, bool blocking)
{
    // The 32-bit value 0x10001 that this connection has always been given is the linger record
    // {on, 1 s}, the listening side's own setting; the send-buffer option number it once went
    // with would have capped the buffer at 64 KiB (and, on Linux, stopped its growth) for nothing.
    linger lingering = {};
    lingering.l_onoff = 1;
    lingering.l_linger = 1;
    if (setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingering), sizeof lingering) ==
        SOCKET_ERROR) {
        int error = WSAGetLastError();
        YErrTrace("%s(): setsockopt(..., SO_LINGER, ...) failed: %.40s", "YTCPClientPipeHelper::Open",
                  sock_strerror(error));
        return false;
    }
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_DONTROUTE, reinterpret_cast<const char*>(&on), sizeof on) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        YErrTrace("%s(): setsockopt(..., SO_DONTROUTE, ...) failed: %.40s", "YTCPClientPipeHelper::Open",
                  sock_strerror(error));
        return false;
    }
    u_long non_blocking = 1;
    if (!blocking && ioctlsocket(s, FIONBIO, &non_blocking) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        YErrTrace("%s(): ioctlsocket(..., FIONBIO, IO_ASYNC) failed: %.40s", "YTCPClientPipeHelper::Open",
                  sock_strerror(error));
        return false;
    }
    return true;
}

}  // namespace

bool YTCPClientPipeHelper::Open(const char* host, int port, bool blocking)
{
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = ypipe_system.getaddrinfo(host, service, &hints, &list);
    if (rc != 0) {
        YErrTrace("%s(): getaddrinfo(%s, %d) failed: %.40s", "YTCPClientPipeHelper::Open", host ? host : "(null)", port,
                  ypipe_lookup_error_text(rc));
        return false;
    }
    const bool connected = connect_first(m_socket, list);
    if (!connected) {
        int error = WSAGetLastError();
        YErrTrace("%s(): connect() failed: %.40s", "YTCPClientPipeHelper::Open", sock_strerror(error));
    }
    freeaddrinfo(list);
    if (connected && set_client_options(m_socket, blocking))
        return true;
    if (m_socket != INVALID_SOCKET) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
    return false;
}

void YTCPClientPipeHelper::Close()
{
    ypipe_shutdown_and_close(m_socket, "YTCPClientPipeHelper::Close", false);
}

int YTCPClientPipeHelper::Read(const char* name, void* buffer, size_t length, double timeout)
{
    if (m_socket == INVALID_SOCKET) {
        YErrTrace("%s::Read(): socket is not open", name);
        return -1;
    }
    return ypipe_read(m_socket, name, buffer, length, timeout);
}

int YTCPClientPipeHelper::Write(const char* name, const void* buffer, size_t length, double timeout)
{
    if (m_socket == INVALID_SOCKET)
        return -1;
    return ypipe_write(m_socket, name, buffer, length, timeout);
}

int YTCPClientPipe::Read(void* buffer, size_t length, double timeout)
{
    return YTCPClientPipeHelper::Read("YTCPClientPipe", buffer, length, timeout);
}

int YTCPClientPipe::Write(const void* buffer, size_t length, double timeout)
{
    return YTCPClientPipeHelper::Write("YTCPClientPipe", buffer, length, timeout);
}

void YTCPClientPipe::Close()
{
    YTCPClientPipeHelper::Close();
}
