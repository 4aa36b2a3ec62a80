// The run-time's file-system names (access, stat, find, full path, streams), on the path
// mapping so that every path the library hands them is a Windows one.
#include "path.h"

#include <winport/winport.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

using namespace winport;

namespace {

// Maps a path for a run-time call; false with errno set as the run-time sets it.
bool crt_path(const char* path, std::string& out)
{
    if (!path) {
        errno = EINVAL;
        return false;
    }
    if (!unix_path(path, out)) {
        errno = ENOENT;
        return false;
    }
    return true;
}

// Hands a result string out through the caller's buffer or a new one of at least size bytes.
char* hand_out(const std::string& s, char* buffer, std::size_t size)
{
    if (!buffer) {
        std::size_t n = size > s.size() ? size : s.size() + 1;
        buffer = static_cast<char*>(std::malloc(n));
        if (!buffer) {
            errno = ENOMEM;
            return nullptr;
        }
    } else if (s.size() >= size) {
        errno = ERANGE;
        return nullptr;
    }
    std::memcpy(buffer, s.c_str(), s.size() + 1);
    return buffer;
}

struct search {
    std::vector<__finddata64_t> found;
    std::size_t next = 0;
};

std::mutex searches_lock;
std::map<std::intptr_t, std::unique_ptr<search>> searches;
std::intptr_t last_search = 0;

bool describe(const std::string& unix, const char* name, __finddata64_t& fd)
{
    struct stat st;
    if (stat(unix.c_str(), &st) != 0 && lstat(unix.c_str(), &st) != 0)
        return false;
    std::size_t len = std::strlen(name);
    if (len >= sizeof fd.name)
        return false;
    std::memset(&fd, 0, sizeof fd);
    std::memcpy(fd.name, name, len + 1);
    if (S_ISDIR(st.st_mode))
        fd.attrib |= _A_SUBDIR;
    // Linux marks a file hidden by its name.
    if (name[0] == '.' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
        fd.attrib |= _A_HIDDEN;
    if (!(st.st_mode & S_IWUSR))
        fd.attrib |= _A_RDONLY;
    fd.time_create = st.st_ctime;
    fd.time_access = st.st_atime;
    fd.time_write = st.st_mtime;
    fd.size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::int64_t>(st.st_size);
    return true;
}

// A text-mode stream over a descriptor.
struct text_stream {
    explicit text_stream(int descriptor) : fd(descriptor) {}
    int fd;
    bool cr_pending = false;  // a CR read last, whose successor decides what it becomes
    bool ended = false;       // Ctrl-Z or the end of the file was read
    char raw[4096];
    std::size_t raw_pos = 0;
    std::size_t raw_len = 0;

    static ssize_t read_text(void* cookie, char* out, std::size_t size)
    {
        text_stream& s = *static_cast<text_stream*>(cookie);
        std::size_t produced = 0;
        while (produced < size && !s.ended) {
            if (s.raw_pos == s.raw_len) {
                // Hand out what there is before waiting for more.
                if (produced > 0)
                    break;
                ssize_t n = read(s.fd, s.raw, sizeof s.raw);
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    return -1;
                }
                if (n == 0) {
                    s.ended = true;
                    break;
                }
                s.raw_pos = 0;
                s.raw_len = static_cast<std::size_t>(n);
            }
            char c = s.raw[s.raw_pos++];
            if (s.cr_pending) {
                s.cr_pending = false;
                if (c == '\n') {
                    out[produced++] = '\n';
                    continue;
                }
                out[produced++] = '\r';
                --s.raw_pos;  // c is looked at again
                continue;
            }
            if (c == '\r')
                s.cr_pending = true;
            else if (c == 0x1A)  // Ctrl-Z ends a text file
                s.ended = true;
            else
                out[produced++] = c;
        }
        if (s.ended && s.cr_pending && produced < size) {
            s.cr_pending = false;
            out[produced++] = '\r';
        }
        return static_cast<ssize_t>(produced);
    }

    static ssize_t write_text(void* cookie, const char* in, std::size_t size)
    {
        text_stream& s = *static_cast<text_stream*>(cookie);
        char out[8192];
        std::size_t used = 0;
        while (used < size) {
            std::size_t n = 0;
            std::size_t start = used;
            while (used < size && n + 2 <= sizeof out) {
                if (in[used] == '\n')
                    out[n++] = '\r';
                out[n++] = in[used++];
            }
            for (std::size_t done = 0; done < n;) {
                ssize_t w = write(s.fd, out + done, n - done);
                if (w < 0) {
                    if (errno == EINTR)
                        continue;
                    return start > 0 ? static_cast<ssize_t>(start) : -1;
                }
                done += static_cast<std::size_t>(w);
            }
        }
        return static_cast<ssize_t>(size);
    }

    static int close_text(void* cookie)
    {
        text_stream* s = static_cast<text_stream*>(cookie);
        int rc = close(s->fd);
        delete s;
        return rc;
    }

    static cookie_io_functions_t functions()
    {
        cookie_io_functions_t f{};
        f.read = &read_text;
        f.write = &write_text;
        f.close = &close_text;
        return f;
    }
};

}  // namespace

