// The file layer under the registry database. Internal to winport.
#ifndef WINPORT_SRC_REGISTRY_VFS_H
#define WINPORT_SRC_REGISTRY_VFS_H

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

}  // namespace winport

#endif
