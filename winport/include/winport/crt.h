// The C run-time's file-system names (Linux), so that every path the library hands to the
// run-time goes through the path mapping of winport: "C:\x\y" is $PREFIX/drive_c/x/y, another
// drive "L:" the link $PREFIX/dosdevices/l:, a path that begins with '\' or '/' is a Linux
// absolute path, relative paths stay relative, '\' and '/' both separate. Paths handed back
// use the Windows view with '\': "C:\..." inside drive_c, "\home\..." elsewhere.
// Include <winport/winport.h>, not this header.
#ifndef WINPORT_CRT_H
#define WINPORT_CRT_H

#include <winport/base.h>

#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

typedef std::int64_t __time64_t;

#define _A_NORMAL 0x00
#define _A_RDONLY 0x01
#define _A_HIDDEN 0x02
#define _A_SYSTEM 0x04
#define _A_SUBDIR 0x10
#define _A_ARCH 0x20

#define _S_IFMT 0xF000
#define _S_IFDIR 0x4000
#define _S_IFREG 0x8000
#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080
#define _S_IEXEC 0x0040

// Flags of _open_osfhandle; _O_TEXT and _O_APPEND are accepted and change nothing on Linux.
#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_APPEND 0x0008
#define _O_NOINHERIT 0x0080
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40

struct __finddata64_t {
    unsigned attrib;  // _A_SUBDIR; _A_HIDDEN for a name that begins with '.'; _A_RDONLY
    __time64_t time_create;
    __time64_t time_access;
    __time64_t time_write;
    std::int64_t size;
    char name[260];
};

struct _stat64 {
    unsigned st_dev;
    unsigned short st_ino;
    unsigned short st_mode;  // the Linux type and permission bits; _S_IFDIR and _S_IFREG agree
    short st_nlink;
    short st_uid;
    short st_gid;
    unsigned st_rdev;
    std::int64_t st_size;
#ifdef st_atime
    // The C library spells the time members as macros over timespec members.
    struct timespec st_atim, st_mtim, st_ctim;
#else
    __time64_t st_atime, st_mtime, st_ctime;
#endif
};

extern "C" {

WINPORT_API int _access(const char* path, int mode);
WINPORT_API int _stat64(const char* path, struct _stat64* buffer);
WINPORT_API int _unlink(const char* path);
// As on Windows only the owner's write permission follows _S_IWRITE; nothing else changes.
WINPORT_API int _chmod(const char* path, int mode);
// Textual: "." and ".." are resolved without looking at the disk. A null buffer is allocated
// with malloc (at least maxLength bytes).
WINPORT_API char* _fullpath(char* absPath, const char* relPath, size_t maxLength);
WINPORT_API char* _getcwd(char* buffer, int maxlen);
// Wildcards '*' and '?' in the last component; matches come in byte order of their names.
WINPORT_API std::intptr_t _findfirst64(const char* filespec, struct __finddata64_t* fileinfo);
WINPORT_API int _findnext64(std::intptr_t handle, struct __finddata64_t* fileinfo);
WINPORT_API int _findclose(std::intptr_t handle);
// fopen() with the path mapped; the share flag is accepted and not enforced.
WINPORT_API FILE* _fsopen(const char* filename, const char* mode, int shflag);

WINPORT_API int _getpid(void);
WINPORT_API int _stricmp(const char* a, const char* b);
// A run-time descriptor for a pipe or file handle, which it then owns: _close closes the
// handle. The descriptor is the Linux descriptor of the handle, so read() and write() work on
// it too. -1 (errno EBADF) for a handle of another kind or one that has a descriptor already.
WINPORT_API int _open_osfhandle(std::intptr_t osfhandle, int flags);
// The handle behind a descriptor of _open_osfhandle; -1 (errno EBADF) for any other.
WINPORT_API std::intptr_t _get_osfhandle(int fd);
WINPORT_API int _close(int fd);
WINPORT_API int _read(int fd, void* buffer, unsigned count);
WINPORT_API int _write(int fd, const void* buffer, unsigned count);
}

#endif
