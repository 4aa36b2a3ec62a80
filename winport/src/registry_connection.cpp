// The connections to the registry database: one per thread, opened on first use, with the
// file made private and the schema made or checked; a fork() child opens its own. And the
// thread that folds each process's writes back into the database.
#include "registry_db.h"

#include "handles.h"
#include "prefix.h"
#include "registry_vfs.h"

#include <winport/winport.h>

#include <sqlite3.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace winport {
namespace reg {

std::atomic<bool> damaged{false};

LONG sql_status(int rc)
{
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
        damaged.store(true, std::memory_order_relaxed);
        return ERROR_BADDB;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
        return ERROR_DISK_FULL;
    case SQLITE_TOOBIG:
        return ERROR_INVALID_PARAMETER;
    case SQLITE_CONSTRAINT:
        // Values and subkeys refer to their key: a write under a key that another handle
        // deleted meanwhile fails here.
        return rc == SQLITE_CONSTRAINT_FOREIGNKEY ? ERROR_KEY_DELETED : ERROR_REGISTRY_IO_FAILED;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

namespace {

// SQLite asks again while another connection holds the lock it needs. Writers hold it for
// microseconds, so the first waits are short; the limit only ends a wait for a process that
// is stuck.
int busy_wait(void*, int count)
{
    constexpr int max_tries = 60000;  // about a minute
    if (count >= max_tries)
        return 0;
    long us = count < 5 ? 50L << count : 1000L;
    timespec ts{0, us * 1000L};
    nanosleep(&ts, nullptr);
    return 1;
}

}  // namespace

LONG connection::open()
{
    std::string path = prefix_path("registry.db");
    if (path.empty())
        return static_cast<LONG>(GetLastError());
    // SQLite would create the file readable by all; the registry is the user's own. Its WAL and
    // shared-memory files take the database file's mode.
    bool writable = true;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        writable = false;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0)
        return static_cast<LONG>(error_from_errno(errno));
    ::close(fd);

    int version = 0;
    LONG status = connect(path, writable, false, version);
    struct stat wal;
    if (status == ERROR_ACCESS_DENIED && !writable && stat((path + "-wal").c_str(), &wal) != 0 && errno == ENOENT) {
        // SQLite reads a WAL database only beside -wal and -shm files that it finds or can make.
        // Where the database may not be written and no WAL is left, the folder is the reason:
        // nobody writes this registry, and it is read as the file that does not change.
        sqlite3_close(db_);
        db_ = nullptr;
        status = connect(path, false, true, version);
    }
    if (status != ERROR_SUCCESS)
        return status;
    if (version == 0) {
        if (readonly_)
            return ERROR_ACCESS_DENIED;
        if ((status = create_schema()) != ERROR_SUCCESS)
            return status;
    } else if (version != schema_version) {
        // A database of another program, or of a later schema than this one knows.
        return ERROR_BADDB;
    }
    if (!unchanging_)
        cache.attach(db_);
    return ERROR_SUCCESS;
}

// Opens the database and reads its schema version.
LONG connection::connect(const std::string& path, bool writable, bool unchanging, int& version)
{
    int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
    std::string name = path;
    if (unchanging) {
        static const char hex[] = "0123456789ABCDEF";
        name = "file:";
        for (unsigned char ch : path) {
            if (std::isalnum(ch) || std::strchr("/-._~", ch)) {
                name += static_cast<char>(ch);
            } else {
                name += '%';
                name += hex[ch >> 4];
                name += hex[ch & 15];
            }
        }
        name += "?immutable=1";
        flags |= SQLITE_OPEN_URI;
    }
    int rc = sqlite3_open_v2(name.c_str(), &db_, flags, registry_vfs());
    if (rc != SQLITE_OK)
        return sql_status(rc);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, busy_wait, nullptr);
    readonly_ = !writable || sqlite3_db_readonly(db_, "main") == 1;
    unchanging_ = unchanging;

    // A page cache of up to 16 MiB, filled as pages are read, holds the pages of a registry of
    // 100,000 keys: SQLite's default of 2 MiB made every lookup in one that large a read.
    LONG status = exec("PRAGMA foreign_keys = ON; PRAGMA cell_size_check = ON; PRAGMA cache_size = -16384");
    // A registry's rows are tens of bytes, and a write puts each page it changes into the WAL
    // whole: with pages of 1 KiB (in a database made here; one that exists keeps its own) a new
    // key with its value writes 8 KiB where 4 KiB pages made it 32 KiB. The WAL is folded back
    // into the database once it holds 4 MiB, whatever the page size, so that the fsync()s that
    // end a checkpoint come after as many bytes of writes as they did with SQLite's default.
    if (status == ERROR_SUCCESS && !readonly_)
        status = exec("PRAGMA page_size = 1024; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL");
    if (status == ERROR_SUCCESS && !readonly_) {
        sqlite3_stmt* page = nullptr;
        if (sqlite3_prepare_v2(db_, "PRAGMA page_size", -1, &page, nullptr) == SQLITE_OK &&
            sqlite3_step(page) == SQLITE_ROW && sqlite3_column_int(page, 0) > 0)
            checkpoint_frames_ = (4 << 20) / sqlite3_column_int(page, 0);
        sqlite3_finalize(page);
        sqlite3_wal_hook(db_, wal_committed, this);
    }
    if (status != ERROR_SUCCESS)
        return status;
    sqlite3_stmt* s = nullptr;
    rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &s, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW)
        version = sqlite3_column_int(s, 0), rc = SQLITE_OK;
    sqlite3_finalize(s);
    return sql_status(rc);
}

// ---- checkpoints -----------------------------------------------------------------------------

