// The one platform include of the library.
//
// On Windows it brings in the SDK in the order the SDK needs (Windows Sockets 2 before
// windows.h, which would otherwise pull in the old winsock.h). On Linux it declares winport,
// the project's own implementation of the Win32 subset that the library calls, under the
// same names, signatures, constants and error codes, so that code right on one target is
// right on the other unchanged. Both targets get the framework's string and array classes
// (afx.h), since no build has MFC.
#ifndef WINPORT_WINPORT_H
#define WINPORT_WINPORT_H

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <winport/afx.h>
#else
#include <winport/base.h>
#include <winport/crt.h>
#include <winport/file.h>
#include <winport/message.h>
#include <winport/module.h>
#include <winport/process.h>
#include <winport/registry.h>
#include <winport/shell.h>
#include <winport/socket_event.h>
#include <winport/sync.h>
#include <winport/thread.h>
#include <winport/toolhelp.h>
#include <winport/winsock.h>
#include <winport/afx.h>
#endif

#endif
