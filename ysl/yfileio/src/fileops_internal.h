// What the whole-file functions share with the file operations. Internal to yfileio.
#ifndef YSL_YFILEIO_SRC_FILEOPS_INTERNAL_H
#define YSL_YFILEIO_SRC_FILEOPS_INTERNAL_H

#include <winport/winport.h>

// file_rename with the MoveFileExA flags of the caller's choice, and its report.
int file_rename_with(const char* oldpath, const char* newpath, DWORD flags);

#endif
