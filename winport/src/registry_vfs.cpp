// The registry's SQLite VFS: the system's own, with the locks of the WAL index kept in shared
// memory and the frames of each WAL commit written at once (see registry_vfs.h).
//
// A write in WAL mode takes and drops the index's locks six times; as fcntl() calls they
// cost more than the rest of the write. Here each is a few stores under a robust
// process-shared mutex. What fcntl() gave for free, the release of a dead process's locks,
// comes from a liveness lock: every process holds an fcntl() write lock on a byte of the lock
// file that is its own for as long as it lives, and a lock found in the way is taken from a
// holder whose byte is free.
#include "registry_vfs.h"

#include "handles.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winport {
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
// The lock bytes of the WAL index in the -shm file, as SQLite's own locking uses them.
constexpr off_t shm_lock_base = 120;

constexpr std::uint32_t table_magic = 0x4b4c5257;  // "WRLK"
constexpr std::uint32_t table_layout_version = 2;

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

// With the sizes, which differ between builds for other word sizes.
constexpr std::uint32_t table_layout = table_layout_version << 24 |
                                       static_cast<std::uint32_t>(sizeof(table_header)) << 8 |
                                       static_cast<std::uint32_t>(sizeof(process_entry));

constexpr off_t file_size_for(int entries)
{
    return entries_offset + static_cast<off_t>(entries) * static_cast<off_t>(sizeof(process_entry));
}

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

// The lock table of one database, in this process.
class lock_table {
public:
    // Maps (creating if need be) the table beside the database; null when it cannot.
    static lock_table* of(const std::string& db_path);

    // The table's mutex held, every entry mapped, and dead holders' locks gone if its last
    // holder died in it.
    class guard {
    public:
        explicit guard(lock_table& t);
        ~guard()
        {
            if (locked_)
                pthread_mutex_unlock(&t_.t_->mutex);
        }
        guard(const guard&) = delete;
        guard& operator=(const guard&) = delete;
        bool ok() const { return ok_; }

    private:
        lock_table& t_;
        bool locked_ = false;
        bool ok_ = false;
    };

    // With the guard held: this process's entry, registered on first use; -1 when none can be
    // had (every process id has an entry, or the table cannot grow).
    int self();
    // With the guard held: whether locks first..first+n-1 are free for a connection of this
    // process to take (shared, or exclusive), after taking them from holders that died.
    // Other connections of the process stand in the way as other processes do; the
    // connection's own shared locks (own_shared, a mask) do not.
    bool free_for(int me, int first, int n, bool exclusive, std::uint16_t own_shared);

    table_header* t_ = nullptr;
    process_entry* entries_ = nullptr;

private:
    // The file is the user's to damage: no count in it is trusted as an index.
    int entries_used() const { return t_->used < 0 || t_->used > mapped_ ? mapped_ : t_->used; }
    bool alive(int entry) const;
    bool claim(int entry);
    bool map_entries();
    bool grow();
    void reap(int entry);
    void recover();

    dev_t dev_ = 0;
    ino_t ino_ = 0;
    int fd_ = -1;
    int me_ = -1;
    int mapped_ = 0;  // entries this process has mapped
    // The fork generation that me_ was claimed in: a fork() child holds none of its parent's
    // fcntl() locks, so it needs an entry of its own.
    unsigned generation_ = 0;
};

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

// ---- files -----------------------------------------------------------------------------------

constexpr int frame_header = 24;  // a WAL frame's header, written just before its page
// Gathered WAL writes go to the file before they pass this size: the system VFS writes no more
// than 128 KiB in one call, and a frame (header and page) is at most 64 KiB and 24 bytes.
constexpr std::size_t max_gathered = std::size_t{1} << 16;

