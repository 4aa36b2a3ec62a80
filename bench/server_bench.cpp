// The server and its connection, against a plain loopback socket measured in the same run.
//   server.coldstart <ms> ms       no server running: construction of VantorConnection until it
//                                  is connected (the server started and signalled), median of 20
//   server.ping.p50|p99 <us> us    a 64-byte ping through VantorConnection (2000 round trips)
//   tcp.rtt.p50|p99 <us> us        a 1-byte round trip over a plain loopback socket (Linux)
//   server.ping.load.p50|p99 <us> us   256 clients, each on a thread of its own, pinging
//                                  closed-loop at once, 64 bytes, 50 pings each
//   server.ping.load.cpu <us> us   the processor time of that load per ping, the clients' and
//                                  the server's together (Linux)
//   tcp.load.p50|p99|cpu           the same load of 72-byte messages (a ping's frame) from plain
//                                  loopback clients against a plain echo server in a process
//                                  of its own, one epoll loop for all connections (Linux)
//   tcp.threads.load.p50|p99|cpu   the same against an echo server with a thread and a blocking
//                                  receive for each connection, the server's own model (Linux)
// The load figures are the medians of 3 rounds, the server's and the peers' taking turns, so that
// all meet the same moments of a shared machine.
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
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
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

DWORD process_id(orvane::ServerSession& session)
{
    orvane::protocol::status_info info;
    return session.status(info) ? info.process_id : 0;
}

// A server that the bench started, stopped when it goes.
struct running_server {
    VantorConnection connection;
    orvane::ServerSession session{connection};
    bool up = session.hello();
    DWORD pid = process_id(session);
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

// The microseconds of count calls of ping, which gives false when one failed; empty then.
template <class Ping>
std::vector<double> timed(const Ping& ping, int count)
{
    std::vector<double> us;
    for (int i = 0; i < count; ++i) {
        const auto start = clock_type::now();
        if (!ping())
            return {};
        us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
    return us;
}

std::vector<double> pings(orvane::ServerSession& session, int count)
{
    const std::string payload(64, 'p');
    std::string echoed;
    return timed([&] { return session.ping(payload, echoed); }, count);
}

// The processor time the two processes spent so far, microseconds; -1 where it cannot be had.
double cpu_us(int first, int second)
{
#ifdef _WIN32
    (void)first;
    (void)second;
    return -1;
#else
    const double a = tcp_peer::cpu_us(first), b = tcp_peer::cpu_us(second);
    return a < 0 || b < 0 ? -1 : a + b;
#endif
}

struct load_result {
    std::vector<double> us;  // every round trip; empty when a client failed
    double cpu_us = -1;      // processor time of this process and the server's, per round trip
};

// Lets every client set up first, starts their pings at once, and holds their connections open
// until all have pinged, so that no connection's end falls into another's pings or the time
// counted. The clients wait blocked, so that none takes processor time from the others.
class load_gate {
public:
    explicit load_gate(int clients) : clients_(clients) {}
    void arrive_and_wait_for_start() { count_and_wait(arrived_, start_); }
    void finish_and_wait_for_end() { count_and_wait(finished_, end_); }
    void wait_until_all_arrived() { wait_for_all(arrived_); }
    void wait_until_all_finished() { wait_for_all(finished_); }
    void start() { started_.set_value(); }
    void end() { ended_.set_value(); }

private:
    void count_and_wait(int& counter, const std::shared_future<void>& until)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (++counter == clients_)
                all_.notify_one();
        }
        until.wait();
    }
    void wait_for_all(const int& counter)
    {
        std::unique_lock<std::mutex> hold(lock_);
        all_.wait(hold, [&] { return counter == clients_; });
    }

    const int clients_;
    std::mutex lock_;
    std::condition_variable all_;
    int arrived_ = 0;   // under lock_
    int finished_ = 0;  // under lock_
    std::promise<void> started_, ended_;
    std::shared_future<void> start_ = started_.get_future().share();
    std::shared_future<void> end_ = ended_.get_future().share();
};

