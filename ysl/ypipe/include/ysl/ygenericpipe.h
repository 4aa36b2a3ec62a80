// Byte pipes that can be read and written with a time limit, and the socket transfers the
// TCP pipes share.
//
// Read and Write move at most the number of bytes asked for and give the number moved, 0
// when nothing moved (the time limit was reached, or the transfer would block or was
// interrupted) or -1 on failure, a closed connection included. Time limits are seconds: a
// negative one waits without limit, 0 does not wait. ReadComplete and WriteComplete move an
// exact number of bytes. A pipe is used by one thread at a time and is destroyed through its
// virtual destructor by whoever created it.
#ifndef YSL_YGENERICPIPE_H
#define YSL_YGENERICPIPE_H

#include <winport/winport.h>

#include <cstddef>
#include <cstdint>

class YGenericPipeReader {
public:
    virtual ~YGenericPipeReader();
    virtual int Read(void* buffer, size_t length, double timeout) = 0;
    // True once exactly length bytes have been read; false after a failed Read (reported).
    virtual bool ReadComplete(void* buffer, size_t length);
    virtual void Close();
};

class YGenericPipeWriter {
public:
    virtual ~YGenericPipeWriter();
    virtual int Write(const void* buffer, size_t length, double timeout) = 0;
    // True once exactly length bytes have been written; false after a failed Write (reported).
    virtual bool WriteComplete(const void* buffer, size_t length);
    virtual void Close();
};

// Both directions. The bases are virtual so that a pipe that also derives from a
// socket-holding class has one reader and one writer; the one Close serves both.
class YGenericPipe : public virtual YGenericPipeWriter, public virtual YGenericPipeReader {
public:
    void Close() override;
};

// recv, send, recvfrom and sendto for any length: a length above 2147483647 bytes is moved in
// pieces of that size. The bytes moved (a short piece ends the transfer), or -1 with the
// socket error of the failed piece. Nothing is reported.
std::int64_t sock_recv(SOCKET s, void* buffer, size_t length);
std::int64_t sock_send(SOCKET s, const void* buffer, size_t length);
std::int64_t sock_recvfrom(SOCKET s, void* buffer, size_t length, int flags, struct sockaddr* from, int* fromlen);
std::int64_t sock_sendto(SOCKET s, const void* buffer, size_t length, int flags, const struct sockaddr* to, int tolen);

// The text of a socket error: the run-time's text below 10000, "WSAError: <code>" above. The
// text stays valid until this thread's next call.
const char* sock_strerror(int code);

#endif