extern "C" {

int _access(const char* path, int mode)
{
    std::string unix;
    if (!crt_path(path, unix))
        return -1;
    int how = F_OK;
    if (mode & 2)
        how |= W_OK;
    if (mode & 4)
        how |= R_OK;
    if (access(unix.c_str(), how) != 0)
        return -1;
    // Windows refuses writing to a read-only file even to its administrator: a file without
    // its owner's write permission is read-only here, whoever asks.
    struct stat st;
    if ((mode & 2) && stat(unix.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR)) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

int _stat64(const char* path, struct _stat64* buffer)
{
    std::string unix;
    if (!buffer) {
        errno = EINVAL;
        return -1;
    }
    if (!crt_path(path, unix))
        return -1;
    struct stat st;
    if (stat(unix.c_str(), &st) != 0)
        return -1;
    std::memset(buffer, 0, sizeof *buffer);
    buffer->st_dev = static_cast<unsigned>(st.st_dev);
    buffer->st_ino = static_cast<unsigned short>(st.st_ino);
    buffer->st_mode = static_cast<unsigned short>(st.st_mode);
    buffer->st_nlink = static_cast<short>(st.st_nlink);
    buffer->st_uid = static_cast<short>(st.st_uid);
    buffer->st_gid = static_cast<short>(st.st_gid);
    buffer->st_rdev = static_cast<unsigned>(st.st_rdev);
    buffer->st_size = static_cast<std::int64_t>(st.st_size);
#ifdef st_atime
    buffer->st_atim = st.st_atim;
    buffer->st_mtim = st.st_mtim;
    buffer->st_ctim = st.st_ctim;
#else
    buffer->st_atime = st.st_atime;
    buffer->st_mtime = st.st_mtime;
    buffer->st_ctime = st.st_ctime;
#endif
    return 0;
}

int _unlink(const char* path)
{
    std::string unix;
    if (!crt_path(path, unix))
        return -1;
    return unlink(unix.c_str()) == 0 ? 0 : -1;
}

int _chmod(const char* path, int mode)
{
    std::string unix;
    if (!crt_path(path, unix))
        return -1;
    struct stat st;
    if (stat(unix.c_str(), &st) != 0)
        return -1;
    mode_t bits = st.st_mode & 07777;
    bits = (mode & _S_IWRITE) ? (bits | S_IWUSR) : (bits & ~(S_IWUSR | S_IWGRP | S_IWOTH));
    return chmod(unix.c_str(), bits) == 0 ? 0 : -1;
}

char* _fullpath(char* absPath, const char* relPath, size_t maxLength)
{
    if (!relPath || !*relPath)
        return _getcwd(absPath, static_cast<int>(maxLength > 0x7fffffff ? 0x7fffffff : maxLength));
    std::string full;
    if (!full_path(relPath, full))
        return nullptr;
    return hand_out(full, absPath, maxLength);
}

char* _getcwd(char* buffer, int maxlen)
{
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return nullptr;
    return hand_out(windows_view(cwd), buffer, maxlen < 0 ? 0 : static_cast<std::size_t>(maxlen));
}

std::intptr_t _findfirst64(const char* filespec, struct __finddata64_t* fileinfo)
{
    std::string unix;
    if (!fileinfo) {
        errno = EINVAL;
        return -1;
    }
    if (!crt_path(filespec, unix))
        return -1;
    auto s = std::make_unique<search>();
    std::size_t slash = unix.rfind('/');
    // Kept with its trailing separator: entries are named by appending to it.
    std::string dir = slash == std::string::npos ? std::string("./") : unix.substr(0, slash + 1);
    std::string pattern = slash == std::string::npos ? unix : unix.substr(slash + 1);
    if (pattern.find_first_of("*?") == std::string::npos) {
        __finddata64_t fd;
        // The name of "C:\" or "\" is the path itself.
        std::string name = pattern.empty() ? std::string(filespec) : pattern;
        if (describe(unix, name.c_str(), fd))
            s->found.push_back(fd);
    } else {
        // "*.*" matches every name on Windows, also one without a dot.
        if (pattern == "*.*")
            pattern = "*";
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                __finddata64_t fd;
                if (fnmatch(pattern.c_str(), e->d_name, 0) == 0 && describe(dir + e->d_name, e->d_name, fd))
                    s->found.push_back(fd);
            }
            closedir(d);
        }
        std::sort(s->found.begin(), s->found.end(),
                  [](const __finddata64_t& a, const __finddata64_t& b) { return std::strcmp(a.name, b.name) < 0; });
    }
    if (s->found.empty()) {
        errno = ENOENT;
        return -1;
    }
    *fileinfo = s->found[0];
    s->next = 1;
    std::lock_guard<std::mutex> guard(searches_lock);
    std::intptr_t handle = ++last_search;
    searches[handle] = std::move(s);
    return handle;
}

