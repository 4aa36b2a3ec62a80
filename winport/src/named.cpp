#include "named.h"

#include "handles.h"
#include "prefix.h"

#include <winport/winport.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winport {

std::string hash_hex(const std::string& text)
{
    // FNV-1a, 64 bits.
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char out[17];
    static const char digits[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i, h >>= 4)
        out[i] = digits[h & 15];
    out[16] = '\0';
    return out;
}

namespace {

// A directory that only the caller can reach: its own, not a link, and not writable by others.
bool check_private_dir(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        SetLastError(static_cast<DWORD>(error_from_errno(errno)));
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

// The file name of an object: names are free text, file names are not, so every byte outside
// a safe set is written as %XX; a name whose encoding would be too long for a file name is
// known by two independent hashes of it instead.
std::string file_name_of(const std::string& name)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "o.";
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    if (out.size() > 200)
        out = "h." + hash_hex(name) + hash_hex(name + "\x01");
    return out;
}

}  // namespace

std::string named_object_dir()
{
    static std::once_flag once;
    static std::string dir;
    static DWORD failure = ERROR_SUCCESS;
    std::call_once(once, [] {
        const std::string& prefix = prefix_dir();
        if (prefix.empty()) {
            failure = GetLastError();
            return;
        }
        std::string path;
        if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run == '/')
            path = std::string(run) + "/winport-" + hash_hex(prefix);
        else
            path = "/dev/shm/winport-" + std::to_string(geteuid()) + "-" + hash_hex(prefix);
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            failure = static_cast<DWORD>(error_from_errno(errno));
            return;
        }
        dir = path;
    });
    if (dir.empty()) {
        SetLastError(failure);
        return dir;
    }
    // Checked at every use, not only the first: a directory opened to others later (or
    // replaced) is refused from then on.
    if (!check_private_dir(dir))
        return std::string();
    return dir;
}

