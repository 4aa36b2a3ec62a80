// What /proc tells about a process. Internal to winport.
#ifndef WINPORT_SRC_PROC_H
#define WINPORT_SRC_PROC_H

#include <string>

#include <sys/types.h>

namespace winport {

// The path of the process's executable (without the " (deleted)" of a replaced file); empty
// with errno set when it cannot be read (the process is gone, or belongs to another user).
std::string executable_of(pid_t pid);

}  // namespace winport

#endif
