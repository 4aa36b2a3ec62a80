// A pipe over one TCP connection that the client opens to a host and port.
#ifndef YSL_YTCPCLIENTPIPE_H
#define YSL_YTCPCLIENTPIPE_H

#include <ysl/ygenericpipe.h>

// The socket work of the client pipe: connect, close, and read and write with a time limit,
// naming the caller's class in its reports.
class YTCPClientPipeHelper {
public:
    YTCPClientPipeHelper();
    virtual ~YTCPClientPipeHelper();  // closes
    YTCPClientPipeHelper(const YTCPClientPipeHelper&) = delete;
    YTCPClientPipeHelper& operator=(const YTCPClientPipeHelper&) = delete;

    // Connects to the first address of host (a name or an address text) that accepts. With
    // blocking false the connected socket is switched to non-blocking mode.
    bool Open(const char* host, int port, bool blocking);
    void Close();
    int Read(const char* name, void* buffer, size_t length, double timeout);
    int Write(const char* name, const void* buffer, size_t length, double timeout);

protected:
    SOCKET m_socket;  // INVALID_SOCKET: no connection
};

class YTCPClientPipe : public YGenericPipe, public YTCPClientPipeHelper {
public:
    int Read(void* buffer, size_t length, double timeout) override;
    int Write(const void* buffer, size_t length, double timeout) override;
    void Close() override;
};

#endif
