#include <ysl/ygenericpipe.h>
#include <ysl/ydiag.h>
#include <ysl/ysleep_sec.h>

#include "ypipe_internal.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// A pipe whose Read keeps giving 0 is polled with a growing pause, up to 0.128 s.
constexpr double first_pause = 0.001;
constexpr double pause_growth_limit = 0.1;

// The system's recv and its siblings take an int length.
constexpr size_t largest_piece = INT_MAX;

const ypipe_system_calls real_system = {
    &::socket, &::getaddrinfo, &::select, &::recv, &::send, &::recvfrom, &::sendto, &ysleep_sec,
};

// piece(offset, length) moves one piece and gives the system's result.
template <class Piece>
std::int64_t in_pieces(size_t length, Piece piece)
{
    if (length <= largest_piece)
        return piece(0, static_cast<int>(length));
    std::int64_t total = 0;
    while (length > 0) {
        int asked = static_cast<int>(length > largest_piece ? largest_piece : length);
        int moved = piece(static_cast<size_t>(total), asked);
        if (moved < 0)
            return -1;
        total += moved;
        length -= static_cast<size_t>(moved);
        if (moved < asked)
            break;
    }
    return total;
}

bool is_retryable(int error)
{
    // 4 is the run-time's EINTR, which some socket layers give instead of WSAEINTR.
    return error == WSAEWOULDBLOCK || error == WSAEINTR || error == 4;
}

// select()'s time limit for a timeout in seconds, whole seconds and the rest truncated to
// microseconds.
timeval time_limit(double timeout)
{
    timeval tv;
    if (timeout >= static_cast<double>(INT_MAX)) {
        tv.tv_sec = INT_MAX;
        tv.tv_usec = 0;
    } else {
        tv.tv_sec = static_cast<long>(timeout);
        tv.tv_usec = static_cast<long>((timeout - static_cast<double>(tv.tv_sec)) * 1000000.0);
    }
    return tv;
}

// 1 ready, 0 time limit reached, -1 failed (the socket error left for the caller).
int wait_ready(SOCKET s, bool for_writing, double timeout)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv = time_limit(timeout);
    int rc = for_writing ? ypipe_system.select(static_cast<int>(s + 1), nullptr, &set, nullptr, &tv)
                         : ypipe_system.select(static_cast<int>(s + 1), &set, nullptr, nullptr, &tv);
    return rc == SOCKET_ERROR ? -1 : rc > 0 ? 1 : 0;
}

// The loop of ReadComplete and WriteComplete; move(offset, remaining) is one Read or Write.
template <class Move>
bool move_exactly(size_t length, Move move, const char* failure)
{
    double pause = first_pause;
    size_t total = 0;
    while (total < length) {
        int n = move(total, length - total);
        if (n < 0) {
            YErrTrace(failure, length - total, static_cast<ptrdiff_t>(total));
            return false;
        }
        if (n == 0) {
            ypipe_system.pause(pause);
            if (pause < pause_growth_limit)
                pause *= 2;
        } else {
            pause = first_pause;
            total += static_cast<size_t>(n);
        }
    }
    return true;
}

// What Read and Write share: the wait for the socket, one transfer, and the reports.
int transfer(SOCKET s, const char* name, bool writing, const void* buffer, size_t length, double timeout)
{
    const char* operation = writing ? "Write" : "Read";
    if (timeout >= 0.0) {
        int ready = wait_ready(s, writing, timeout);
        if (ready < 0) {
            int error = WSAGetLastError();
            YErrTrace("%s::%s(): select() failed: %s", name, operation, sock_strerror(error));
            return -1;
        }
        if (ready == 0)
            return 0;
    }
    // One call moves at most what its int result can count; the caller moves the rest later.
    size_t asked = length > largest_piece ? largest_piece : length;
    std::int64_t n = writing ? sock_send(s, buffer, asked) : sock_recv(s, const_cast<void*>(buffer), asked);
    if (n < 0) {
        int error = WSAGetLastError();
        if (is_retryable(error))
            return 0;
        YErrTrace("%s::%s(): %s() failed: %s", name, operation, writing ? "write" : "read", sock_strerror(error));
        return -1;
    }
    if (n == 0 && !writing) {
        YErrTrace("%s::Read(): read() returned 0 => connection reset by peer", name);
        return -1;
    }
    return static_cast<int>(n);
}

}  // namespace

