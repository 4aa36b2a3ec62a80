// The lock table of the registry database's WAL index.
//
// A write in WAL mode takes and drops the index's locks six times; as fcntl() calls they
// cost more than the rest of the write. Here each is a few stores under a robust
// process-shared mutex. What fcntl() gave for free, the release of a dead process's locks,
// comes from a liveness lock: every process holds an fcntl() write lock on a byte of the lock
// file that is its own for as long as it lives, and a lock found in the way is taken from a
// holder whose byte is free.
#include "registry_locks.h"

#include "handles.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winport {

bool set_lock(int fd, short type, off_t start, off_t len, bool wait)
{
    struct flock f {};
    f.l_type = type;
    f.l_whence = SEEK_SET;
    f.l_start = start;
    f.l_len = len;
    int rc;
    while ((rc = fcntl(fd, wait ? F_SETLKW : F_SETLK, &f)) != 0 && errno == EINTR) {
    }
    return rc == 0;
}

namespace {

constexpr int nlock = SQLITE_SHM_NLOCK;
// The table starts small and doubles when every entry belongs to a living process, up to one
// entry for every process id Linux can give out (PID_MAX_LIMIT).
constexpr int first_entries = 64;
constexpr int max_entries = 1 << 22;
// Byte offsets in the lock file: the first serialises its creation, those from alive_base on
// are the processes' liveness bytes. Neither needs the file to reach that far. Both stay the
// same in every build, whatever its table looks like.
constexpr off_t init_byte = 0;
constexpr off_t alive_base = off_t{1} << 20;
constexpr off_t alive_span = off_t{max_entries};
// The entries have a mapping of their own, which grows; the header with the mutex never moves
// while a thread may wait on it. The offset suits every page size.
constexpr off_t entries_offset = 65536;

constexpr std::uint32_t table_magic = 0x4b4c5257;  // "WRLK"
constexpr std::uint32_t table_layout_version = 2;

}  // namespace

struct process_entry {
    std::int32_t in_use;
    std::int32_t pid;  // for whoever looks at the file; liveness is the lock byte
    // Per lock: -1 held exclusively by a connection of the process, n > 0 shared by n.
    std::int16_t held[nlock];
};

struct table_header {
    std::uint32_t magic;
    std::uint32_t layout;
    pthread_mutex_t mutex;
    // What the entries add up to, so that a lock is granted without looking at them.
    std::int32_t exclusive[nlock];  // holder's entry + 1, or 0
    std::int32_t shared[nlock];     // connections holding it shared, in all processes
    std::int32_t used;              // entries from here on have never been in use
    std::int32_t capacity;          // entries the file has room for
    std::int32_t dirty;             // a process died holding the mutex: the sums need rebuilding
};
static_assert(sizeof(table_header) <= entries_offset, "the header fits before the entries");

namespace {

// With the sizes, which differ between builds for other word sizes.
constexpr std::uint32_t table_layout = table_layout_version << 24 |
                                       static_cast<std::uint32_t>(sizeof(table_header)) << 8 |
                                       static_cast<std::uint32_t>(sizeof(process_entry));

constexpr off_t file_size_for(int entries)
{
    return entries_offset + static_cast<off_t>(entries) * static_cast<off_t>(sizeof(process_entry));
}

// Whether another process holds a lock on any of the bytes; true when it cannot be told, so
// that nobody's locks are taken on a guess.
bool held_by_others(int fd, off_t start, off_t len)
{
    struct flock f {};
    f.l_type = F_WRLCK;
    f.l_whence = SEEK_SET;
    f.l_start = start;
    f.l_len = len;
    return fcntl(fd, F_GETLK, &f) != 0 || f.l_type != F_UNLCK;
}

}  // namespace

lock_table::guard::guard(lock_table& t) : t_(t)
{
    int rc = pthread_mutex_lock(&t.t_->mutex);
    if (rc != 0 && rc != EOWNERDEAD)
        return;
    locked_ = true;
    if (rc == EOWNERDEAD) {
        // A process died inside: its entry and the sums may be half written. Marked first, so
        // that a process that cannot map the entries now leaves the rebuild to the next.
        pthread_mutex_consistent(&t.t_->mutex);
        t.t_->dirty = 1;
    }
    // Another process may have grown the table since this one last looked.
    if (!t.map_entries())
        return;
    if (t.t_->dirty)
        t.recover();
    ok_ = true;
}

lock_table::guard::~guard()
{
    if (locked_)
        pthread_mutex_unlock(&t_.t_->mutex);
}

int lock_table::entries_used() const
{
    return t_->used < 0 || t_->used > mapped_ ? mapped_ : t_->used;
}

