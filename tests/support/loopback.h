// Loopback TCP sockets for the tests of socket events and wait sets.
#ifndef VANTOR_TEST_LOOPBACK_H
#define VANTOR_TEST_LOOPBACK_H

#include <winport/winport.h>

namespace vantor_test {

// A socket listening on 127.0.0.1 at a port of the system's choice; INVALID_SOCKET on failure.
SOCKET tcp_listener();
// A client connected to the listener (not yet accepted); INVALID_SOCKET on failure.
SOCKET tcp_connect(SOCKET listener);
SOCKET tcp_accept(SOCKET listener);
bool tcp_send(SOCKET s, const char* data, int length);
// The bytes received (waiting for at least one), or -1.
int tcp_recv(SOCKET s, char* buffer, int length);
void tcp_close(SOCKET s);

}  // namespace vantor_test

#endif
