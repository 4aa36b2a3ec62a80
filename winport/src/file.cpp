// Files: handles over descriptors, reads and writes, renames and temporary files.
#include "fd_handle.h"
#include "handles.h"
#include "path.h"
#include "prefix.h"

#include <winport/winport.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winport {
namespace {

class file_object final : public object {
public:
    file_object(int fd, bool readable, bool writable) : fd_(fd), readable_(readable), writable_(writable)
    {
        struct stat st;
        pipe_ = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
    }
    ~file_object() override { close(fd_); }
    int fd() const { return fd_; }
    bool readable() const { return readable_; }
    bool writable() const { return writable_; }
    bool pipe() const { return pipe_; }

private:
    int fd_;
    bool readable_;
    bool writable_;
    bool pipe_;
};

void set_errno_error(int err)
{
    SetLastError(static_cast<DWORD>(error_from_errno(err)));
}

std::string parent_of(const std::string& unix)
{
    std::size_t slash = unix.rfind('/');
    return slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : unix.substr(0, slash));
}

// The file of a ReadFile, WriteFile or FlushFileBuffers call, or null with the last error set:
// the call must be synchronous, have a buffer for any bytes, and go the way the file was opened.
std::shared_ptr<file_object> io_file(HANDLE h, const void* buffer, DWORD count, LPOVERLAPPED overlapped, bool write)
{
    std::shared_ptr<file_object> file = handle_get_as<file_object>(h);
    if (!file)
        return nullptr;
    if (overlapped || (!buffer && count)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!(write ? file->writable() : file->readable())) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return file;
}

// Gives the file the owner and group of `st`, as far as the caller may: only the superuser
// may give a file away, and others only a group they belong to; what cannot be set stays
// the caller's. False when not even the group could be kept.
bool keep_owner(int fd, const struct stat& st)
{
    return fchown(fd, st.st_uid, st.st_gid) == 0 || fchown(fd, static_cast<uid_t>(-1), st.st_gid) == 0;
}

// Makes the entries of a directory durable (after a rename); false with errno set.
bool sync_dir(const std::string& dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int rc = fsync(fd);
    int err = errno;
    close(fd);
    errno = err;
    return rc == 0 || err == EINVAL;
}

// The open() flags for a CreateFileA: the access mask, the write-through flag and whether
// children inherit the handle. `read` and `write` say which ways the handle goes (appending
// is writing).
int open_flags(DWORD access, DWORD flags_and_attributes, bool inherit, bool& read, bool& write)
{
    read = access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    write = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA);
    bool append = !write && (access & FILE_APPEND_DATA);
    int flags = O_CLOEXEC;
    if ((write || append) && read)
        flags |= O_RDWR;
    else if (write || append)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (append)
        flags |= O_APPEND;
    if (flags_and_attributes & FILE_FLAG_WRITE_THROUGH)
        flags |= O_DSYNC;
    if (inherit)
        flags &= ~O_CLOEXEC;
    write = write || append;
    // Opening a FIFO would wait for its other end, where Windows never blocks in an open;
    // CreateFileA makes the descriptor blocking again.
    return flags | O_NONBLOCK;
}

}  // namespace

HANDLE fd_handle_insert(int fd, bool readable, bool writable)
{
    HANDLE h = handle_insert(std::make_shared<file_object>(fd, readable, writable));
    if (!h)
        close(fd);
    return h;
}

int fd_of_handle(HANDLE h)
{
    std::shared_ptr<file_object> file = handle_get_as<file_object>(h);
    return file ? file->fd() : -1;
}

}  // namespace winport

