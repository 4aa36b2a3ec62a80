// Windows Sockets (Linux). Include <winport/winport.h>, not this header.
//
// A SOCKET is the socket's descriptor. Everything else is Windows': the address families,
// levels, option numbers and values, flags and error codes have their Windows numbers, an
// fd_set is a counted array of sockets (so any descriptor number fits), a send towards a peer
// that has gone fails with its Winsock code instead of raising SIGPIPE, and WSAGetLastError()
// gives Winsock codes. Interrupted calls are retried inside winport.
//
// How the Windows names coexist with the C library's: the socket functions are declared here
// under their Windows names with C++ linkage, so their symbols never take the place of the C
// library's own (which other libraries of the process keep calling), and library code, which
// includes no system socket header, sees only these. The C library declares fd_set, FD_SET and
// select() in every unit through <sys/select.h>, so those names are macros onto winport's.
// A unit that needs the system's own sockets (winport's internals, Linux-only tests) defines
// WINPORT_SYSTEM_SOCKETS before including winport.h and gets only the start-up, the error
// slot and the error codes from here.
#ifndef WINPORT_WINSOCK_H
#define WINPORT_WINSOCK_H

#include <winport/base.h>

#include <cstddef>

typedef int SOCKET;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)
#define WSAAPI

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

// The 64-bit Windows layout of the structure (iMaxSockets first).
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

#define WSA_NOT_ENOUGH_MEMORY 8L
#define WSABASEERR 10000
#define WSAEINTR 10004L
#define WSAEBADF 10009L
#define WSAEACCES 10013L
#define WSAEFAULT 10014L
#define WSAEINVAL 10022L
#define WSAEMFILE 10024L
#define WSAEWOULDBLOCK 10035L
#define WSAEINPROGRESS 10036L
#define WSAEALREADY 10037L
#define WSAENOTSOCK 10038L
#define WSAEDESTADDRREQ 10039L
#define WSAEMSGSIZE 10040L
#define WSAEPROTOTYPE 10041L
#define WSAENOPROTOOPT 10042L
#define WSAEPROTONOSUPPORT 10043L
#define WSAESOCKTNOSUPPORT 10044L
#define WSAEOPNOTSUPP 10045L
#define WSAEPFNOSUPPORT 10046L
#define WSAEAFNOSUPPORT 10047L
#define WSAEADDRINUSE 10048L
#define WSAEADDRNOTAVAIL 10049L
#define WSAENETDOWN 10050L
#define WSAENETUNREACH 10051L
#define WSAENETRESET 10052L
#define WSAECONNABORTED 10053L
#define WSAECONNRESET 10054L
#define WSAENOBUFS 10055L
#define WSAEISCONN 10056L
#define WSAENOTCONN 10057L
#define WSAESHUTDOWN 10058L
#define WSAETIMEDOUT 10060L
#define WSAECONNREFUSED 10061L
#define WSAELOOP 10062L
#define WSAENAMETOOLONG 10063L
#define WSAEHOSTDOWN 10064L
#define WSAEHOSTUNREACH 10065L
#define WSAEPROCLIM 10067L
#define WSASYSNOTREADY 10091L
#define WSAVERNOTSUPPORTED 10092L
#define WSANOTINITIALISED 10093L
#define WSASYSCALLFAILURE 10107L
#define WSATYPE_NOT_FOUND 10109L
#define WSAHOST_NOT_FOUND 11001L
#define WSATRY_AGAIN 11002L
#define WSANO_RECOVERY 11003L
#define WSANO_DATA 11004L

extern "C" {

WINPORT_API int WINAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
WINPORT_API int WINAPI WSACleanup(void);
WINPORT_API int WINAPI WSAGetLastError(void);
WINPORT_API void WINAPI WSASetLastError(int iError);
}

#ifndef WINPORT_SYSTEM_SOCKETS

// <sys/select.h> first, so that its fd_set and FD_ macros are defined once and for all here
// (its include guard keeps a later inclusion from declaring them again under winport's names).
#include <sys/select.h>
#include <sys/types.h>

