// File-system queries and path text operations.
//
// Paths are NUL-terminated byte strings; '\' and '/' both separate on input, and every
// separator these functions add is '\'. Path buffers hold YFILE_PATH_MAX bytes (the Windows
// path limit, terminator included): every buffer a caller passes for a path result must have
// that size, and a result that would not fit makes the function fail (null) instead.
// Integer results are 1 for success and 0 for failure unless stated otherwise.
#ifndef YSL_FILEOPS_H
#define YSL_FILEOPS_H

#include <cstdint>

#define YFILE_PATH_MAX 260

// 'd' directory, ' ' hidden or system file, '-' any other file, -1 failure (error trace).
int file_type(const char* path);
// Size in bytes; 0 for a directory; -1 on failure.
std::int64_t file_size64(const char* path);
// As file_size64, and -1 for sizes above 0x7FFFFFFF.
int file_size(const char* path);
int file_exists(const char* path);
// Exists and is not a directory.
int file_isfile(const char* path);
int file_remove(const char* path);
// 0 when the path does not exist; else 1 when it is (or has been made) readable and writable.
int file_makewritable(const char* path);
// Replaces an existing target; never copies between volumes. Failure goes to the error trace.
int file_rename(const char* oldpath, const char* newpath);
// The absolute path of an existing file or directory without a trailing '\', in the buffer or,
// when that is null, in a malloc'ed one the caller frees; null on failure.
char* file_fullpath(const char* path, char* buffer);
// 1 when the first path lies inside the second (both resolved with file_fullpath).
int file_isinside(const char* inner, const char* outer);
// The first line of a text file up to and including its newline, at most size - 1 bytes.
char* file_readfirstline(const char* path, char* buffer, int size);

// Path text only; nothing is looked up on disk.
int file_isabsolute(const char* path);
// "X:" of a path that starts with a drive, in a static buffer the next call overwrites.
char* file_drive(const char* path);
// Everything before the last separator plus '\'; null (output untouched) without separator.
char* file_dirpath(const char* path, char* output);
// After the last separator, or the whole path; null for an empty path.
const char* file_namepart(const char* path);
// After the last separator; null without separator.
const char* file_trailpath(const char* path);
// The last '.' of the last component, or null.
const char* file_extension(const char* path);
// The first component: copied into the buffer, or cut in place when the buffer is null.
char* file_headpath(char* path, char* buffer);
char* file_headpath(const char* path, char* buffer);
// Cuts the last component (after dropping one trailing separator) in place.
char* file_cutpath(char* path);
// Applies a relative path to the base buffer; null for an absolute relative path or ".."
// above the base.
char* file_joinpath(char* base, const char* relpath);
// The to path relative to the directory of the from path, in the buffer or, when that is
// null, in a static buffer the next call overwrites; null when there is none.
char* file_relpath(const char* from, const char* to, char* buffer);
// Every '/' turned into '\': in the path itself when the buffer is null.
char* file_backslashes(char* path, char* buffer);
char* file_backslashes(const char* path, char* buffer);

inline char* file_namepart(char* path)
{
    return const_cast<char*>(file_namepart(static_cast<const char*>(path)));
}
inline char* file_trailpath(char* path)
{
    return const_cast<char*>(file_trailpath(static_cast<const char*>(path)));
}
inline char* file_extension(char* path)
{
    return const_cast<char*>(file_extension(static_cast<const char*>(path)));
}

#endif