namespace {

// Folds the WAL back into the database (a checkpoint) off the writers' threads.
//
// A checkpoint writes back each page that the WAL's frames changed and syncs the WAL and the
// database. Random sets across 100,000 keys change some 2,000 distinct pages in 4 MiB of WAL:
// tens of milliseconds, which SQLite's automatic checkpoint puts on the one set that happens
// to fill the WAL. Here that set only wakes a thread of the process, which checkpoints through
// a connection of its own as SQLite's automatic checkpoint would (passive, with the same
// syncs): what a crash may lose stays as it was, and readers find every commit in the WAL
// meanwhile.
//
// The WAL starts again from its beginning only when a write begins with every frame folded
// back; under writes that never pause, each checkpoint leaves those written while it ran. So
// once the WAL holds four times as much, the writer folds back the rest itself, as SQLite
// would, and the WAL stays bounded.
class checkpointer {
public:
    explicit checkpointer(unsigned generation) : generation(generation) {}

    // Asks for a checkpoint of the database at `path`; false when no thread can do it.
    bool request(const char* path)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!started_ && !start())
            return false;
        if (!wanted_) {
            wanted_ = true;
            path_ = path;
            changed_.notify_one();
        }
        return true;
    }

    // The fork generation it serves: a fork() child has none of its parent's threads.
    const unsigned generation;
    // In a fork() child, the parent's: kept with its connection, never used.
    checkpointer* parent = nullptr;

private:
    bool start()
    {
        // Signals go to the threads of the application, never to this one.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        try {
            std::thread([this] { run(); }).detach();
            started_ = true;
        } catch (const std::system_error&) {
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return started_;
    }

    void run()
    {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            changed_.wait(guard, [this] { return wanted_; });
            wanted_ = false;
            std::string path = path_;
            guard.unlock();
            if (!db_ || path != open_path_) {
                sqlite3_close(db_);
                db_ = nullptr;
                open_path_ = path;
                // Opened as the writers open it; the first statement opens the WAL.
                if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, registry_vfs()) ==
                    SQLITE_OK) {
                    sqlite3_busy_handler(db_, busy_wait, nullptr);
                    sqlite3_exec(db_, "PRAGMA synchronous = NORMAL; SELECT 1 FROM sqlite_schema LIMIT 1", nullptr,
                                 nullptr, nullptr);
                } else {
                    sqlite3_close(db_);
                    db_ = nullptr;  // tried again with the next request
                }
            }
            // A failure leaves the frames to the writers, which fold them back at the limit.
            if (db_)
                sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            guard.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::string path_;  // of the database to fold back next
    bool wanted_ = false;
    bool started_ = false;
    // The thread's own.
    sqlite3* db_ = nullptr;
    std::string open_path_;
};

// This process's checkpointer; null when none can be had. One left by the parent of a fork()
// child is left alone: its mutex may have been held when the process was copied.
checkpointer* process_checkpointer()
{
    static std::atomic<checkpointer*> current{nullptr};
    unsigned gen = fork_generation();
    checkpointer* c = current.load(std::memory_order_acquire);
    while (!c || c->generation != gen) {
        auto* fresh = new (std::nothrow) checkpointer(gen);
        if (!fresh)
            return nullptr;
        fresh->parent = c;
        if (current.compare_exchange_strong(c, fresh, std::memory_order_acq_rel))
            return fresh;
        delete fresh;
    }
    return c;
}

}  // namespace

int connection::wal_committed(void* self, sqlite3* db, const char* schema, int frames)
{
    const connection& c = *static_cast<const connection*>(self);
    int soft = c.checkpoint_frames_;
    if (frames >= 4 * soft) {
        // While the thread checkpoints this gives SQLITE_BUSY at once, and a later commit
        // tries again.
        sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        return SQLITE_OK;
    }
    std::uint32_t folded = c.cache.wal_frames_folded();
    if (folded > static_cast<std::uint32_t>(frames))
        folded = 0;  // counted in the WAL before it started again
    if (frames - static_cast<int>(folded) < soft)
        return SQLITE_OK;
    checkpointer* cp = process_checkpointer();
    if (!cp || !cp->request(sqlite3_db_filename(db, schema)))
        sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return SQLITE_OK;
}

namespace {

pthread_key_t connection_key;
thread_local connection* current = nullptr;

void end_thread(void* p)
{
    current = nullptr;
    delete static_cast<connection*>(p);
}

}  // namespace

connection* thread_connection(LONG& status)
{
    static std::once_flag once;
    static int key_rc = 0;
    if (damaged.load(std::memory_order_relaxed)) {
        status = ERROR_BADDB;
        return nullptr;
    }
    unsigned gen = fork_generation();
    if (current && current->generation == gen) {
        status = ERROR_SUCCESS;
        return current;
    }
    std::call_once(once, [] { key_rc = pthread_key_create(&connection_key, end_thread); });
    if (key_rc != 0) {
        status = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    // A connection inherited through fork() is the parent's: closing it here could disturb the
    // parent's locks, so it is left alone.
    current = nullptr;
    pthread_setspecific(connection_key, nullptr);

    connection* c = new (std::nothrow) connection;
    if (!c) {
        status = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    status = c->open();
    if (status == ERROR_SUCCESS) {
        static std::once_flag checked;
        std::call_once(checked, [c] { c->check_edges(); });
        if (damaged.load(std::memory_order_relaxed))
            status = ERROR_BADDB;
    }
    if (status != ERROR_SUCCESS) {
        delete c;
        return nullptr;
    }
    c->generation = gen;
    pthread_setspecific(connection_key, c);
    current = c;
    return c;
}

}  // namespace reg
}  // namespace winport