int _findnext64(std::intptr_t handle, struct __finddata64_t* fileinfo)
{
    std::lock_guard<std::mutex> guard(searches_lock);
    auto it = searches.find(handle);
    if (it == searches.end() || !fileinfo) {
        errno = EINVAL;
        return -1;
    }
    search& s = *it->second;
    if (s.next >= s.found.size()) {
        errno = ENOENT;
        return -1;
    }
    *fileinfo = s.found[s.next++];
    return 0;
}

int _findclose(std::intptr_t handle)
{
    std::lock_guard<std::mutex> guard(searches_lock);
    if (searches.erase(handle) == 0) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

FILE* _fsopen(const char* filename, const char* mode, int)
{
    std::string unix;
    if (!mode || !*mode) {
        errno = EINVAL;
        return nullptr;
    }
    if (!crt_path(filename, unix))
        return nullptr;
    bool binary = std::strchr(mode, 'b') != nullptr;
    std::string m;
    for (const char* p = mode; *p; ++p)
        if (*p != 't' && *p != 'b')
            m += *p;
    // Streams are not passed to child processes.
    m += 'e';
    // Text mode, the run-time's default, turns CR LF into LF when reading and LF into CR LF
    // when writing. Update modes ('+') would need positions that count translated bytes; they
    // stay untranslated.
    if (binary || m.find('+') != std::string::npos)
        return std::fopen(unix.c_str(), m.c_str());
    int flags = O_CLOEXEC | (m[0] == 'r' ? O_RDONLY : O_WRONLY | O_CREAT | (m[0] == 'a' ? O_APPEND : O_TRUNC));
    if (m[0] != 'r' && m[0] != 'w' && m[0] != 'a') {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open(unix.c_str(), flags, 0666);
    if (fd < 0)
        return nullptr;
    auto* stream = new (std::nothrow) text_stream(fd);
    FILE* f = stream ? fopencookie(stream, m[0] == 'r' ? "r" : "w", text_stream::functions()) : nullptr;
    if (!f) {
        delete stream;
        close(fd);
        errno = ENOMEM;
    }
    return f;
}

}  // extern "C"
