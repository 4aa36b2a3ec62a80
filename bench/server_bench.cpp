// The server and its connection, against a plain loopback socket measured in the same run.
//   server.coldstart <ms> ms       no server running: construction of VantorConnection until it
//                                  is connected (the server started and signalled), median of 20
//   server.ping.p50|p99 <us> us    a 64-byte ping through VantorConnection (2000 round trips)
//   tcp.rtt.p50|p99 <us> us        a 1-byte round trip over a plain loopback socket (Linux)
//   server.ping.load.p99 <us> us   256 clients pinging at once, 64 bytes, 50 pings each
// server_bench --label wine: the figures are named server.*.wine.
// It works in a winport prefix of its own and needs the port 4137 free; every server it starts
// is stopped again, also when a figure cannot be had.
#include <vantor/VantorConnection.h>
#include <vantor/server_client.h>
#include <vantor/vantor.h>

#include "test_support.h"
#ifndef _WIN32
#include "peers/tcp_peer.h"
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

bool configure()
{
    char folder[MAX_PATH] = "";
    if (!SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE))
        return false;
    const std::string dir = std::string(folder) + "\\Orvane\\Dravin";
    SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr);
    const std::string config = dir + "\\server-bench.ini";
    const std::string bootstrap = "[dravin]\r\ndravin.ini=" + config + "\r\n";
    HANDLE f = CreateFileA((dir + "\\dravinInit.ini").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(f, bootstrap.data(), static_cast<DWORD>(bootstrap.size()), &written, nullptr);
    CloseHandle(f);
    return ok && setVantorServerLocation((vantor_test::program_dir() + "\\vantor.exe").c_str());
}

// Stops the server behind a session and waits for its end.
bool stop_server(orvane::ServerSession& session)
{
    orvane::protocol::status_info info;
    std::string token;
    if (!session.status(info) || !orvane::read_server_token(token))
        return false;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, info.process_id);
    const bool asked = session.shutdown(token);
    const bool ended = process && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    if (process)
        CloseHandle(process);
    return asked && ended;
}

// A server that the bench started, stopped when it goes.
struct running_server {
    VantorConnection connection;
    orvane::ServerSession session{connection};
    bool up = session.hello();
    ~running_server()
    {
        if (up)
            stop_server(session);
    }
};

std::vector<double> coldstarts(int runs)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = clock_type::now();
        auto connection = std::make_unique<VantorConnection>();
        const double took = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
        orvane::ServerSession session(*connection);
        if (!session.hello())
            return {};
        ms.push_back(took);
        if (!stop_server(session))
            return {};
    }
    return ms;
}

std::vector<double> pings(orvane::ServerSession& session, int count)
{
    const std::string payload(64, 'p');
    std::string echoed;
    std::vector<double> us;
    for (int i = 0; i < count; ++i) {
        const auto start = clock_type::now();
        if (!session.ping(payload, echoed))
            return {};
        us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
    return us;
}

std::vector<double> pings_under_load(int clients, int count)
{
    std::vector<std::vector<double>> each(static_cast<std::size_t>(clients));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] {
            VantorConnection connection;
            orvane::ServerSession session(connection);
            const bool up = session.hello();
            ++ready;
            while (!go)
                std::this_thread::yield();
            if (up)
                each[static_cast<std::size_t>(i)] = pings(session, count);
        });
    while (ready < clients)
        std::this_thread::yield();
    go = true;
    for (std::thread& t : threads)
        t.join();
    std::vector<double> all;
    for (const auto& v : each) {
        if (v.empty())
            return {};
        all.insert(all.end(), v.begin(), v.end());
    }
    return all;
}

void print(const std::string& name, double value, const char* unit)
{
    if (value < 0)
        std::printf("%s - %s (failed)\n", name.c_str(), unit);
    else
        std::printf("%s %.1f %s\n", name.c_str(), value, unit);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string suffix = argc == 3 && std::strcmp(argv[1], "--label") == 0 ? std::string(".") + argv[2] : "";
    vantor_test::private_prefix prefix;
    if (!configure()) {
        std::fprintf(stderr, "server_bench: cannot write the configuration\n");
        return 1;
    }
    print("server.coldstart" + suffix, percentile(coldstarts(20), 0.5), "ms");
    {
        running_server server;
        if (!server.up) {
            std::fprintf(stderr, "server_bench: no server\n");
            return 1;
        }
        pings(server.session, 200);  // warm-up
        const std::vector<double> us = pings(server.session, 2000);
        print("server.ping.p50" + suffix, percentile(us, 0.5), "us");
        print("server.ping.p99" + suffix, percentile(us, 0.99), "us");
#ifndef _WIN32
        const std::vector<double> tcp = tcp_peer::round_trips(2000);
        print("tcp.rtt.p50", percentile(tcp, 0.5), "us");
        print("tcp.rtt.p99", percentile(tcp, 0.99), "us");
#endif
        print("server.ping.load.p99" + suffix, percentile(pings_under_load(256, 50), 0.99), "us");
    }
    return 0;
}
