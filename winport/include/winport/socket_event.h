// Socket events (Linux): an event that WSAEventSelect binds to a socket is signalled while the
// socket is ready for one of the network events selected, and waits with every other kind of
// handle in WaitForMultipleObjects. Include <winport/winport.h>, not this header.
//
// Where Linux differs from Windows: FD_READ and FD_ACCEPT follow the socket's state, so an
// event reset while data or a client are still pending is signalled again at once (Windows
// signals again only after the next recv or accept). FD_WRITE and FD_CONNECT are reported
// once, when the socket is first writable after WSAEventSelect; after a reset they are not
// reported again (Windows reports FD_WRITE again after a send that would have blocked).
// FD_CLOSE and FD_OOB are accepted in the mask and never signal.
#ifndef WINPORT_SOCKET_EVENT_H
#define WINPORT_SOCKET_EVENT_H

#include <winport/base.h>
#include <winport/winsock.h>

typedef HANDLE WSAEVENT;
#ifndef WSA_INVALID_EVENT
#define WSA_INVALID_EVENT ((WSAEVENT) nullptr)
#endif

#ifndef WSA_NOT_ENOUGH_MEMORY
#define WSA_NOT_ENOUGH_MEMORY 8L
#endif

#ifndef FD_READ
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20
#endif

extern "C" {

// A manual-reset event, not signalled.
WINPORT_API WSAEVENT WINAPI WSACreateEvent(void);
WINPORT_API BOOL WINAPI WSACloseEvent(WSAEVENT hEvent);
WINPORT_API BOOL WINAPI WSASetEvent(WSAEVENT hEvent);
WINPORT_API BOOL WINAPI WSAResetEvent(WSAEVENT hEvent);
// Binds the event to the socket for the network events of the mask and makes the socket
// non-blocking; a socket has one binding at a time, and a mask of 0 ends it. 0, or
// SOCKET_ERROR with WSAENOTSOCK or WSAEINVAL as the last error.
WINPORT_API int WINAPI WSAEventSelect(SOCKET s, WSAEVENT hEventObject, long lNetworkEvents);
}

#endif
