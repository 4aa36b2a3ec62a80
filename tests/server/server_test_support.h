// What the server and connection suites share: the server's configured location, a client
// that speaks the protocol byte by byte, and a server process that a test starts and that is
// stopped however the test ends.
#ifndef VANTOR_SERVER_TEST_SUPPORT_H
#define VANTOR_SERVER_TEST_SUPPORT_H

#include <vantor/server_protocol.h>

#include <winport/winport.h>
#include <ysl/ytcpclientpipe.h>

#include <string>

namespace server_test {

// A program of the build tree by its path below the programs' folder, in the Windows view.
std::string build_program(const std::string& relative);
// The vantor.exe of the build tree.
std::string server_path();
// A helper program by its name without ".exe", in the Windows view.
std::string program_path(const std::string& name);
// Points the bootstrap file at a configuration file of this process whose server location is
// location; without one when location is null.
void configure_server_location(const char* location);
// Whether something accepts connections on 127.0.0.1:4137.
bool port_listens();

// A protocol client over a plain TCP pipe, for frames of any shape.
class raw_client {
public:
    bool open() { return pipe_.Open("127.0.0.1", 4137, true); }
    bool send(const std::string& bytes);
    // The next frame within limit seconds.
    orvane::protocol::read_result receive(orvane::protocol::frame& f, double limit = 10.0);
    // hello agreed on version 1.
    bool hello();
    // The request's answer is of type expected (false with a test failure otherwise).
    bool request(const std::string& frame, orvane::protocol::type expected, orvane::protocol::frame* reply = nullptr);
    // The next frame, within limit seconds, is an error with this code, and the connection
    // ends after it.
    void expect_error_and_close(orvane::protocol::error_code code, const char* what, double limit = 10.0);
    // The connection is open: a ping comes back.
    bool alive();
    void close() { pipe_.Close(); }
    SOCKET socket() const;

private:
    YTCPClientPipe pipe_;
};

// A process of which the test keeps a handle from its start, so that its exit status stays
// readable however soon it ends.
class process {
public:
    process() = default;
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    // Adopts a running process by its identifier.
    bool adopt(DWORD pid);
    DWORD pid() const { return pid_; }
    static constexpr int still_running = -1;
    static constexpr int status_unknown = -2;  // ended, but its status went with its parent
    // The exit status once it ended within seconds, else still_running.
    int wait(double seconds);
    // Ends it at once if it still runs.
    void kill();

private:
    HANDLE handle_ = nullptr;
    DWORD pid_ = 0;
};

// vantor.exe started by the test; it is stopped (shutdown request with the token, else killed)
// when the object goes, so no server outlives a test.
class server_process : public process {
public:
    ~server_process();
    // Starts the server and waits for its signal that it listens.
    bool start();
    // The shutdown request with the server's token; the exit status (as wait gives it). A
    // server that does not end in time is killed and counts as a failure of the test.
    int stop();
};

}  // namespace server_test

#endif