// clients closed-loop clients on threads of their own, count round trips each. connect(i, run)
// sets client i up on its thread and calls run(ping) once it can ping, ping giving false on a
// failure; it may return without calling run when it cannot.
template <class Connect>
load_result closed_loop(int clients, int count, int server_pid, const Connect& connect)
{
    std::vector<std::vector<double>> each(static_cast<std::size_t>(clients));
    load_gate gate(clients);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] {
            bool ran = false;
            connect(i, [&](const auto& ping) {
                ran = true;
                gate.arrive_and_wait_for_start();
                each[static_cast<std::size_t>(i)] = timed(ping, count);
                gate.finish_and_wait_for_end();
            });
            if (!ran) {
                gate.arrive_and_wait_for_start();
                gate.finish_and_wait_for_end();
            }
        });
    gate.wait_until_all_arrived();
    const int self = static_cast<int>(GetCurrentProcessId());
    const double cpu_before = cpu_us(self, server_pid);
    gate.start();
    gate.wait_until_all_finished();
    const double cpu_after = cpu_us(self, server_pid);
    gate.end();
    for (std::thread& t : threads)
        t.join();
    load_result result;
    for (const auto& v : each) {
        if (v.empty())
            return {};
        result.us.insert(result.us.end(), v.begin(), v.end());
    }
    if (cpu_before >= 0 && cpu_after >= 0)
        result.cpu_us = (cpu_after - cpu_before) / static_cast<double>(result.us.size());
    return result;
}

const int load_clients = 256;
const int load_pings = 50;
const int load_rounds = 3;

load_result server_load(int server_pid)
{
    return closed_loop(load_clients, load_pings, server_pid, [](int, const auto& run) {
        VantorConnection connection;
        orvane::ServerSession session(connection);
        const std::string payload(64, 'p');
        std::string echoed;
        if (session.hello())
            run([&] { return session.ping(payload, echoed); });
    });
}

#ifndef _WIN32
load_result tcp_load(tcp_peer::echo_server kind)
{
    tcp_peer::echo_load peer(load_clients, kind);
    if (!peer.ok())
        return {};
    return closed_loop(load_clients, load_pings, peer.pid(), [&peer](int i, const auto& run) {
        std::vector<char> message(8 + 64, 'p');
        run([&] { return peer.round_trip(i, message.data(), message.size()); });
    });
}
#endif

// Each round's p50, p99 and processor time per round trip, -1 for a round that failed.
struct load_figures {
    std::vector<double> p50, p99, cpu;
    void add(const load_result& r)
    {
        p50.push_back(r.us.empty() ? -1 : percentile(r.us, 0.5));
        p99.push_back(r.us.empty() ? -1 : percentile(r.us, 0.99));
        cpu.push_back(r.us.empty() ? -1 : r.cpu_us);
    }
};

void print(const std::string& name, double value, const char* unit)
{
    if (value < 0)
        std::printf("%s - %s (failed)\n", name.c_str(), unit);
    else
        std::printf("%s %.1f %s\n", name.c_str(), value, unit);
}

// The median of the rounds; a failed round makes the figure failed.
void print_load(const std::string& name, const load_figures& f)
{
    const auto median = [](const std::vector<double>& v) {
        return std::find_if(v.begin(), v.end(), [](double x) { return x < 0; }) != v.end() ? -1 : percentile(v, 0.5);
    };
    print(name + ".p50", median(f.p50), "us");
    print(name + ".p99", median(f.p99), "us");
#ifndef _WIN32
    print(name + ".cpu", median(f.cpu), "us");
#endif
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
    load_figures served, epoll_peer, threads_peer;
    for (int round = 0; round < load_rounds; ++round) {
        served.add(server_load(static_cast<int>(server.pid)));
#ifndef _WIN32
        epoll_peer.add(tcp_load(tcp_peer::echo_server::epoll_loop));
        threads_peer.add(tcp_load(tcp_peer::echo_server::thread_per_connection));
#endif
    }
    print_load("server.ping.load" + suffix, served);
#ifndef _WIN32
    print_load("tcp.load", epoll_peer);
    print_load("tcp.threads.load", threads_peer);
#endif
    return 0;
}
