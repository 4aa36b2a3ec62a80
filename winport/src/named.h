// The named-object directory: where the kernel objects that processes share by name (events,
// mutexes) keep their state. Internal to winport.
#ifndef WINPORT_SRC_NAMED_H
#define WINPORT_SRC_NAMED_H

#include "handles.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <sys/types.h>

namespace winport {

// $XDG_RUNTIME_DIR/winport-<hash of prefix>, or /dev/shm/winport-<uid>-<hash of prefix>,
// mode 0700, made on first use. Empty with the last error set when it cannot be made, or
// (ERROR_ACCESS_DENIED) when it exists but is not the caller's own or others may write it.
std::string named_object_dir();

enum class named_kind : std::uint32_t { event = 0x76454e57, mutex = 0x784d4e57, process = 0x70454e57 };

// The state file of one named object, mapped into the process, with the process's hold on
// it. Every process that holds the object keeps a shared lock on the file; the first holder
// made the object, and the last one to let go removes it, so that the object lives exactly
// while some process holds it, as a kernel object does.
class named_file {
public:
    ~named_file();
    void* page() const { return page_; }
    const std::string& dir() const { return dir_; }
    const std::string& file() const { return file_; }
    // Runs fn while no process can open or create a named object, with the directory's
    // descriptor (or -1 when it cannot be locked).
    static void with_dir_locked(const std::string& dir, const std::function<void(int)>& fn);

private:
    friend struct named_file_access;
    int fd_ = -1;
    void* page_ = nullptr;
    std::size_t size_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;  // 0 where the identity of the file is not known
    std::string dir_;
    std::string file_;
    std::function<void(int dirfd, const std::string& file)> on_last_close_;
};

struct named_open_result {
    std::unique_ptr<named_file> file;
    bool created = false;
};

// Opens the object `name` of the given kind, or creates it with `size` bytes of state that
// `init` fills in (the page starts zeroed, its first word is the kind). `on_last_close` runs,
// with the directory locked, when the process that lets go of the object last does. On
// failure the result holds no file and the last error is set: ERROR_INVALID_HANDLE when
// the name belongs to an object of another kind, ERROR_FILENAME_EXCED_RANGE for a name
// longer than MAX_PATH.
named_open_result named_open(const char* name, named_kind kind, std::size_t size,
                             const std::function<void(void*)>& init,
                             std::function<void(int dirfd, const std::string& file)> on_last_close = nullptr);

// A short stable hash, as hex digits, of a text.
std::string hash_hex(const std::string& text);

// The process-wide cache of named objects, so that opening a name that the process already
// holds gives the same object.
std::mutex& named_cache_lock();
object_ptr named_cache_find(const std::string& name);
void named_cache_put(const std::string& name, const object_ptr& obj);

// A handle to a new or opened object; when there is one, the last error says which
// (ERROR_SUCCESS or ERROR_ALREADY_EXISTS), as the Create calls tell it.
inline HANDLE insert_new(object_ptr obj, DWORD error)
{
    HANDLE h = handle_insert(std::move(obj));
    if (h)
        SetLastError(error);
    return h;
}

// Opens the named object of type T that the process already holds, or opens or makes it
// through make(name) which returns the object and whether it was created.
template <class T, class Make>
HANDLE open_named(const char* name, Make make)
{
    std::lock_guard<std::mutex> guard(named_cache_lock());
    if (object_ptr held = named_cache_find(name)) {
        if (!std::dynamic_pointer_cast<T>(held)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return insert_new(std::move(held), ERROR_ALREADY_EXISTS);
    }
    bool created = false;
    std::shared_ptr<T> obj;
    try {
        obj = make(created);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!obj)
        return nullptr;
    named_cache_put(name, obj);
    return insert_new(std::move(obj), created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
}

}  // namespace winport

#endif