struct vfs_file {
    sqlite3_file base;
    sqlite3_file* real;
    // The database: the lock table and the locks of the index this connection holds.
    lock_table* table;
    std::string* db_path;
    std::uint16_t shared_mask;
    std::uint16_t exclusive_mask;
    bool shm_pinned;
    // The WAL: writes that continue one another, from pending_offset on, gathered until the
    // last frame of a commit (or anything else done with the file) sends them in one write.
    sqlite3_int64 pending_offset;
    std::vector<unsigned char>* pending;
    bool commit_pending;  // the last header gathered is a commit's: its page ends the commit
};

sqlite3_vfs* system_vfs = nullptr;
sqlite3_vfs registry_vfs_object;
sqlite3_io_methods db_methods;
sqlite3_io_methods wal_methods;

vfs_file* as_file(sqlite3_file* f)
{
    return reinterpret_cast<vfs_file*>(f);
}

int flush_pending(vfs_file* f)
{
    if (!f->pending || f->pending->empty())
        return SQLITE_OK;
    int rc =
        f->real->pMethods->xWrite(f->real, f->pending->data(), static_cast<int>(f->pending->size()), f->pending_offset);
    f->pending->clear();
    f->commit_pending = false;
    return rc;
}

// ---- forwarded methods; the WAL's write what they gathered first ----

int x_close(sqlite3_file* file)
{
    vfs_file* f = as_file(file);
    int rc = flush_pending(f);
    int rc2 = f->real->pMethods ? f->real->pMethods->xClose(f->real) : SQLITE_OK;
    delete f->pending;
    delete f->db_path;
    f->pending = nullptr;
    f->db_path = nullptr;
    return rc != SQLITE_OK ? rc : rc2;
}

int x_read(sqlite3_file* file, void* buf, int amount, sqlite3_int64 offset)
{
    vfs_file* f = as_file(file);
    int rc = flush_pending(f);
    return rc != SQLITE_OK ? rc : f->real->pMethods->xRead(f->real, buf, amount, offset);
}

int x_write(sqlite3_file* file, const void* buf, int amount, sqlite3_int64 offset)
{
    vfs_file* f = as_file(file);
    return f->real->pMethods->xWrite(f->real, buf, amount, offset);
}

// The WAL: SQLite writes each frame as its header and then its page, and a commit's frames
// one after another; they reach the file in one write when the commit's last page is there.
// Uncommitted frames are no part of the database, so those lost in a crash before that write
// are lost as a crash before the commit would lose them. This connection finds its own
// uncommitted frames through the WAL index before they are written: every read writes what
// was gathered first.
int x_wal_write(sqlite3_file* file, const void* buf, int amount, sqlite3_int64 offset)
{
    vfs_file* f = as_file(file);
    auto size = static_cast<std::size_t>(amount);
    bool continues = !f->pending->empty() &&
                     offset == f->pending_offset + static_cast<sqlite3_int64>(f->pending->size()) &&
                     f->pending->size() + size <= max_gathered;
    if (!continues) {
        int rc = flush_pending(f);
        if (rc != SQLITE_OK)
            return rc;
        f->pending_offset = offset;
    }
    try {
        f->pending->insert(f->pending->end(), static_cast<const unsigned char*>(buf),
                           static_cast<const unsigned char*>(buf) + size);
    } catch (const std::bad_alloc&) {
        // The commit fails whole: none of its frames after the last write reaches the file.
        f->pending->clear();
        f->commit_pending = false;
        return SQLITE_IOERR_NOMEM;
    }
    if (amount == frame_header) {
        // Bytes 4 to 7 of a frame's header: the database's size after a commit, 0 for a frame
        // that ends none.
        const auto* h = static_cast<const unsigned char*>(buf);
        f->commit_pending = (h[4] | h[5] | h[6] | h[7]) != 0;
        return SQLITE_OK;
    }
    return f->commit_pending ? flush_pending(f) : SQLITE_OK;
}

int x_truncate(sqlite3_file* file, sqlite3_int64 size)
{
    vfs_file* f = as_file(file);
    int rc = flush_pending(f);
    return rc != SQLITE_OK ? rc : f->real->pMethods->xTruncate(f->real, size);
}

