// The registry's SQLite VFS: the system's own, with the locks of the WAL index kept in the
// lock table (registry_locks.h) and the frames of each WAL commit written at once (see
// registry_vfs.h).
#include "registry_vfs.h"

#include "registry_locks.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winport {
namespace {

// The lock bytes of the WAL index in the -shm file, as SQLite's own locking uses them.
constexpr off_t shm_lock_base = 120;

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
    held_locks held;
    bool shm_pinned;
    const volatile unsigned char* shm;  // the first region of the index, once mapped
    wal_index_header::write_record* writes;
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
    delete f->writes;
    f->pending = nullptr;
    f->db_path = nullptr;
    f->writes = nullptr;
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
    return set_lock(fd, F_RDLCK, shm_lock_base, SQLITE_SHM_NLOCK, true);
}

// The header of the index as it stands, in a mapped first region; false while a commit writes it.
bool read_header(const volatile unsigned char* shm, wal_index_header::stamp& s)
{
    // Acquire loads keep the reads of the second copy after those of the first.
    auto* words = const_cast<const std::uint32_t*>(reinterpret_cast<const volatile std::uint32_t*>(shm));
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

int x_shm_map(sqlite3_file* file, int region, int size, int extend, void volatile** out)
{
    vfs_file* f = as_file(file);
    int rc = f->real->pMethods->xShmMap(f->real, region, size, extend, out);
    if (rc == SQLITE_OK && region == 0 && *out)
        f->shm = static_cast<const volatile unsigned char*>(*out);
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
    if (first < 0 || n < 1 || first + n > SQLITE_SHM_NLOCK)
        return SQLITE_MISUSE;
    // Lock 0 is the writers': while it is held nobody else commits, so the header read just
    // after it was taken is the state that the write starts from, and the one read just before
    // it goes is that state with the write's changes.
    bool write_lock = first == 0 && (flags & SQLITE_SHM_EXCLUSIVE) && f->writes && f->shm;
    if (write_lock && (flags & SQLITE_SHM_UNLOCK) && (f->held.exclusive & 1))
        f->writes->after_ok = read_header(f->shm, f->writes->after);
    int rc = f->table->shm_lock(f->held, first, n, flags);
    if (write_lock && (flags & SQLITE_SHM_LOCK) && rc == SQLITE_OK) {
        ++f->writes->count;
        f->writes->before_ok = read_header(f->shm, f->writes->before);
        f->writes->after_ok = false;
    }
    return rc;
}

int x_shm_unmap(sqlite3_file* file, int delete_flag)
{
    vfs_file* f = as_file(file);
    if (f->table && (f->held.shared | f->held.exclusive))
        x_shm_lock(file, 0, SQLITE_SHM_NLOCK, SQLITE_SHM_UNLOCK | SQLITE_SHM_EXCLUSIVE);
    f->shm_pinned = false;
    f->shm = nullptr;
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
        f->writes = new (std::nothrow) wal_index_header::write_record{};
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
    writes_ = nullptr;
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file || !file->pMethods ||
        file->pMethods->iVersion < 2 || !file->pMethods->xShmMap)
        return;
    volatile void* region = nullptr;
    if (file->pMethods->xShmMap(file, 0, 32768, 0, &region) == SQLITE_OK && region)
        shm_ = static_cast<const volatile unsigned char*>(region);
    if (file->pMethods == &db_methods)
        writes_ = as_file(file)->writes;
}

bool wal_index_header::read(stamp& s) const
{
    return shm_ && read_header(shm_, s);
}

std::uint32_t wal_index_header::folded() const
{
    // nBackfill, the first field of the checkpoint information after the header's two copies.
    constexpr std::size_t backfill_offset = 96;
    return shm_ ? __atomic_load_n(reinterpret_cast<const volatile std::uint32_t*>(shm_ + backfill_offset),
                                  __ATOMIC_ACQUIRE)
                : 0;
}

}  // namespace winport
