// The handle table, the last error, and waiting on handles.
#include "handles.h"

#include <winport/winport.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <limits.h>
#include <ctime>
#include <mutex>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace winport {

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

std::atomic<unsigned> forks{0};

void count_fork()
{
    forks.fetch_add(1, std::memory_order_relaxed);
}

// Counted from the library's load on, so that no fork goes unseen.
[[maybe_unused]] const int fork_counter = pthread_atfork(nullptr, nullptr, count_fork);

// A handle value encodes a slot index and the slot's generation, so a handle that was closed
// stays invalid after its slot is reused. Values are multiples of 4, as on Windows, and never
// collide with the pseudo handles (-1, -2).
constexpr unsigned index_bits = 24;
constexpr std::uintptr_t index_mask = (std::uintptr_t{1} << index_bits) - 1;
constexpr std::uint32_t generation_mask = (1u << 24) - 1;

struct slot {
    object_ptr obj;
    std::uint32_t generation = 1;
};

class handle_table {
public:
    HANDLE insert(object_ptr obj)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::size_t index;
        if (!free_.empty()) {
            index = free_.back();
            free_.pop_back();
        } else {
            if (slots_.size() >= index_mask) {
                SetLastError(ERROR_TOO_MANY_OPEN_FILES);
                return nullptr;
            }
            slots_.emplace_back();
            index = slots_.size() - 1;
        }
        slots_[index].obj = std::move(obj);
        return encode(index, slots_[index].generation);
    }

    object_ptr get(HANDLE h)
    {
        std::lock_guard<std::mutex> guard(lock_);
        slot* s = find(h);
        return s ? s->obj : nullptr;
    }

    object_ptr remove(HANDLE h)
    {
        std::lock_guard<std::mutex> guard(lock_);
        slot* s = find(h);
        if (!s)
            return nullptr;
        object_ptr obj = std::move(s->obj);
        s->obj.reset();
        s->generation = (s->generation + 1) & generation_mask;
        if (s->generation == 0)
            s->generation = 1;
        free_.push_back(static_cast<std::size_t>(s - slots_.data()));
        return obj;
    }

private:
    static HANDLE encode(std::size_t index, std::uint32_t generation)
    {
        std::uintptr_t v = (std::uintptr_t{generation} << index_bits) | (index + 1);
        return reinterpret_cast<HANDLE>(v << 2);
    }

    slot* find(HANDLE h)
    {
        std::uintptr_t v = reinterpret_cast<std::uintptr_t>(h);
        if (v == 0 || (v & 3) != 0 || (v >> 2) > ((std::uintptr_t{generation_mask} << index_bits) | index_mask))
            return nullptr;
        v >>= 2;
        std::uintptr_t index = (v & index_mask);
        if (index == 0 || index > slots_.size())
            return nullptr;
        slot& s = slots_[index - 1];
        if (!s.obj || s.generation != (v >> index_bits))
            return nullptr;
        return &s;
    }

    std::mutex lock_;
    std::vector<slot> slots_;
    std::vector<std::size_t> free_;
};

// Never destroyed: handles may be closed from static destructors of other modules.
handle_table& table()
{
    static handle_table* t = new handle_table;
    return *t;
}

// The callbacks of the slots, so that a thread can run them itself before it reports its end.
std::atomic<PFLS_CALLBACK_FUNCTION> fls_callbacks[PTHREAD_KEYS_MAX];
std::atomic<unsigned> fls_keys_used{0};  // one past the highest slot ever allocated

long long monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

object::~object() = default;

void run_fls_callbacks()
{
    // A callback may store values again; the system gives up after as many rounds.
    for (int round = 0; round < PTHREAD_DESTRUCTOR_ITERATIONS; ++round) {
        bool ran = false;
        for (unsigned key = 0, used = fls_keys_used.load(); key < used; ++key) {
            PFLS_CALLBACK_FUNCTION callback = fls_callbacks[key].load(std::memory_order_relaxed);
            if (!callback)
                continue;
            void* value = pthread_getspecific(key);
            if (!value)
                continue;
            pthread_setspecific(key, nullptr);
            callback(value);
            ran = true;
        }
        if (!ran)
            return;
    }
}

