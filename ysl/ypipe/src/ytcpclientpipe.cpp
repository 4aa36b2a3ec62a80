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

    bool connected = false;
    for (addrinfo* a = list; a && !connected;) {
        if (m_socket == INVALID_SOCKET) {
            m_socket = ypipe_system.socket(a->ai_family, a->ai_socktype, a->ai_protocol);
            if (m_socket == INVALID_SOCKET) {
                if (!interrupted(WSAGetLastError()))
                    a = a->ai_next;
                continue;
            }
        }
        if (connect(m_socket, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
            connected = true;
            break;
        }
        if (interrupted(WSAGetLastError()))
            continue;
        // A failed connect leaves the socket unusable for another address.
        int error = WSAGetLastError();
        closesocket(m_socket);
        WSASetLastError(error);
        m_socket = INVALID_SOCKET;
        a = a->ai_next;
    }
    if (!connected) {
        int error = WSAGetLastError();
        YErrTrace("%s(): connect() failed: %.40s", "YTCPClientPipeHelper::Open", sock_strerror(error));
        freeaddrinfo(list);
        if (m_socket != INVALID_SOCKET) {
            closesocket(m_socket);
            m_socket = INVALID_SOCKET;
        }
        return false;
    }
    freeaddrinfo(list);

    // The 32-bit value 0x10001 that this connection has always been given is the linger record
    // {on, 1 s}, the listening side's own setting; the send-buffer option number it once went
    // with would have capped the buffer at 64 KiB (and, on Linux, stopped its growth) for nothing.
    linger lingering = {};
    lingering.l_onoff = 1;
    lingering.l_linger = 1;
    if (setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingering), sizeof lingering) ==
        SOCKET_ERROR) {
        int error = WSAGetLastError();
        YErrTrace("%s(): setsockopt(..., SO_LINGER, ...) failed: %.40s", "YTCPClientPipeHelper::Open",
                  sock_strerror(error));
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
        return false;
    }
    int on = 1;
    if (setsockopt(m_socket, SOL_SOCKET, SO_DONTROUTE, reinterpret_cast<const char*>(&on), sizeof on) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        YErrTrace("%s(): setsockopt(..., SO_DONTROUTE, ...) failed: %.40s", "YTCPClientPipeHelper::Open",
                  sock_strerror(error));
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
        return false;
    }
    if (!blocking) {
        u_long non_blocking = 1;
        if (ioctlsocket(m_socket, FIONBIO, &non_blocking) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            YErrTrace("%s(): ioctlsocket(..., FIONBIO, IO_ASYNC) failed: %.40s", "YTCPClientPipeHelper::Open",
                      sock_strerror(error));
            closesocket(m_socket);
            m_socket = INVALID_SOCKET;
            return false;
        }
    }
    return true;
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
