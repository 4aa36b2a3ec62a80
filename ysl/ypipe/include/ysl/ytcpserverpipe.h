// The server side of the TCP pipes: a listening socket, and the pipes of the connections it
// accepts (read and write, read only or write only), each owned by the caller.
#ifndef YSL_YTCPSERVERPIPE_H
#define YSL_YTCPSERVERPIPE_H

#include <ysl/ygenericpipe.h>

// The socket work of an accepted connection.
class YTCPServerPipeHelper {
public:
    YTCPServerPipeHelper();
    virtual ~YTCPServerPipeHelper();  // closes
    YTCPServerPipeHelper(const YTCPServerPipeHelper&) = delete;
    YTCPServerPipeHelper& operator=(const YTCPServerPipeHelper&) = delete;

    // Takes the next connection of the listening socket, in blocking mode or not. False with
    // nothing reported when none is pending on a non-blocking socket.
    bool Accept(SOCKET listening, bool blocking);
    virtual void Close();
    int Read(const char* name, void* buffer, size_t length, double timeout);
    int Write(const char* name, const void* buffer, size_t length, double timeout);

protected:
    SOCKET m_socket;  // INVALID_SOCKET: no connection
};

class YTCPServerPipe : public YGenericPipe, public YTCPServerPipeHelper {
public:
    int Read(void* buffer, size_t length, double timeout) override;
    int Write(const void* buffer, size_t length, double timeout) override;
    void Close() override;
};

class YTCPServerPipeReader : public YGenericPipeReader, public YTCPServerPipeHelper {
public:
    int Read(void* buffer, size_t length, double timeout) override;
    void Close() override;
};

class YTCPServerPipeWriter : public YGenericPipeWriter, public YTCPServerPipeHelper {
public:
    int Write(const void* buffer, size_t length, double timeout) override;
    void Close() override;
};

class YTCPServerPipeSocket {
public:
    YTCPServerPipeSocket();
    ~YTCPServerPipeSocket();  // closes
    YTCPServerPipeSocket(const YTCPServerPipeSocket&) = delete;
    YTCPServerPipeSocket& operator=(const YTCPServerPipeSocket&) = delete;

    // Listens on every interface: one IPv6 socket that also takes IPv4 clients where the
    // system has IPv6, an IPv4 socket otherwise.
    bool Open(int port, bool blocking);
    // Listens on the first address of host that can be bound; an empty or null host means
    // Open(port, blocking).
    bool Open(const char* host, int port, bool blocking);
    void Close();
    // A new pipe for the next connection, or null. Accepted pipes outlive the listening socket.
    YTCPServerPipe* Accept(bool blocking);
    YTCPServerPipeReader* AcceptReader(bool blocking);
    YTCPServerPipeWriter* AcceptWriter(bool blocking);

protected:
    SOCKET m_socket;  // INVALID_SOCKET: not listening
};

// Keep-alive, address reuse, no routing and a one-second linger; with blocking false the
// socket is switched to non-blocking mode first.
bool set_socket_options(SOCKET s, bool blocking);

#endif