DWORD object::wait_alone(DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE handle_insert(object_ptr obj)
{
    return table().insert(std::move(obj));
}

object_ptr handle_get(HANDLE h)
{
    object_ptr obj = table().get(h);
    if (!obj)
        SetLastError(ERROR_INVALID_HANDLE);
    return obj;
}

bool handle_remove(HANDLE h)
{
    if (!table().remove(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

deadline::deadline(DWORD milliseconds)
    : infinite(milliseconds == INFINITE),
      end_ns(infinite ? 0 : monotonic_ns() + static_cast<long long>(milliseconds) * 1000000LL)
{
}

int deadline::remaining_ms() const
{
    if (infinite)
        return -1;
    long long left = end_ns - monotonic_ns();
    if (left <= 0)
        return 0;
    // Round up, so that a wait never ends before its time.
    long long ms = (left + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

DWORD error_from_errno(int err)
{
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_DISK_FULL;
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EIO:
        return ERROR_IO_DEVICE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EPIPE:
        return ERROR_NO_DATA;  // a write to a pipe whose reading end is closed
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

pid_t current_tid()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

unsigned fork_generation()
{
    return forks.load(std::memory_order_relaxed);
}

}  // namespace winport

using namespace winport;

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return last_error;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    last_error = dwErrCode;
}

HANDLE WINAPI GetCurrentProcess(void)
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

DWORD WINAPI GetCurrentProcessId(void)
{
    return static_cast<DWORD>(getpid());
}

DWORD WINAPI GetCurrentThreadId(void)
{
    return static_cast<DWORD>(current_tid());
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    return handle_remove(hObject) ? TRUE : FALSE;
}

BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            LPHANDLE lpTargetHandle, DWORD, BOOL, DWORD dwOptions)
{
    // Handles live in this process only; the current-process pseudo handle is the one
    // process that can be named.
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object_ptr obj = handle_get(hSourceHandle);
    if (!obj)
        return FALSE;
    HANDLE copy = handle_insert(obj);
    if (!copy)
        return FALSE;
    if (dwOptions & DUPLICATE_CLOSE_SOURCE)
        handle_remove(hSourceHandle);
    if (lpTargetHandle)
        *lpTargetHandle = copy;
    else
        handle_remove(copy);
    return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (bWaitAll && nCount > 1) {
        // Nothing in the library waits for all; an atomic take of several auto-reset objects
        // is not worth building for it.
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    object_ptr objs[MAXIMUM_WAIT_OBJECTS];
    std::uint64_t tokens[MAXIMUM_WAIT_OBJECTS];
    pollfd fds[MAXIMUM_WAIT_OBJECTS];
    // Every wait that began ends, on every way out.
    struct waits {
        object_ptr* objs;
        std::uint64_t* tokens;
        DWORD begun = 0;
        ~waits()
        {
            for (DWORD i = 0; i < begun; ++i)
                objs[i]->wait_end(tokens[i]);
        }
    } under_way{objs, tokens};
    for (DWORD i = 0; i < nCount; ++i) {
        objs[i] = handle_get(lpHandles[i]);
        if (!objs[i])
            return WAIT_FAILED;
        if (nCount == 1 && !objs[i]->waitable())
            return objs[i]->wait_alone(dwMilliseconds);
        if (!objs[i]->waitable()) {
            // Objects without a descriptor (named mutexes) wait only on their own.
            SetLastError(ERROR_NOT_SUPPORTED);
            return WAIT_FAILED;
        }
        if (!objs[i]->wait_prepare())
            return WAIT_FAILED;
        fds[i].fd = objs[i]->wait_fd();
        fds[i].events = objs[i]->wait_events();
        fds[i].revents = 0;
        tokens[i] = objs[i]->wait_begin();
        under_way.begun = i + 1;
    }

    deadline until(dwMilliseconds);
    for (;;) {
        int n = poll(fds, nCount, until.remaining_ms());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (n == 0)
            return WAIT_TIMEOUT;
        // The lowest signalled index wins, as on Windows.
        for (DWORD i = 0; i < nCount; ++i) {
            if (fds[i].revents & POLLNVAL) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            if (fds[i].revents == 0)
                continue;
            DWORD got = objs[i]->acquire_since(tokens[i]);
            if (got == wait_lost)
                continue;
            return got + i;
        }
        if (until.remaining_ms() == 0)
            return WAIT_TIMEOUT;
    }
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;)
            pause();
    }
    timespec ts{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Thread-local slots are pthread keys: a key's destructor is the slot's callback.
DWORD WINAPI FlsAlloc(PFLS_CALLBACK_FUNCTION lpCallback)
{
    pthread_key_t key;
    if (pthread_key_create(&key, lpCallback) != 0) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FLS_OUT_OF_INDEXES;
    }
    static_assert(sizeof(pthread_key_t) <= sizeof(DWORD), "pthread_key_t does not fit a slot index");
    if (key < PTHREAD_KEYS_MAX) {
        fls_callbacks[key].store(lpCallback);
        unsigned used = fls_keys_used.load();
        while (used < key + 1 && !fls_keys_used.compare_exchange_weak(used, key + 1)) {
        }
    }
    return static_cast<DWORD>(key);
}

BOOL WINAPI FlsFree(DWORD dwFlsIndex)
{
    if (pthread_key_delete(static_cast<pthread_key_t>(dwFlsIndex)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwFlsIndex < PTHREAD_KEYS_MAX)
        fls_callbacks[dwFlsIndex].store(nullptr);
    return TRUE;
}

PVOID WINAPI FlsGetValue(DWORD dwFlsIndex)
{
    SetLastError(ERROR_SUCCESS);
    return pthread_getspecific(static_cast<pthread_key_t>(dwFlsIndex));
}

BOOL WINAPI FlsSetValue(DWORD dwFlsIndex, PVOID lpFlsData)
{
    if (pthread_setspecific(static_cast<pthread_key_t>(dwFlsIndex), lpFlsData) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