// u_char, u_short, u_int and u_long are the C library's (the same widths as Windows' but
// u_long, which is 64-bit here; ioctlsocket reads it as such). timeval is the C library's too:
// its members have the same names and hold the same ranges.

#define AF_UNSPEC 0
#define AF_INET 2
#define AF_INET6 23
#define PF_UNSPEC AF_UNSPEC
#define PF_INET AF_INET
#define PF_INET6 AF_INET6

#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define SOCK_RAW 3

#define IPPROTO_IP 0
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define IPPROTO_IPV6 41

#define SOL_SOCKET 0xffff
#define SO_DEBUG 0x0001
#define SO_ACCEPTCONN 0x0002
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_DONTROUTE 0x0010
#define SO_BROADCAST 0x0020
#define SO_LINGER 0x0080
#define SO_OOBINLINE 0x0100
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_SNDTIMEO 0x1005
#define SO_RCVTIMEO 0x1006
#define SO_ERROR 0x1007
#define SO_TYPE 0x1008
#define TCP_NODELAY 0x0001
#define IPV6_V6ONLY 27

#define MSG_OOB 0x1
#define MSG_PEEK 0x2
#define MSG_DONTROUTE 0x4
#define MSG_WAITALL 0x8

#define SD_RECEIVE 0x00
#define SD_SEND 0x01
#define SD_BOTH 0x02

#define SOMAXCONN 0x7fffffff

#define FIONBIO 0x8004667EL

#define AI_PASSIVE 0x00000001
#define AI_CANONNAME 0x00000002
#define AI_NUMERICHOST 0x00000004
#define AI_NUMERICSERV 0x00000008
#define AI_ALL 0x00000100
#define AI_ADDRCONFIG 0x00000400
#define AI_V4MAPPED 0x00000800

#define EAI_AGAIN WSATRY_AGAIN
#define EAI_BADFLAGS WSAEINVAL
#define EAI_FAIL WSANO_RECOVERY
#define EAI_FAMILY WSAEAFNOSUPPORT
#define EAI_MEMORY WSA_NOT_ENOUGH_MEMORY
#define EAI_NONAME WSAHOST_NOT_FOUND
#define EAI_SERVICE WSATYPE_NOT_FOUND
#define EAI_SOCKTYPE WSAESOCKTNOSUPPORT
#define EAI_NODATA EAI_NONAME

typedef unsigned short ADDRESS_FAMILY;

struct in_addr {
    union {
        struct {
            u_char s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            u_short s_w1, s_w2;
        } S_un_w;
        ULONG S_addr;
    } S_un;
};
#define s_addr S_un.S_addr
typedef struct in_addr IN_ADDR;

struct in6_addr {
    union {
        u_char Byte[16];
        USHORT Word[8];
    } u;
};
#define s6_addr u.Byte
typedef struct in6_addr IN6_ADDR;

#define INADDR_ANY ((unsigned int)0x00000000)
#define INADDR_LOOPBACK ((unsigned int)0x7f000001)
#define INADDR_NONE ((unsigned int)0xffffffff)

struct sockaddr {
    ADDRESS_FAMILY sa_family;
    char sa_data[14];
};
typedef struct sockaddr SOCKADDR;

struct sockaddr_in {
    ADDRESS_FAMILY sin_family;
    u_short sin_port;
    struct in_addr sin_addr;
    char sin_zero[8];
};
typedef struct sockaddr_in SOCKADDR_IN;

struct sockaddr_in6 {
    ADDRESS_FAMILY sin6_family;
    u_short sin6_port;
    unsigned int sin6_flowinfo;
    struct in6_addr sin6_addr;
    unsigned int sin6_scope_id;
};
typedef struct sockaddr_in6 SOCKADDR_IN6;

struct sockaddr_storage {
    ADDRESS_FAMILY ss_family;
    char ss_pad1_[6];
    long long ss_align_;
    char ss_pad2_[112];
};
typedef struct sockaddr_storage SOCKADDR_STORAGE;

