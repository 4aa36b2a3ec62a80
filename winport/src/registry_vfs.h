// The file layer under the registry database. Internal to winport.
#ifndef WINPORT_SRC_REGISTRY_VFS_H
#define WINPORT_SRC_REGISTRY_VFS_H

#include <sqlite3.h>

#include <cstdint>

namespace winport {

// The name of the SQLite VFS that the registry opens its database with, registered on the
// first call; null when it cannot be (SQLite's default then serves).
//
// It is the system's own VFS with two changes for the write path, where system calls are
// most of the cost of a set:
// - The locks of the WAL index are kept in a table in shared memory beside the database
//   (registry.db-lock) instead of in fcntl() locks, so that taking and dropping one costs no
//   system call. A process that dies holding locks loses them to the first process that
//   finds them in its way. While a process of ours has the index open, it holds a shared
//   fcntl() lock on the index's lock bytes: a program that opens the database with SQLite's
//   own locking cannot write to it or checkpoint it meanwhile, and its reads are not
//   promised a consistent view.
// - The frames of a WAL commit go to the file in one write.
const char* registry_vfs();

// The header of the WAL index of a connection's database, as the file layer maps it: every
// commit of any process rewrites it (its change counter and frame count move), so two reads
// that give the same bytes saw no commit between them. Reading it takes no lock: a committer
// writes its second copy and then its first, and SQLite itself trusts it when both copies
// agree.
class wal_index_header {
public:
    struct stamp {
        unsigned char bytes[48];
    };

    // Reads from then on the index of the connection's main database, mapped through the file
    // layer; valid while the connection is open. Without an index (a database opened as
    // unchanging has none), read() gives nothing.
    void attach(sqlite3* db);

    // The header as it stands; false when there is none or a commit is writing it.
    bool read(stamp& s) const;

    // How many of the WAL's frames were folded back into the database: a checkpoint moves it,
    // and a WAL that starts again sets it back to 0. 0 without an index.
    std::uint32_t folded() const;

    // The write transactions of the connection: how many it began, and the header as the last
    // one found it and as it left it (each false when it could not be read).
    struct write_record {
        unsigned count;
        bool before_ok;
        bool after_ok;
        stamp before;
        stamp after;
    };
    // Null where the connection's file is not the registry VFS's.
    const write_record* writes() const { return writes_; }

private:
    const volatile unsigned char* shm_ = nullptr;
    const write_record* writes_ = nullptr;
};

}  // namespace winport

#endif
