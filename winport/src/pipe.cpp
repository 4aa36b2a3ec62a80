// Anonymous pipes, handle inheritance, the standard handles, and the run-time's descriptors
// over handles.
#include "fd_handle.h"
#include "handles.h"

#include <winport/winport.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include <csignal>

#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <unistd.h>

namespace winport {
namespace {

// The run-time descriptors made by _open_osfhandle and the handles they own.
std::mutex& crt_lock()
{
    static auto* m = new std::mutex;
    return *m;
}

std::map<int, HANDLE>& crt_handles()
{
    static auto* m = new std::map<int, HANDLE>;
    return *m;
}

}  // namespace

long pipe_write(int fd, const void* buffer, unsigned long count)
{
    // Windows fails such a write with an error; here the write raises SIGPIPE at the writing
    // thread, which ends the process unless the application has decided otherwise. Blocked
    // for the write, the signal stays pending on the thread, and is taken here, unless one
    // was pending already (which is then left for the application).
    sigset_t pipe_signal, old;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &old);
    bool pending_before = false;
    if (sigismember(&old, SIGPIPE)) {
        sigset_t pending;
        pending_before = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    }
    ssize_t n;
    while ((n = write(fd, buffer, count)) < 0 && errno == EINTR) {
    }
    int error = errno;
    if (n < 0 && error == EPIPE && !pending_before) {
        const timespec none{0, 0};
        while (sigtimedwait(&pipe_signal, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return static_cast<long>(n);
}

}  // namespace winport

using namespace winport;

extern "C" {

BOOL WINAPI CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes, DWORD)
{
    if (!hReadPipe || !hWritePipe) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool inherit = lpPipeAttributes && lpPipeAttributes->bInheritHandle;
    int fds[2];
    if (pipe2(fds, inherit ? 0 : O_CLOEXEC) != 0) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    HANDLE read_end = fd_handle_insert(fds[0], true, false);
    if (!read_end) {
        close(fds[1]);
        return FALSE;
    }
    HANDLE write_end = fd_handle_insert(fds[1], false, true);
    if (!write_end) {
        CloseHandle(read_end);
        return FALSE;
    }
    *hReadPipe = read_end;
    *hWritePipe = write_end;
    return TRUE;
}

BOOL WINAPI SetHandleInformation(HANDLE hObject, DWORD dwMask, DWORD dwFlags)
{
    object_ptr obj = handle_get(hObject);
    if (!obj)
        return FALSE;
    int fd = fd_of_handle(hObject);
    if (fd < 0 || !(dwMask & HANDLE_FLAG_INHERIT))
        return TRUE;  // kernel objects other than descriptors are never handed to a child
    int flags = fcntl(fd, F_GETFD);
    if (flags < 0 ||
        fcntl(fd, F_SETFD, (dwFlags & HANDLE_FLAG_INHERIT) ? (flags & ~FD_CLOEXEC) : (flags | FD_CLOEXEC)) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    int fd;
    switch (nStdHandle) {
    case STD_INPUT_HANDLE:
        fd = 0;
        break;
    case STD_OUTPUT_HANDLE:
        fd = 1;
        break;
    case STD_ERROR_HANDLE:
        fd = 2;
        break;
    default:
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    // One handle per stream for the life of the process, as Windows keeps them; closing it
    // closes the stream.
    static std::mutex lock;
    static HANDLE handles[3];
    std::lock_guard<std::mutex> guard(lock);
    if (!handles[fd] || fd_of_handle(handles[fd]) < 0) {
        if (fcntl(fd, F_GETFD) < 0)
            return nullptr;  // no such stream, as for a process without a console
        handles[fd] = fd_handle_insert(fd, fd == 0, fd != 0);
    }
    return handles[fd];
}

int _open_osfhandle(std::intptr_t osfhandle, int)
{
    HANDLE h = reinterpret_cast<HANDLE>(osfhandle);
    int fd = fd_of_handle(h);
    std::lock_guard<std::mutex> guard(crt_lock());
    if (fd < 0 || crt_handles().count(fd)) {
        errno = EBADF;
        return -1;
    }
    crt_handles()[fd] = h;
    return fd;
}

std::intptr_t _get_osfhandle(int fd)
{
    std::lock_guard<std::mutex> guard(crt_lock());
    auto it = crt_handles().find(fd);
    if (it == crt_handles().end()) {
        errno = EBADF;
        return -1;
    }
    return reinterpret_cast<std::intptr_t>(it->second);
}

int _close(int fd)
{
    HANDLE h;
    {
        std::lock_guard<std::mutex> guard(crt_lock());
        auto it = crt_handles().find(fd);
        if (it == crt_handles().end()) {
            errno = EBADF;
            return -1;
        }
        h = it->second;
        crt_handles().erase(it);
    }
    return CloseHandle(h) ? 0 : -1;
}

int _read(int fd, void* buffer, unsigned count)
{
    ssize_t n;
    while ((n = read(fd, buffer, count)) < 0 && errno == EINTR) {
    }
    return static_cast<int>(n);
}

int _write(int fd, const void* buffer, unsigned count)
{
    long n = pipe_write(fd, buffer, count);
    if (n < 0 && errno == EPIPE) {
        // As the Windows run-time reports the failed WriteFile.
        SetLastError(ERROR_NO_DATA);
        errno = EINVAL;
    }
    return static_cast<int>(n);
}

int _stricmp(const char* a, const char* b)
{
    return strcasecmp(a, b);
}

}  // extern "C"
