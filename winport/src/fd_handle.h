// Handles over descriptors that ReadFile, WriteFile and CloseHandle serve: files, pipes and
// the standard streams. Internal to winport.
#ifndef WINPORT_SRC_FD_HANDLE_H
#define WINPORT_SRC_FD_HANDLE_H

#include <winport/base.h>

namespace winport {

// A handle that owns fd; null (fd closed, last error set) when the table is full.
HANDLE fd_handle_insert(int fd, bool readable, bool writable);

// The descriptor behind a file or pipe handle, or -1 with ERROR_INVALID_HANDLE set.
int fd_of_handle(HANDLE h);

// write() to a pipe, retried when interrupted, that fails with EPIPE when the reading end is
// closed, without the SIGPIPE that would end the process there.
long pipe_write(int fd, const void* buffer, unsigned long count);

}  // namespace winport

#endif