using namespace winport;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    std::string unix;
    if (!unix_path(lpFileName, unix))
        return INVALID_HANDLE_VALUE;

    bool read, write;
    int flags = open_flags(dwDesiredAccess, dwFlagsAndAttributes,
                           lpSecurityAttributes && lpSecurityAttributes->bInheritHandle, read, write);
    int fd = -1;
    bool existed = false;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        fd = open(unix.c_str(), flags | O_CREAT | O_EXCL, 0666);
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        // Tried as a new file first only to tell the caller whether the file was there.
        fd = open(unix.c_str(), flags | O_CREAT | O_EXCL, 0666);
        if (fd < 0 && errno == EEXIST) {
            existed = true;
            fd = open(unix.c_str(), flags | (dwCreationDisposition == CREATE_ALWAYS ? O_TRUNC : 0));
        }
        break;
    case OPEN_EXISTING:
        fd = open(unix.c_str(), flags);
        break;
    case TRUNCATE_EXISTING:
        fd = open(unix.c_str(), flags | O_TRUNC);
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (fd < 0) {
        int err = errno;
        SetLastError(err == EEXIST ? ERROR_FILE_EXISTS : error_from_path_errno(err, unix));
        return INVALID_HANDLE_VALUE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Windows opens a directory only with backup semantics, which the library never asks for.
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<file_object> file;
    try {
        file = std::make_shared<file_object>(fd, read, write);
    } catch (...) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = handle_insert(file);
    if (!h)
        return INVALID_HANDLE_VALUE;
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    std::shared_ptr<file_object> file = io_file(hFile, lpBuffer, nNumberOfBytesToRead, lpOverlapped, false);
    if (!file)
        return FALSE;
    // A file gives all that was asked for unless it ends first; read(2) may stop short. A
    // pipe gives what its writer has written so far, and fails once every writer is gone.
    char* p = static_cast<char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToRead) {
        ssize_t n = read(file->fd(), p + done, nNumberOfBytesToRead - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            set_errno_error(errno);
            return FALSE;
        }
        if (n == 0 && file->pipe() && nNumberOfBytesToRead > 0) {
            SetLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }
        if (n == 0)
            break;
        done += static_cast<DWORD>(n);
        if (file->pipe())
            break;
    }
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = done;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    std::shared_ptr<file_object> file = io_file(hFile, lpBuffer, nNumberOfBytesToWrite, lpOverlapped, true);
    if (!file)
        return FALSE;
    const char* p = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        ssize_t n = file->pipe() ? pipe_write(file->fd(), p + done, nNumberOfBytesToWrite - done)
                                 : write(file->fd(), p + done, nNumberOfBytesToWrite - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (lpNumberOfBytesWritten)
                *lpNumberOfBytesWritten = done;
            set_errno_error(errno);
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = done;
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    std::shared_ptr<file_object> file = io_file(hFile, nullptr, 0, nullptr, true);
    if (!file)
        return FALSE;
    // EINVAL: a device that keeps nothing to flush.
    if (fsync(file->fd()) != 0 && errno != EINVAL) {
        set_errno_error(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags)
{
    std::string from, to;
    if (!unix_path(lpExistingFileName, from) || !unix_path(lpNewFileName, to))
        return FALSE;
    int rc = (dwFlags & MOVEFILE_REPLACE_EXISTING)
                 ? rename(from.c_str(), to.c_str())
                 : renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (rc != 0) {
        int err = errno;
        if (err == EEXIST || err == ENOTEMPTY)
            SetLastError(ERROR_ALREADY_EXISTS);
        else if (err == EXDEV)
            SetLastError(ERROR_NOT_SAME_DEVICE);
        else
            SetLastError(error_from_path_errno(err, from));
        return FALSE;
    }
    if (dwFlags & MOVEFILE_WRITE_THROUGH) {
        // The rename is in the directory entries; only their flush makes it survive a crash.
        std::string to_dir = parent_of(to);
        std::string from_dir = parent_of(from);
        if (!sync_dir(to_dir) || (from_dir != to_dir && !sync_dir(from_dir))) {
            set_errno_error(errno);
            return FALSE;
        }
    }
    return TRUE;
}

BOOL WINAPI ReplaceFileA(LPCSTR lpReplacedFileName, LPCSTR lpReplacementFileName, LPCSTR lpBackupFileName, DWORD,
                         LPVOID, LPVOID)
{
    if (lpBackupFileName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::string to, from;
    if (!unix_path(lpReplacedFileName, to) || !unix_path(lpReplacementFileName, from))
        return FALSE;
    struct stat st;
    if (stat(to.c_str(), &st) != 0) {
        SetLastError(error_from_path_errno(errno, to));
        return FALSE;
    }
    int fd = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        SetLastError(error_from_path_errno(errno, from));
        return FALSE;
    }
    // Others' access to the file stays as its owner set it. The bits go last: a change of
    // owner clears the set-id bits.
    keep_owner(fd, st);
    int rc = fchmod(fd, st.st_mode & 07777);
    close(fd);
    if (rc != 0 || rename(from.c_str(), to.c_str()) != 0 || !sync_dir(parent_of(to))) {
        SetLastError(error_from_path_errno(errno, to));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetFinalPathNameByHandleA(HANDLE hFile, LPSTR lpszFilePath, DWORD cchFilePath, DWORD dwFlags)
{
    std::shared_ptr<file_object> file = handle_get_as<file_object>(hFile);
    if (!file)
        return 0;
    if (dwFlags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", file->fd());
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) {
        set_errno_error(errno);
        return 0;
    }
    const std::string path = "\\\\?\\" + windows_view(std::string(target, static_cast<std::size_t>(n)));
    if (!lpszFilePath || path.size() >= cchFilePath)
        return static_cast<DWORD>(path.size() + 1);
    std::memcpy(lpszFilePath, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
{
    std::string unix;
    if (!unix_path(lpFileName, unix))
        return FALSE;
    struct stat st;
    if (lstat(unix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(unix.c_str()) != 0) {
        SetLastError(error_from_path_errno(errno, unix));
        return FALSE;
    }
    return TRUE;
}

UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique, LPSTR lpTempFileName)
{
    std::string dir;
    if (!lpTempFileName || !unix_path(lpPathName, dir))
        return 0;
    std::string shown(lpPathName);
    for (char& c : shown)
        if (c == '/')
            c = '\\';
    if (shown.back() != '\\')
        shown += '\\';
    if (dir.back() != '/')
        dir += '/';
    std::string prefix = lpPrefixString ? std::string(lpPrefixString).substr(0, 3) : std::string();

    static std::atomic<unsigned> counter{0};
    unsigned start = uUnique ? (uUnique & 0xFFFF)
                             : ((static_cast<unsigned>(getpid()) * 2654435761u) ^ static_cast<unsigned>(time(nullptr)) ^
                                (counter.fetch_add(1) * 40503u));
    for (unsigned i = 0; i < 0x10000; ++i) {
        unsigned unique = (start + i) & 0xFFFF;
        if (unique == 0)
            continue;
        char name[16];
        std::snprintf(name, sizeof name, "%.3s%X.tmp", prefix.c_str(), unique);
        std::string result = shown + name;
        if (result.size() >= MAX_PATH) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        if (uUnique == 0) {
            int fd = open((dir + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue;
                SetLastError(error_from_path_errno(errno, dir + name));
                return 0;
            }
            close(fd);
        }
        std::memcpy(lpTempFileName, result.c_str(), result.size() + 1);
        return unique;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}

}  // extern "C"
