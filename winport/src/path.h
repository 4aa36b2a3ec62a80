// The mapping between the paths the library uses and Linux paths. Internal to winport.
#ifndef WINPORT_SRC_PATH_H
#define WINPORT_SRC_PATH_H

#include <winport/base.h>

#include <string>

namespace winport {

// The Linux path for a path as the library writes it. False, with the last error set
// (ERROR_PATH_NOT_FOUND for an empty path or an unknown drive), when there is none.
bool unix_path(const char* path, std::string& out);

// The Windows view of an absolute Linux path: "C:\..." inside drive_c, else the path with
// '\' separators.
std::string windows_view(const std::string& absolute);

// The full path of a path, in the Windows view, as the run-time's _fullpath resolves it:
// "." and ".." taken lexically, never above a drive's root. False, with errno set, when the
// working directory cannot be read.
bool full_path(const char* relative, std::string& full);

// The Windows code for the errno of a call on a path: a missing file is ERROR_FILE_NOT_FOUND
// only when its directory exists, else ERROR_PATH_NOT_FOUND, as Windows tells the two apart.
DWORD error_from_path_errno(int err, const std::string& unix);

}  // namespace winport

#endif