typedef struct addrinfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    size_t ai_addrlen;
    char* ai_canonname;
    struct sockaddr* ai_addr;
    struct addrinfo* ai_next;
} ADDRINFOA, *PADDRINFOA;

struct linger {
    u_short l_onoff;
    u_short l_linger;
};
typedef struct linger LINGER;

// Windows' fd_set: a count and the sockets themselves, at most FD_SETSIZE of them.
#undef FD_SETSIZE
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#undef FD_ZERO
#define FD_SETSIZE 64
#define fd_set winport_fd_set
#define select winport_select

struct winport_fd_set {
    u_int fd_count;
    SOCKET fd_array[FD_SETSIZE];
};

WINPORT_API int WSAAPI __WSAFDIsSet(SOCKET fd, fd_set* set);

inline void winport_fd_clr(SOCKET fd, fd_set* set)
{
    for (u_int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == fd) {
            for (; i + 1 < set->fd_count; ++i)
                set->fd_array[i] = set->fd_array[i + 1];
            --set->fd_count;
            return;
        }
    }
}

// A socket already in the set is not added twice; a full set stays as it is.
inline void winport_fd_set_add(SOCKET fd, fd_set* set)
{
    for (u_int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == fd)
            return;
    }
    if (set->fd_count < FD_SETSIZE)
        set->fd_array[set->fd_count++] = fd;
}

#define FD_CLR(fd, set) winport_fd_clr((SOCKET)(fd), (fd_set*)(set))
#define FD_SET(fd, set) winport_fd_set_add((SOCKET)(fd), (fd_set*)(set))
#define FD_ZERO(set) (((fd_set*)(set))->fd_count = 0)
#define FD_ISSET(fd, set) __WSAFDIsSet((SOCKET)(fd), (fd_set*)(set))

WINPORT_API SOCKET WSAAPI socket(int af, int type, int protocol);
WINPORT_API int WSAAPI closesocket(SOCKET s);
WINPORT_API int WSAAPI shutdown(SOCKET s, int how);
WINPORT_API int WSAAPI bind(SOCKET s, const struct sockaddr* name, int namelen);
WINPORT_API int WSAAPI listen(SOCKET s, int backlog);
WINPORT_API SOCKET WSAAPI accept(SOCKET s, struct sockaddr* addr, int* addrlen);
WINPORT_API int WSAAPI connect(SOCKET s, const struct sockaddr* name, int namelen);
WINPORT_API int WSAAPI getsockname(SOCKET s, struct sockaddr* name, int* namelen);
WINPORT_API int WSAAPI getpeername(SOCKET s, struct sockaddr* name, int* namelen);
WINPORT_API int WSAAPI recv(SOCKET s, char* buf, int len, int flags);
WINPORT_API int WSAAPI send(SOCKET s, const char* buf, int len, int flags);
WINPORT_API int WSAAPI recvfrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen);
WINPORT_API int WSAAPI sendto(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to, int tolen);
WINPORT_API int WSAAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
WINPORT_API int WSAAPI getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
WINPORT_API int WSAAPI ioctlsocket(SOCKET s, long cmd, u_long* argp);
// Any socket number; the sets are rewritten to hold the ready sockets. nfds is ignored.
WINPORT_API int WSAAPI winport_select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                                      const struct timeval* timeout);
WINPORT_API int WSAAPI getaddrinfo(const char* pNodeName, const char* pServiceName, const ADDRINFOA* pHints,
                                   PADDRINFOA* ppResult);
WINPORT_API void WSAAPI freeaddrinfo(PADDRINFOA pAddrInfo);

inline u_short WSAAPI htons(u_short hostshort)
{
    return static_cast<u_short>((hostshort >> 8) | (hostshort << 8));
}
inline u_short WSAAPI ntohs(u_short netshort)
{
    return htons(netshort);
}
inline u_long WSAAPI htonl(u_long hostlong)
{
    return __builtin_bswap32(static_cast<unsigned int>(hostlong));
}
inline u_long WSAAPI ntohl(u_long netlong)
{
    return htonl(netlong);
}

#endif  // WINPORT_SYSTEM_SOCKETS

#endif