ypipe_system_calls ypipe_system = real_system;

const ypipe_system_calls& ypipe_real_system()
{
    return real_system;
}

YGenericPipeReader::~YGenericPipeReader() = default;

void YGenericPipeReader::Close() {}

bool YGenericPipeReader::ReadComplete(void* buffer, size_t length)
{
    char* bytes = static_cast<char*>(buffer);
    return move_exactly(
        length, [&](size_t at, size_t n) { return Read(bytes + at, n, -1.0); },
        "YGenericPipeReader::ReadComplete(): Read(..,%Iu) failed (total_read=%Id)");
}

YGenericPipeWriter::~YGenericPipeWriter() = default;

void YGenericPipeWriter::Close() {}

bool YGenericPipeWriter::WriteComplete(const void* buffer, size_t length)
{
    const char* bytes = static_cast<const char*>(buffer);
    return move_exactly(
        length, [&](size_t at, size_t n) { return Write(bytes + at, n, -1.0); },
        "YGenericPipeWriter::WriteComplete(): Write(..,%Iu) failed (total_written=%Id)");
}

void YGenericPipe::Close() {}

std::int64_t sock_recv(SOCKET s, void* buffer, size_t length)
{
    char* bytes = static_cast<char*>(buffer);
    return in_pieces(length, [&](size_t at, int n) { return ypipe_system.recv(s, bytes + at, n, 0); });
}

std::int64_t sock_send(SOCKET s, const void* buffer, size_t length)
{
    const char* bytes = static_cast<const char*>(buffer);
    return in_pieces(length, [&](size_t at, int n) { return ypipe_system.send(s, bytes + at, n, 0); });
}

std::int64_t sock_recvfrom(SOCKET s, void* buffer, size_t length, int flags, sockaddr* from, int* fromlen)
{
    char* bytes = static_cast<char*>(buffer);
    return in_pieces(length,
                     [&](size_t at, int n) { return ypipe_system.recvfrom(s, bytes + at, n, flags, from, fromlen); });
}

std::int64_t sock_sendto(SOCKET s, const void* buffer, size_t length, int flags, const sockaddr* to, int tolen)
{
    const char* bytes = static_cast<const char*>(buffer);
    return in_pieces(length, [&](size_t at, int n) { return ypipe_system.sendto(s, bytes + at, n, flags, to, tolen); });
}

const char* sock_strerror(int code)
{
    // One buffer per thread: a text handed to one thread is never rewritten by another.
    thread_local char text[256];
    if (code < 10000) {
        std::snprintf(text, sizeof text, "%s", std::strerror(code));
    } else {
        std::snprintf(text, sizeof text, "WSAError: %d", code);
    }
    return text;
}

const char* ypipe_lookup_error_text(int code)
{
    thread_local char text[1024];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                             nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                             sizeof text, nullptr);
    if (n == 0)
        std::snprintf(text, sizeof text, "WSAError: %d", code);
    return text;
}

int ypipe_read(SOCKET s, const char* name, void* buffer, size_t length, double timeout)
{
    return length == 0 ? 0 : transfer(s, name, false, buffer, length, timeout);
}

int ypipe_write(SOCKET s, const char* name, const void* buffer, size_t length, double timeout)
{
    return transfer(s, name, true, buffer, length, timeout);
}

void ypipe_shutdown_and_close(SOCKET& s, const char* operation, bool listening)
{
    if (s == INVALID_SOCKET)
        return;
    // After the last WSACleanup (the library's unload) the socket is gone already, and
    // neither call has anything left to do. A listening socket is never connected, so its
    // shutdown always fails with WSAENOTCONN on Windows: nothing worth a report.
    if (shutdown(s, SD_BOTH) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSANOTINITIALISED && !(listening && error == WSAENOTCONN))
            YErrLog("%s(): shutdown() failed: %s", operation, sock_strerror(error));
    }
    if (closesocket(s) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSANOTINITIALISED)
            YErrLog("%s(): close() [2] failed: %s", operation, sock_strerror(error));
    }
    s = INVALID_SOCKET;
}
