// The socket names whose numbers differ between Windows and Linux, each listed once.
//
// socket.cpp expands these lists under winport's Windows names, socket_sys.cpp under the
// system's headers, so that row i of one expansion and row i of the other stand for the same
// thing: a number is translated by finding its row in one table and reading the other.
#ifndef WINPORT_SOCKET_NAMES_H
#define WINPORT_SOCKET_NAMES_H

#define WINPORT_SOCKET_FAMILIES(X) X(AF_UNSPEC) X(AF_INET) X(AF_INET6)

#define WINPORT_SOCKET_TYPES(X) X(SOCK_STREAM) X(SOCK_DGRAM) X(SOCK_RAW)

// Options whose value is an int on both systems; SO_LINGER and SO_ERROR have values of their
// own and are translated apart.
#define WINPORT_SOCKET_INT_OPTIONS(X)                                                                                  \
    X(SOL_SOCKET, SO_DEBUG)                                                                                            \
    X(SOL_SOCKET, SO_ACCEPTCONN)                                                                                       \
    X(SOL_SOCKET, SO_REUSEADDR)                                                                                        \
    X(SOL_SOCKET, SO_KEEPALIVE)                                                                                        \
    X(SOL_SOCKET, SO_DONTROUTE)                                                                                        \
    X(SOL_SOCKET, SO_BROADCAST)                                                                                        \
    X(SOL_SOCKET, SO_OOBINLINE)                                                                                        \
    X(SOL_SOCKET, SO_SNDBUF)                                                                                           \
    X(SOL_SOCKET, SO_RCVBUF)                                                                                           \
    X(IPPROTO_TCP, TCP_NODELAY)                                                                                        \
    X(IPPROTO_IPV6, IPV6_V6ONLY)

#define WINPORT_SOCKET_SPECIAL_OPTIONS(X) X(SOL_SOCKET, SO_LINGER) X(SOL_SOCKET, SO_ERROR) X(SOL_SOCKET, SO_TYPE)

#define WINPORT_SOCKET_MESSAGE_FLAGS(X) X(MSG_OOB) X(MSG_PEEK) X(MSG_DONTROUTE) X(MSG_WAITALL)

#define WINPORT_ADDRINFO_FLAGS(X)                                                                                      \
    X(AI_PASSIVE) X(AI_CANONNAME) X(AI_NUMERICHOST) X(AI_NUMERICSERV) X(AI_ALL) X(AI_ADDRCONFIG) X(AI_V4MAPPED)

// getaddrinfo's failures that both systems name; the system's others are mapped in its unit.
#define WINPORT_ADDRINFO_ERRORS(X)                                                                                     \
    X(EAI_AGAIN) X(EAI_BADFLAGS) X(EAI_FAIL) X(EAI_FAMILY) X(EAI_MEMORY) X(EAI_NONAME) X(EAI_SERVICE) X(EAI_SOCKTYPE)

#define WINPORT_NAME_VALUE(name) name,
#define WINPORT_OPTION_LEVEL(level, name) level,
#define WINPORT_OPTION_NAME(level, name) name,

#endif
