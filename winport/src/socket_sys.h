// The system's socket calls, for winport's Windows Sockets (socket.cpp). Only plain types
// cross this boundary, so that neither side sees the other's headers: the numbers are the
// system's, addresses are bytes in the system's layout, and a failure is -1 with errno set.
// Interrupted calls are retried here; descriptors are made close-on-exec.
#ifndef WINPORT_SOCKET_SYS_H
#define WINPORT_SOCKET_SYS_H

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace winport {
namespace sys {

// The system's numbers for the rows of the lists in socket_names.h.
extern const int families[];
extern const int types[];
extern const int int_option_levels[];
extern const int int_option_names[];
extern const int special_option_levels[];
extern const int special_option_names[];
extern const int message_flags[];
extern const int addrinfo_flags[];
extern const int addrinfo_errors[];
// getaddrinfo's codes outside the shared list: the one that leaves its reason in errno, and
// those for a name that has no address of the kind asked for.
extern const int addrinfo_system_error;
extern const int addrinfo_no_data[2];

int socket(int family, int type, int protocol);
int close(int fd);
int shutdown(int fd, int how);
int bind(int fd, const void* addr, unsigned len);
int listen(int fd, int backlog);
// The accepted socket keeps the listening socket's non-blocking mode, as on Windows.
int accept(int fd, void* addr, unsigned* len);
// An interrupted blocking connect waits for the connection's outcome instead of failing.
int connect(int fd, const void* addr, unsigned len);
int getsockname(int fd, void* addr, unsigned* len);
int getpeername(int fd, void* addr, unsigned* len);
ssize_t recvfrom(int fd, void* buf, std::size_t len, int flags, void* addr, unsigned* addrlen);
// Never raises SIGPIPE.
ssize_t sendto(int fd, const void* buf, std::size_t len, int flags, const void* addr, unsigned addrlen);
int setsockopt(int fd, int level, int name, const void* value, unsigned len);
int getsockopt(int fd, int level, int name, void* value, unsigned* len);
int set_linger(int fd, int on, int seconds);
// SO_RCVTIMEO (receiving) or SO_SNDTIMEO in milliseconds, 0 for none.
int set_time_limit(int fd, bool receiving, unsigned milliseconds);
int get_time_limit(int fd, bool receiving, unsigned* milliseconds);
// Whether a call that failed with EAGAIN ran out of its time limit: the socket blocks.
bool is_blocking(int fd);
int get_linger(int fd, int* on, int* seconds);
// Whether a send failed because this side shut the connection down for sending, rather than
// because the peer has gone.
bool shut_down_for_sending(int fd);

struct address_info {
    int flags, family, type, protocol;
    std::vector<unsigned char> address;  // the system's layout
    bool has_canonical_name;
    std::string canonical_name;
};
// 0, or the system's getaddrinfo code.
int getaddrinfo(const char* node, const char* service, const int* flags_family_type_protocol,
                std::vector<address_info>& out);

}  // namespace sys
}  // namespace winport

#endif