bool lock_table::map_entries()
{
    int want = t_->capacity;
    if (want <= mapped_)
        return true;
    struct stat st;
    // Mapped past the end of the file, an entry would kill the process that touches it.
    if (want > max_entries || fstat(fd_, &st) != 0 || st.st_size < file_size_for(want))
        return false;
    std::size_t bytes = static_cast<std::size_t>(want) * sizeof(process_entry);
    void* map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, entries_offset);
    if (map == MAP_FAILED)
        return false;
    if (entries_)
        munmap(entries_, static_cast<std::size_t>(mapped_) * sizeof(process_entry));
    entries_ = static_cast<process_entry*>(map);
    mapped_ = want;
    return true;
}

bool lock_table::grow()
{
    if (mapped_ >= max_entries)
        return false;
    int want = mapped_ < first_entries ? first_entries : mapped_ > max_entries / 2 ? max_entries : mapped_ * 2;
    struct stat st;
    if (fstat(fd_, &st) != 0)
        return false;
    if (st.st_size < file_size_for(want) && ftruncate(fd_, file_size_for(want)) != 0)
        return false;
    int before = t_->capacity;
    t_->capacity = want;
    if (map_entries())
        return true;
    t_->capacity = before;
    return false;
}

bool lock_table::alive(int entry) const
{
    // Our own lock never shows; the caller never asks about its own entry.
    return held_by_others(fd_, alive_base + entry, 1);
}

// Takes the entry's liveness byte: false while the entry's process lives.
bool lock_table::claim(int entry)
{
    return set_lock(fd_, F_WRLCK, alive_base + entry, 1, false);
}

void lock_table::reap(int entry)
{
    process_entry& e = entries_[entry];
    for (int i = 0; i < nlock; ++i) {
        if (e.held[i] < 0 && t_->exclusive[i] == entry + 1)
            t_->exclusive[i] = 0;
        else if (e.held[i] > 0)
            t_->shared[i] -= e.held[i];
    }
    std::memset(&e, 0, sizeof e);
}

void lock_table::recover()
{
    int me = generation_ == fork_generation() ? me_ : -1;
    int used = entries_used();
    for (int e = 0; e < used; ++e) {
        if (e != me && entries_[e].in_use && !alive(e))
            std::memset(&entries_[e], 0, sizeof entries_[e]);
    }
    // The sums again, from the entries of the living.
    std::memset(t_->exclusive, 0, sizeof t_->exclusive);
    std::memset(t_->shared, 0, sizeof t_->shared);
    for (int e = 0; e < used; ++e) {
        const process_entry& p = entries_[e];
        if (!p.in_use)
            continue;
        for (int i = 0; i < nlock; ++i) {
            if (p.held[i] < 0)
                t_->exclusive[i] = e + 1;
            else
                t_->shared[i] += p.held[i];
        }
    }
    t_->used = used;
    t_->dirty = 0;
}

int lock_table::self()
{
    unsigned gen = fork_generation();
    if (me_ >= 0 && generation_ == gen)
        return me_;
    me_ = -1;
    // An entry nobody has, then one whose process is gone (its locks go with it), and only
    // when every entry belongs to a living process, a larger table.
    int found = -1;
    for (int e = 0, used = entries_used(); e < used && found < 0; ++e) {
        if (!entries_[e].in_use && claim(e))
            found = e;
    }
    for (int e = entries_used(); found < 0 && e < mapped_; ++e) {
        if (claim(e))
            found = e;
    }
    for (int e = 0, used = entries_used(); e < used && found < 0; ++e) {
        if (entries_[e].in_use && claim(e)) {
            reap(e);
            found = e;
        }
    }
    while (found < 0) {
        int from = mapped_;
        if (!grow())
            return -1;
        for (int e = from; e < mapped_ && found < 0; ++e) {
            if (claim(e))
                found = e;
        }
    }
    process_entry& p = entries_[found];
    std::memset(&p, 0, sizeof p);
    p.pid = static_cast<std::int32_t>(getpid());
    p.in_use = 1;
    if (found >= t_->used)
        t_->used = found + 1;
    me_ = found;
    generation_ = gen;
    return me_;
}

bool lock_table::free_for(int me, int first, int n, bool exclusive, std::uint16_t own_shared)
{
    auto clear = [&] {
        for (int i = first; i < first + n; ++i) {
            int others = t_->shared[i] - ((own_shared >> i) & 1);
            if (t_->exclusive[i] != 0 || (exclusive && others != 0))
                return false;
        }
        return true;
    };
    if (clear())
        return true;
    // Someone is in the way: take the locks of holders that died.
    bool reaped = false;
    for (int e = 0, used = entries_used(); e < used; ++e) {
        const process_entry& p = entries_[e];
        if (e == me || !p.in_use)
            continue;
        bool holds = false;
        for (int i = first; i < first + n; ++i)
            holds = holds || p.held[i] != 0;
        if (holds && !alive(e)) {
            reap(e);
            reaped = true;
        }
    }
    return reaped && clear();
}