void named_file::with_dir_locked(const std::string& dir, const std::function<void(int)>& fn)
{
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (dfd >= 0) {
        while (flock(dfd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    fn(dfd);
    if (dfd >= 0)
        close(dfd);  // releases the lock
}

namespace {

// The pages of objects that this process let go of but that others may still hold, kept
// mapped for the next open of the same file: mapping a page and its first touch cost more
// than all the rest of an open, and a process that opens an object only to set it and close
// it again would pay for them every time. A kept mapping holds the file's inode, so no other
// file can have its identity meanwhile.
struct kept_page {
    dev_t dev;
    ino_t ino;
    void* page;
    std::size_t size;
};

constexpr std::size_t kept_max = 8;

std::mutex& kept_lock()
{
    static auto* m = new std::mutex;
    return *m;
}

std::vector<kept_page>& kept()
{
    static auto* k = new std::vector<kept_page>;
    return *k;
}

void* take_kept(dev_t dev, ino_t ino, std::size_t size)
{
    std::lock_guard<std::mutex> hold(kept_lock());
    for (auto it = kept().begin(); it != kept().end(); ++it) {
        if (it->dev == dev && it->ino == ino && it->size == size) {
            void* page = it->page;
            kept().erase(it);
            return page;
        }
    }
    return nullptr;
}

void keep(const kept_page& k)
{
    kept_page dropped{};
    {
        std::lock_guard<std::mutex> hold(kept_lock());
        if (kept().size() == kept_max) {
            dropped = kept().front();
            kept().erase(kept().begin());
        }
        kept().push_back(k);
    }
    if (dropped.page)
        munmap(dropped.page, dropped.size);
}

}  // namespace

named_file::~named_file()
{
    bool removed = false;
    with_dir_locked(dir_, [&](int dfd) {
        // Nobody else holds the object when no other process has a shared lock on its file.
        // Nobody can take one meanwhile: an open under the directory lock waits for it, and
        // one without it that gets its lock after this one finds the file unlinked.
        if (dfd >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            if (on_last_close_)
                on_last_close_(dfd, file_);
            unlinkat(dfd, file_.c_str(), 0);
            removed = true;
        }
        close(fd_);
    });
    if (removed || ino_ == 0)
        munmap(page_, size_);
    else
        keep(kept_page{dev_, ino_, page_, size_});
}

struct named_file_access {
    static named_open_result open(const char* name, named_kind kind, std::size_t size,
                                  const std::function<void(void*)>& init,
                                  std::function<void(int, const std::string&)> on_last_close)
    {
        named_open_result result;
        if (std::strlen(name) > MAX_PATH) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return result;
        }
        std::string dir = named_object_dir();
        if (dir.empty())
            return result;
        std::string file = file_name_of(name);
        std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        std::size_t mapped = (size + page - 1) / page * page;
        if (open_existing(dir, file, kind, mapped, result))
            return finish(result, dir, file, std::move(on_last_close));
        DWORD error = ERROR_SUCCESS;
        named_file_access::locked_open(dir, file, kind, mapped, init, result, error);
        if (!result.file) {
            SetLastError(error);
            return result;
        }
        return finish(result, dir, file, std::move(on_last_close));
    }

    static named_open_result finish(named_open_result& result, const std::string& dir, const std::string& file,
                                    std::function<void(int, const std::string&)> on_last_close)
    {
        result.file->dir_ = dir;
        result.file->file_ = file;
        result.file->on_last_close_ = std::move(on_last_close);
        return std::move(result);
    }

    // The hold on an opened object: its descriptor, with the shared lock, and its page. Null
    // when there is no memory for it, which the caller reports: nothing may throw here, where
    // the directory lock or the descriptor and page would be left behind.
    static std::unique_ptr<named_file> holding(int fd, void* page, std::size_t mapped, const struct stat& st)
    {
        std::unique_ptr<named_file> file(new (std::nothrow) named_file);
        if (!file)
            return file;
        file->fd_ = fd;
        file->page_ = page;
        file->size_ = mapped;
        file->dev_ = st.st_dev;
        file->ino_ = st.st_ino;
        return file;
    }

    // Opens an object that exists, is whole and is held by some process, without the
    // directory lock, which is there for the making and the removing of files: an open that
    // meets either under way gives way to the one under the lock. False, with nothing held,
    // when it did not succeed.
    static bool open_existing(const std::string& dir, const std::string& file, named_kind kind, std::size_t mapped,
                              named_open_result& result)
    {
        int fd = ::open((dir + "/" + file).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return false;
        struct stat st;
        // A file that nobody holds is being made, or was left by processes that were killed.
        // Once the shared lock is had, its holder can remove it no more, and one removed
        // before is seen unlinked (the last holder unlinks it before letting go).
        bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK && flock(fd, LOCK_SH) == 0 &&
                    fstat(fd, &st) == 0 && st.st_nlink > 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                    static_cast<std::size_t>(st.st_size) >= mapped;
        void* page = held ? take_kept(st.st_dev, st.st_ino, mapped) : MAP_FAILED;
        if (!page)
            page = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
        // The maker writes the kind last: a page without it is not filled in yet.
        if (page != MAP_FAILED &&
            __atomic_load_n(static_cast<std::uint32_t*>(page), __ATOMIC_ACQUIRE) == static_cast<std::uint32_t>(kind)) {
            result.file = holding(fd, page, mapped, st);
            if (result.file)
                return true;
        }
        if (page != MAP_FAILED)
            munmap(page, mapped);
        close(fd);
        return false;
    }

    static void locked_open(const std::string& dir, const std::string& file, named_kind kind, std::size_t mapped,
                            const std::function<void(void*)>& init, named_open_result& result, DWORD& error)
    {
        named_file::with_dir_locked(dir, [&](int dfd) {
            if (dfd < 0) {
                error = static_cast<DWORD>(error_from_errno(errno));
                return;
            }
            open_attempt a{dfd, file};
            struct stat st;
            a.fd = openat(dfd, file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
            if (a.fd >= 0) {
                if (fstat(a.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
                    static_cast<std::size_t>(st.st_size) < sizeof(std::uint32_t)) {
                    error = ERROR_ACCESS_DENIED;
                    return;
                }
                if (flock(a.fd, LOCK_EX | LOCK_NB) == 0) {
                    // Left behind by processes that ended without closing it (killed): the
                    // object no longer exists. Unlinked before it is let go, so that an open
                    // without the directory lock that takes it next sees it gone.
                    unlinkat(dfd, file.c_str(), 0);
                    close(a.fd);
                    a.fd = -1;
                } else if (flock(a.fd, LOCK_SH) != 0) {
                    error = static_cast<DWORD>(error_from_errno(errno));
                    return;
                }
            }
            if (a.fd < 0) {
                a.fd = openat(dfd, file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
                a.made = a.fd >= 0;
                if (!a.made || ftruncate(a.fd, static_cast<off_t>(mapped)) != 0 || flock(a.fd, LOCK_SH) != 0 ||
                    fstat(a.fd, &st) != 0) {
                    error = static_cast<DWORD>(error_from_errno(errno));
                    return;
                }
            }
            void* page = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, a.fd, 0);
            if (page == MAP_FAILED) {
                error = ERROR_NOT_ENOUGH_MEMORY;
                return;
            }
            a.page = page;
            a.mapped = mapped;
            auto* first = static_cast<std::uint32_t*>(page);
            if (a.made) {
                init(page);
                __atomic_store_n(first, static_cast<std::uint32_t>(kind), __ATOMIC_RELEASE);
            } else if (*first != static_cast<std::uint32_t>(kind)) {
                // One namespace for all kinds, as on Windows.
                error = ERROR_INVALID_HANDLE;
                return;
            }
            result.file = holding(a.fd, page, mapped, st);
            if (!result.file) {
                error = ERROR_NOT_ENOUGH_MEMORY;
                return;
            }
            result.created = a.made;
            a.fd = -1;
            a.page = nullptr;
            a.made = false;
        });
    }

private:
    // What an open has got so far. An open that gives up returns it all: the mapping and the
    // descriptor go, and a file the open made is removed, so that nobody finds an object that
    // was never set up.
    struct open_attempt {
        int dfd;
        const std::string& file;
        int fd = -1;
        bool made = false;
        void* page = nullptr;
        std::size_t mapped = 0;

        ~open_attempt()
        {
            if (page)
                munmap(page, mapped);
            if (made)
                unlinkat(dfd, file.c_str(), 0);
            if (fd >= 0)
                close(fd);
        }
    };
};

named_open_result named_open(const char* name, named_kind kind, std::size_t size,
                             const std::function<void(void*)>& init,
                             std::function<void(int, const std::string&)> on_last_close)
{
    return named_file_access::open(name, kind, size, init, std::move(on_last_close));
}

namespace {

std::map<std::string, std::weak_ptr<object>>& cache()
{
    static auto* c = new std::map<std::string, std::weak_ptr<object>>;
    return *c;
}

}  // namespace

std::mutex& named_cache_lock()
{
    static auto* m = new std::mutex;
    return *m;
}

object_ptr named_cache_find(const std::string& name)
{
    auto it = cache().find(name);
    if (it == cache().end())
        return nullptr;
    object_ptr obj = it->second.lock();
    if (!obj)
        cache().erase(it);
    return obj;
}

void named_cache_put(const std::string& name, const object_ptr& obj)
{
    cache()[name] = obj;
}

}  // namespace winport
