// What the pipe units share inside ysl, and the system calls they make through one table so
// that tests can stand in for the system (failures, lengths, pauses) without a clock or a
// 2 GiB transfer. Not installed.
#ifndef YSL_YPIPE_INTERNAL_H
#define YSL_YPIPE_INTERNAL_H

#include <ysl/ygenericpipe.h>

struct ypipe_system_calls {
    decltype(&::socket) socket;
    decltype(&::getaddrinfo) getaddrinfo;
    decltype(&::select) select;
    decltype(&::recv) recv;
    decltype(&::send) send;
    decltype(&::recvfrom) recvfrom;
    decltype(&::sendto) sendto;
    int (*pause)(double seconds);  // ReadComplete's and WriteComplete's wait after a 0
};

// The system's own calls unless a test has put others in.
extern ypipe_system_calls ypipe_system;
const ypipe_system_calls& ypipe_real_system();

// The text of a getaddrinfo error from the system's message table, on one line. Valid until
// this thread's next call.
const char* ypipe_lookup_error_text(int code);

// Read and Write of a connected socket, the same for client and server pipes; name is the
// caller's class for the reports.
int ypipe_read(SOCKET s, const char* name, void* buffer, size_t length, double timeout);
int ypipe_write(SOCKET s, const char* name, const void* buffer, size_t length, double timeout);

// shutdown for both directions, then closesocket, reporting either's failure to the error log
// under the name of the closing operation. The socket is INVALID_SOCKET afterwards.
void ypipe_shutdown_and_close(SOCKET& s, const char* operation, bool listening);

#endif