namespace {

bool init_table(table_header& t)
{
    std::memset(&t, 0, sizeof t);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(&t.mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0)
        return false;
    t.capacity = first_entries;
    t.layout = table_layout;
    __atomic_store_n(&t.magic, table_magic, __ATOMIC_RELEASE);
    return true;
}

}  // namespace

lock_table* lock_table::of(const std::string& db_path)
{
    // One table per database file for the life of the process, whatever path names it.
    static std::mutex tables_lock;
    static auto* tables = new std::vector<std::unique_ptr<lock_table>>;
    static auto* names = new std::vector<std::pair<std::string, lock_table*>>;
    std::lock_guard<std::mutex> lock(tables_lock);
    for (auto& n : *names) {
        if (n.first == db_path)
            return n.second;
    }

    std::string file = db_path + "-lock";
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat st;
    if (fd < 0)
        return nullptr;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return nullptr;
    }
    for (auto& t : *tables) {
        if (t->dev_ == st.st_dev && t->ino_ == st.st_ino) {
            // Another name of a file we hold locks on: closing this descriptor would drop
            // them, so it stays open.
            names->emplace_back(db_path, t.get());
            return t.get();
        }
    }

    // Made by whoever comes first, under a blocking lock, so a maker that dies midway leaves
    // no half-made table to the next. A table that is not this build's (another build's, or
    // a damaged one) is made anew only when no process is alive to use it.
    constexpr std::size_t header_size = sizeof(table_header);
    void* map = MAP_FAILED;
    if (set_lock(fd, F_WRLCK, init_byte, 1, true)) {
        bool fits = st.st_size >= static_cast<off_t>(header_size);
        if (fits)
            map = mmap(nullptr, header_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        auto* t = static_cast<table_header*>(map);
        bool ours = map != MAP_FAILED && t->magic == table_magic && t->layout == table_layout;
        bool readable = !fits || map != MAP_FAILED;
        if (!ours && readable && !held_by_others(fd, alive_base, alive_span)) {
            if (map != MAP_FAILED)
                munmap(map, header_size);
            map = MAP_FAILED;
            // Emptied first, so that no entry of the old table survives into the new one.
            if (ftruncate(fd, 0) == 0 && ftruncate(fd, file_size_for(first_entries)) == 0)
                map = mmap(nullptr, header_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            ours = map != MAP_FAILED && init_table(*static_cast<table_header*>(map));
        }
        if (!ours && map != MAP_FAILED) {
            munmap(map, header_size);
            map = MAP_FAILED;
        }
        set_lock(fd, F_UNLCK, init_byte, 1, false);
    }
    if (map == MAP_FAILED) {
        close(fd);  // no table of ours is on this file
        return nullptr;
    }
    auto t = std::make_unique<lock_table>();
    t->dev_ = st.st_dev;
    t->ino_ = st.st_ino;
    t->fd_ = fd;  // never closed: that would drop this process's liveness lock
    t->t_ = static_cast<table_header*>(map);
    names->emplace_back(db_path, t.get());
    tables->push_back(std::move(t));
    return tables->back().get();
}

int lock_table::shm_lock(held_locks& held, int first, int n, int flags)
{
    auto mask = static_cast<std::uint16_t>((1u << (first + n)) - (1u << first));

    guard g(*this);
    if (!g.ok())
        return SQLITE_IOERR_LOCK;
    int me = self();
    if (me < 0)
        return SQLITE_IOERR_LOCK;
    table_header& t = *t_;
    process_entry& mine = entries_[me];

    if (flags & SQLITE_SHM_UNLOCK) {
        for (int i = first; i < first + n; ++i) {
            auto bit = static_cast<std::uint16_t>(1u << i);
            if (held.exclusive & bit) {
                t.exclusive[i] = 0;
                mine.held[i] = 0;
            } else if (held.shared & bit) {
                --t.shared[i];
                --mine.held[i];
            }
        }
        held.exclusive &= static_cast<std::uint16_t>(~mask);
        held.shared &= static_cast<std::uint16_t>(~mask);
        return SQLITE_OK;
    }
    if (flags & SQLITE_SHM_SHARED) {
        if ((held.shared & mask) == mask)
            return SQLITE_OK;
        if (!free_for(me, first, n, false, 0))
            return SQLITE_BUSY;
        for (int i = first; i < first + n; ++i) {
            ++t.shared[i];
            ++mine.held[i];
        }
        held.shared |= mask;
        return SQLITE_OK;
    }
    if ((held.exclusive & mask) == mask)
        return SQLITE_OK;
    if (!free_for(me, first, n, true, held.shared))
        return SQLITE_BUSY;
    for (int i = first; i < first + n; ++i) {
        if (held.shared & (1u << i))
            --t.shared[i];  // a shared lock of the same connection becomes the exclusive one
        t.exclusive[i] = me + 1;
        mine.held[i] = -1;
    }
    held.shared &= static_cast<std::uint16_t>(~mask);
    held.exclusive |= mask;
    return SQLITE_OK;
}

}  // namespace winport
