#include "server_test_support.h"

#include <test_support.h>
#include <vantor/server_client.h>
#include <vantor/vantor.h>

#include <ysl/fastfile.h>
#include <ysl/fileops.h>
#include <ysl/ydiag.h>
#include <ysl/yintsocksel_win32.h>
#include <ysl/yprocess_win32.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace proto = orvane::protocol;

namespace server_test {

namespace {

// Gives the socket of a client pipe, which the suites shut down half-way on purpose.
class pipe_access : public YTCPClientPipe {
public:
    static SOCKET of(const YTCPClientPipe& p) { return static_cast<const pipe_access&>(p).m_socket; }
};

}  // namespace

std::string program_path(const std::string& name)
{
    std::string path = vantor_test::helper_path(name);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string build_program(const std::string& relative)
{
    // The Windows view, which winport takes for a Linux path too and in which it reports the
    // image paths of processes.
    std::string path = vantor_test::program_dir() + "\\" + relative;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string server_path()
{
    return build_program("vantor.exe");
}

void configure_server_location(const char* location)
{
    char folder[MAX_PATH] = "";
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE));
    const std::string dir = std::string(folder) + "\\Orvane\\Dravin";
    const int rc = SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr);
    ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS) << rc;
    const std::string config = dir + "\\vantor-server-test-" + std::to_string(GetCurrentProcessId()) + ".ini";
    std::string text = "[dravin]\ndravin.ini=" + config + "\n";
    ASSERT_NE(YFastFile_WriteAtOnce((dir + "\\dravinInit.ini").c_str(), text.data(), unsigned(text.size()), 2), -1);
    text = "[vantor]\n";
    if (location)
        text += std::string("serverLocation=") + location + "\n";
    ASSERT_NE(YFastFile_WriteAtOnce(config.c_str(), text.data(), unsigned(text.size()), 2), -1);
}

bool port_listens()
{
    YTCPClientPipe probe;
    YErrTrace_BeginContext();
    const bool open = probe.Open("127.0.0.1", 4137, true);
    YErrTrace_ClearContext();
    YErrTrace_EndContext();
    return open;
}

bool raw_client::send(const std::string& bytes)
{
    return pipe_.WriteComplete(bytes.data(), bytes.size());
}

proto::read_result raw_client::receive(proto::frame& f, double limit)
{
    // The limit also covers the first byte here, for which the reader asks without one: a
    // test must not wait for ever.
    return proto::read_frame(
        [this, limit](void* b, int n, double t) {
            const int got = pipe_.Read(b, n, t < 0 ? limit : t);
            return got == 0 && t < 0 ? -1 : got;
        },
        f, limit);
}

bool raw_client::request(const std::string& frame, proto::type expected, proto::frame* reply)
{
    proto::frame f;
    if (!send(frame)) {
        ADD_FAILURE() << "send failed";
        return false;
    }
    const proto::read_result r = receive(f);
    if (r != proto::read_result::ok || f.kind != expected) {
        proto::error_code code = {};
        std::string text;
        if (f.kind == proto::type::error)
            proto::parse_error(f.payload, code, text);
        ADD_FAILURE() << "reply: result " << int(r) << ", type 0x" << std::hex << int(f.kind) << std::dec << " "
                      << int(code) << " " << text;
        return false;
    }
    if (reply)
        *reply = f;
    return true;
}

bool raw_client::hello()
{
    return request(proto::make_hello(1, 1), proto::type::hello_reply);
}

bool raw_client::alive()
{
    proto::frame f;
    return request(proto::make_frame(proto::type::ping, "alive?"), proto::type::pong, &f) && f.payload == "alive?";
}

void raw_client::expect_error_and_close(proto::error_code code, const char* what, double limit)
{
    proto::frame f;
    ASSERT_EQ(receive(f, limit), proto::read_result::ok) << what;
    ASSERT_EQ(f.kind, proto::type::error) << what;
    proto::error_code got;
    std::string text;
    ASSERT_TRUE(proto::parse_error(f.payload, got, text)) << what;
    EXPECT_EQ(got, code) << what << ": " << text;
    EXPECT_EQ(receive(f), proto::read_result::closed) << what << ": the server should close the connection";
}

SOCKET raw_client::socket() const
{
    return pipe_access::of(pipe_);
}

process::~process()
{
    kill();
    if (handle_)
        CloseHandle(handle_);
}

bool process::adopt(DWORD pid)
{
    handle_ = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
    pid_ = handle_ ? pid : 0;
    return handle_ != nullptr;
}

int process::wait(double seconds)
{
    if (!handle_ || WaitForSingleObject(handle_, static_cast<DWORD>(seconds * 1000)) != WAIT_OBJECT_0)
        return still_running;
    DWORD code = 0;
    return GetExitCodeProcess(handle_, &code) ? static_cast<int>(code) : status_unknown;
}

void process::kill()
{
    if (handle_ && WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(handle_, 99);
        WaitForSingleObject(handle_, INFINITE);
    }
}

server_process::~server_process()
{
    if (pid() && wait(0) == still_running)
        stop();
}

bool server_process::start()
{
    YIntSockSel* set = YIntSockSel_Create();
    const DWORD pid = YProcess_Create(('"' + server_path() + '"').c_str(), 0);
    const bool adopted = pid != YPROCESS_ID_NONE && adopt(pid);
    const int signalled = adopted ? YIntSockSel_Wait(set) : 0;
    YIntSockSel_Destroy(set);
    EXPECT_TRUE(adopted) << "vantor.exe did not start";
    EXPECT_EQ(signalled, -2) << "vantor.exe did not signal that it listens";
    return adopted && signalled == -2;
}

int server_process::stop()
{
    std::string token;
    raw_client client;
    if (orvane::read_server_token(token) && client.open() && client.hello())
        client.request(proto::make_frame(proto::type::shutdown, token), proto::type::shutdown_reply);
    const int status = wait(10.0);
    EXPECT_NE(status, still_running) << "vantor.exe did not stop";
    kill();
    return status;
}

}  // namespace server_test