int x_sync(sqlite3_file* file, int flags)
{
    vfs_file* f = as_file(file);
    int rc = flush_pending(f);
    return rc != SQLITE_OK ? rc : f->real->pMethods->xSync(f->real, flags);
}

int x_file_size(sqlite3_file* file, sqlite3_int64* size)
{
    vfs_file* f = as_file(file);
    int rc = flush_pending(f);
    return rc != SQLITE_OK ? rc : f->real->pMethods->xFileSize(f->real, size);
}

int x_lock(sqlite3_file* file, int level)
{
    return as_file(file)->real->pMethods->xLock(as_file(file)->real, level);
}

int x_unlock(sqlite3_file* file, int level)
{
    return as_file(file)->real->pMethods->xUnlock(as_file(file)->real, level);
}

int x_check_reserved_lock(sqlite3_file* file, int* out)
{
    return as_file(file)->real->pMethods->xCheckReservedLock(as_file(file)->real, out);
}

int x_file_control(sqlite3_file* file, int op, void* arg)
{
    vfs_file* f = as_file(file);
    if (op == SQLITE_FCNTL_VFSNAME) {
        // Our name in front of the system VFS's, as SQLite's own shims do.
        int rc = f->real->pMethods->xFileControl(f->real, op, arg);
        if (rc == SQLITE_OK) {
            char** name = static_cast<char**>(arg);
            char* both = sqlite3_mprintf("%s/%z", registry_vfs_object.zName, *name);
            *name = both;
        }
        return rc;
    }
    int rc = flush_pending(f);
    return rc != SQLITE_OK ? rc : f->real->pMethods->xFileControl(f->real, op, arg);
}

int x_sector_size(sqlite3_file* file)
{
    return as_file(file)->real->pMethods->xSectorSize(as_file(file)->real);
}

int x_device_characteristics(sqlite3_file* file)
{
    return as_file(file)->real->pMethods->xDeviceCharacteristics(as_file(file)->real);
}

int x_fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out)
{
    return as_file(file)->real->pMethods->xFetch(as_file(file)->real, offset, amount, out);
}

int x_unfetch(sqlite3_file* file, sqlite3_int64 offset, void* p)
{
    return as_file(file)->real->pMethods->xUnfetch(as_file(file)->real, offset, p);
}

void x_shm_barrier(sqlite3_file* file)
{
    as_file(file)->real->pMethods->xShmBarrier(as_file(file)->real);
}

// ---- the WAL index --------------------------------------------------------------------------

// The shared fcntl() lock on the index's lock bytes that keeps programs with SQLite's own
// locking from writing while we use the index. It lives on the -shm file, whose descriptors
// SQLite closes when the last connection of the process lets go of the index (which drops
// every lock of the process on it), so each connection takes it again; descriptors of ours
// are never closed, as that too would drop SQLite's locks on the file.
bool pin_shm(const std::string& db_path)
{
    static std::mutex lock;
    struct kept {
        dev_t dev;
        ino_t ino;
        int fd;
    };
    static auto* fds = new std::vector<kept>;
    std::string shm = db_path + "-shm";
    std::lock_guard<std::mutex> guard(lock);
    struct stat st;
    if (stat(shm.c_str(), &st) != 0)
        return false;
    int fd = -1;
    for (const kept& k : *fds) {
        if (k.dev == st.st_dev && k.ino == st.st_ino)
            fd = k.fd;
    }
    if (fd < 0) {
        fd = open(shm.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return false;
        struct stat opened;
        if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
            close(fd);  // replaced meanwhile; SQLite holds nothing on the file we opened
            return false;
        }
        fds->push_back({st.st_dev, st.st_ino, fd});
    }
    // A writer with SQLite's own locking may hold a byte for a moment: wait it out.
    return set_lock(fd, F_RDLCK, shm_lock_base, nlock, true);
}

