// The locks of the registry database's WAL index, kept in a table in shared memory beside the
// database (registry.db-lock) instead of in fcntl() locks. Internal to winport.
#ifndef WINPORT_SRC_REGISTRY_LOCKS_H
#define WINPORT_SRC_REGISTRY_LOCKS_H

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace winport {

struct table_header;
struct process_entry;

// The locks of the index that one connection holds, as masks by lock number.
struct held_locks {
    std::uint16_t shared;
    std::uint16_t exclusive;
};

// The lock table of one database, in this process.
class lock_table {
public:
    // Maps (creating if need be) the table beside the database; null when it cannot.
    static lock_table* of(const std::string& db_path);

    // Takes or gives back locks first..first+n-1 of the index for a connection that holds
    // `held`, as SQLite's xShmLock asks (SQLITE_SHM_* flags): SQLITE_OK, SQLITE_BUSY when
    // another connection holds one in the way, SQLITE_IOERR_LOCK when the table cannot be
    // used.
    int shm_lock(held_locks& held, int first, int n, int flags);

private:
    // The table's mutex held, every entry mapped, and dead holders' locks gone if its last
    // holder died in it.
    class guard {
    public:
        explicit guard(lock_table& t);
        ~guard();
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

    // The file is the user's to damage: no count in it is trusted as an index.
    int entries_used() const;
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

// Sets (F_RDLCK, F_WRLCK) or clears (F_UNLCK) an fcntl() lock on bytes of a file, waiting
// for it when `wait`; false when it is not had.
bool set_lock(int fd, short type, off_t start, off_t len, bool wait);

}  // namespace winport

#endif