int x_shm_map(sqlite3_file* file, int region, int size, int extend, void volatile** out)
{
    vfs_file* f = as_file(file);
    int rc = f->real->pMethods->xShmMap(f->real, region, size, extend, out);
    if (rc == SQLITE_OK && f->table && !f->shm_pinned && *out) {
        if (!pin_shm(*f->db_path))
            return SQLITE_IOERR_SHMOPEN;
        f->shm_pinned = true;
    }
    return rc;
}

int x_shm_lock(sqlite3_file* file, int first, int n, int flags)
{
    vfs_file* f = as_file(file);
    if (!f->table)
        return f->real->pMethods->xShmLock(f->real, first, n, flags);
    if (first < 0 || n < 1 || first + n > nlock)
        return SQLITE_MISUSE;
    auto mask = static_cast<std::uint16_t>((1u << (first + n)) - (1u << first));

    lock_table& table = *f->table;
    lock_table::guard g(table);
    if (!g.ok())
        return SQLITE_IOERR_LOCK;
    int me = table.self();
    if (me < 0)
        return SQLITE_IOERR_LOCK;
    table_header& t = *table.t_;
    process_entry& mine = table.entries_[me];

    if (flags & SQLITE_SHM_UNLOCK) {
        for (int i = first; i < first + n; ++i) {
            auto bit = static_cast<std::uint16_t>(1u << i);
            if (f->exclusive_mask & bit) {
                t.exclusive[i] = 0;
                mine.held[i] = 0;
            } else if (f->shared_mask & bit) {
                --t.shared[i];
                --mine.held[i];
            }
        }
        f->exclusive_mask &= static_cast<std::uint16_t>(~mask);
        f->shared_mask &= static_cast<std::uint16_t>(~mask);
        return SQLITE_OK;
    }
    if (flags & SQLITE_SHM_SHARED) {
        if ((f->shared_mask & mask) == mask)
            return SQLITE_OK;
        if (!table.free_for(me, first, n, false, 0))
            return SQLITE_BUSY;
        for (int i = first; i < first + n; ++i) {
            ++t.shared[i];
            ++mine.held[i];
        }
        f->shared_mask |= mask;
        return SQLITE_OK;
    }
    if ((f->exclusive_mask & mask) == mask)
        return SQLITE_OK;
    if (!table.free_for(me, first, n, true, f->shared_mask))
        return SQLITE_BUSY;
    for (int i = first; i < first + n; ++i) {
        if (f->shared_mask & (1u << i))
            --t.shared[i];  // a shared lock of the same connection becomes the exclusive one
        t.exclusive[i] = me + 1;
        mine.held[i] = -1;
    }
    f->shared_mask &= static_cast<std::uint16_t>(~mask);
    f->exclusive_mask |= mask;
    return SQLITE_OK;
}

int x_shm_unmap(sqlite3_file* file, int delete_flag)
{
    vfs_file* f = as_file(file);
    if (f->table && (f->shared_mask | f->exclusive_mask))
        x_shm_lock(file, 0, nlock, SQLITE_SHM_UNLOCK | SQLITE_SHM_EXCLUSIVE);
    f->shm_pinned = false;
    return f->real->pMethods->xShmUnmap(f->real, delete_flag);
}

// ---- the VFS -------------------------------------------------------------------------------

void fill_methods(sqlite3_io_methods& m, const sqlite3_io_methods& real, bool wal)
{
    m.iVersion = real.iVersion < 3 ? real.iVersion : 3;
    m.xClose = x_close;
    m.xRead = x_read;
    m.xWrite = wal ? x_wal_write : x_write;
    m.xTruncate = x_truncate;
    m.xSync = x_sync;
    m.xFileSize = x_file_size;
    m.xLock = x_lock;
    m.xUnlock = x_unlock;
    m.xCheckReservedLock = x_check_reserved_lock;
    m.xFileControl = x_file_control;
    m.xSectorSize = x_sector_size;
    m.xDeviceCharacteristics = x_device_characteristics;
    if (m.iVersion >= 2) {
        m.xShmMap = x_shm_map;
        m.xShmLock = x_shm_lock;
        m.xShmBarrier = x_shm_barrier;
        m.xShmUnmap = x_shm_unmap;
    }
    if (m.iVersion >= 3) {
        m.xFetch = x_fetch;
        m.xUnfetch = x_unfetch;
    }
}

int x_open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags)
{
    vfs_file* f = as_file(file);
    std::memset(f, 0, sizeof *f);
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    int rc = system_vfs->xOpen(system_vfs, name, f->real, flags, out_flags);
    if (rc != SQLITE_OK || !f->real->pMethods) {
        f->base.pMethods = nullptr;
        return rc;
    }
    // The method tables are built once from the first file's, which every file of the
    // system VFS shares.
    static std::once_flag methods_once;
    std::call_once(methods_once, [f] {
        fill_methods(db_methods, *f->real->pMethods, false);
        fill_methods(wal_methods, *f->real->pMethods, true);
    });
    if (flags & SQLITE_OPEN_WAL) {
        f->pending = new (std::nothrow) std::vector<unsigned char>;
        if (!f->pending) {
            f->real->pMethods->xClose(f->real);
            return SQLITE_NOMEM;
        }
        f->base.pMethods = &wal_methods;
    } else {
        f->base.pMethods = &db_methods;
    }
    if ((flags & SQLITE_OPEN_MAIN_DB) && name) {
        f->db_path = new (std::nothrow) std::string(name);
        if (f->db_path)
            f->table = lock_table::of(*f->db_path);
    }
    return SQLITE_OK;
}

}  // namespace

const char* registry_vfs()
{
    static const char* name = []() -> const char* {
        system_vfs = sqlite3_vfs_find(nullptr);
        if (!system_vfs)
            return nullptr;
        registry_vfs_object = *system_vfs;
        registry_vfs_object.pNext = nullptr;
        registry_vfs_object.zName = "winport-registry";
        registry_vfs_object.szOsFile = static_cast<int>(sizeof(vfs_file)) + system_vfs->szOsFile;
        registry_vfs_object.xOpen = x_open;
        if (sqlite3_vfs_register(&registry_vfs_object, 0) != SQLITE_OK)
            return nullptr;
        return registry_vfs_object.zName;
    }();
    return name;
}

// SQLite's own mapping of the first region of the WAL index, through the VFS: the memory that
// its readers and writers use.
void wal_index_header::attach(sqlite3* db)
{
    shm_ = nullptr;
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file || !file->pMethods ||
        file->pMethods->iVersion < 2 || !file->pMethods->xShmMap)
        return;
    volatile void* region = nullptr;
    if (file->pMethods->xShmMap(file, 0, 32768, 0, &region) == SQLITE_OK && region)
        shm_ = static_cast<const volatile unsigned char*>(region);
}

bool wal_index_header::read(stamp& s) const
{
    if (!shm_)
        return false;
    // Acquire loads keep the reads of the second copy after those of the first.
    auto* words = const_cast<const std::uint32_t*>(reinterpret_cast<const volatile std::uint32_t*>(shm_));
    constexpr std::size_t n = sizeof s.bytes / sizeof(std::uint32_t);
    std::uint32_t first[n];
    bool same = true;
    for (std::size_t i = 0; i < n; ++i)
        first[i] = __atomic_load_n(&words[i], __ATOMIC_ACQUIRE);
    for (std::size_t i = 0; i < n; ++i)
        same = same && __atomic_load_n(&words[n + i], __ATOMIC_ACQUIRE) == first[i];
    std::memcpy(s.bytes, first, sizeof s.bytes);
    // isInit (byte 12) says the header was built at all.
    return same && s.bytes[12] == 1;
}

}  // namespace winport
