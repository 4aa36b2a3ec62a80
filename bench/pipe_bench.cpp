// The TCP pipes against plain TCP over loopback, in one run: throughput of exact-count
// transfers, 1-byte round trips, and a burst of clients at a listening socket.
#include <ysl/ytcpclientpipe.h>
#include <ysl/ytcpserverpipe.h>

#include "peers/tcp_peer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr size_t total_bytes = size_t(1) << 30;
constexpr size_t piece_bytes = size_t(64) << 10;
constexpr int round_trip_count = 20000;
constexpr int burst_clients = 200;
constexpr double burst_limit = 10.0;  // seconds
constexpr int runs = 5;
// The plain peer listens with the system's default limit (net.core.somaxconn), so that its
// burst shows what the machine itself can do.
constexpr int peer_backlog = 4096;

class Listener : public YTCPServerPipeSocket {
public:
    int port() const
    {
        sockaddr_storage address{};
        int length = sizeof address;
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    // Whether a client is pending within the seconds.
    bool wait(double seconds)
    {
        fd_set pending;
        FD_ZERO(&pending);
        FD_SET(m_socket, &pending);
        timeval limit;
        limit.tv_sec = static_cast<long>(seconds);
        limit.tv_usec = static_cast<long>((seconds - static_cast<double>(limit.tv_sec)) * 1e6);
        return select(0, &pending, nullptr, nullptr, &limit) == 1;
    }
};

struct connection {
    Listener listener;
    YTCPClientPipe client;
    std::unique_ptr<YTCPServerPipe> server;

    bool open()
    {
        if (!listener.Open(0, true) || !client.Open("127.0.0.1", listener.port(), true))
            return false;
        server.reset(listener.Accept(true));
        return server != nullptr;
    }
};

double pipe_throughput()
{
    connection c;
    if (!c.open())
        return 0;
    auto start = clock_type::now();
    std::thread writer([&] {
        std::vector<char> buffer(piece_bytes, 'w');
        for (size_t at = 0; at < total_bytes; at += piece_bytes)
            c.client.WriteComplete(buffer.data(), piece_bytes);
    });
    std::vector<char> buffer(piece_bytes);
    for (size_t at = 0; at < total_bytes; at += piece_bytes)
        c.server->ReadComplete(buffer.data(), piece_bytes);
    writer.join();
    return static_cast<double>(total_bytes) / std::chrono::duration<double>(clock_type::now() - start).count();
}

std::vector<double> pipe_round_trips()
{
    connection c;
    std::vector<double> times;
    if (!c.open())
        return times;
    std::thread echo([&] {
        char byte;
        for (int i = 0; i < round_trip_count; ++i) {
            if (c.server->Read(&byte, 1, -1.0) != 1 || c.server->Write(&byte, 1, -1.0) != 1)
                return;
        }
    });
    char byte = 'p';
    for (int i = 0; i < round_trip_count; ++i) {
        auto start = clock_type::now();
        c.client.Write(&byte, 1, -1.0);
        c.client.Read(&byte, 1, -1.0);
        times.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
    echo.join();
    return times;
}

tcp_peer::burst pipe_accept_burst()
{
    Listener listener;
    // Not blocking, so that clients the socket never takes cannot hold the run up.
    if (!listener.Open(0, false))
        return {0, 0, 0, 0};
    int port = listener.port();
    std::atomic<int> retried{0}, stalled{0};
    std::atomic<bool> go{false};
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < burst_clients; ++i) {
        threads.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            auto start = clock_type::now();
            YTCPClientPipe client;
            while (!client.Open("127.0.0.1", port, true))
                ++retried;
            if (clock_type::now() - start > std::chrono::milliseconds(100))
                ++stalled;
            // Each client closes its own connection, all at once: a close lingers up to a
            // second for a peer that never took the connection.
            std::unique_lock<std::mutex> guard(lock);
            ended.wait(guard, [&] { return done; });
        });
    }
    auto start = clock_type::now();
    auto deadline =
        start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(burst_limit));
    go = true;
    std::vector<std::unique_ptr<YTCPServerPipe>> accepted;
    while (static_cast<int>(accepted.size()) < burst_clients) {
        double left = std::chrono::duration<double>(deadline - clock_type::now()).count();
        if (left <= 0 || !listener.wait(left))
            break;
        if (YTCPServerPipe* p = listener.Accept(true))
            accepted.emplace_back(p);
    }
    double ms = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    ended.notify_all();
    for (std::thread& t : threads)
        t.join();
    return {ms, retried.load(), stalled.load(), burst_clients - static_cast<int>(accepted.size())};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    // Peers alternate run by run, so that a busy moment of the machine falls on both.
    std::vector<double> pipe_rate, tcp_rate, pipe_p50, pipe_p99, tcp_p50, tcp_p99, pipe_burst, tcp_burst;
    std::vector<double> pipe_retried, pipe_stalled, pipe_unaccepted, tcp_retried, tcp_stalled, tcp_unaccepted;
    std::vector<double> tcp1_burst, tcp1_unaccepted;
    for (int run = 0; run < runs; ++run) {
        pipe_rate.push_back(pipe_throughput() / 1e6);
        tcp_rate.push_back(tcp_peer::throughput(total_bytes, piece_bytes) / 1e6);
        std::vector<double> t = pipe_round_trips();
        pipe_p50.push_back(percentile(t, 0.50));
        pipe_p99.push_back(percentile(t, 0.99));
        t = tcp_peer::round_trips(round_trip_count);
        tcp_p50.push_back(percentile(t, 0.50));
        tcp_p99.push_back(percentile(t, 0.99));
        tcp_peer::burst b = pipe_accept_burst();
        pipe_burst.push_back(b.milliseconds);
        pipe_retried.push_back(b.retried);
        pipe_stalled.push_back(b.stalled);
        pipe_unaccepted.push_back(b.unaccepted);
        b = tcp_peer::accept_burst(burst_clients, peer_backlog, burst_limit);
        tcp_burst.push_back(b.milliseconds);
        tcp_retried.push_back(b.retried);
        tcp_stalled.push_back(b.stalled);
        tcp_unaccepted.push_back(b.unaccepted);
        b = tcp_peer::accept_burst(burst_clients, 1, burst_limit);
        tcp1_burst.push_back(b.milliseconds);
        tcp1_unaccepted.push_back(b.unaccepted);
    }
    std::printf("pipe.throughput %.0f MB/s\n", median(pipe_rate));
    std::printf("tcp.throughput %.0f MB/s\n", median(tcp_rate));
    std::printf("pipe.rtt.p50 %.1f us\n", median(pipe_p50));
    std::printf("tcp.rtt.p50 %.1f us\n", median(tcp_p50));
    std::printf("pipe.rtt.p99 %.1f us\n", median(pipe_p99));
    std::printf("tcp.rtt.p99 %.1f us\n", median(tcp_p99));
    std::printf("pipe.accept.burst %.1f ms\n", median(pipe_burst));
    std::printf("pipe.accept.burst.retried %.0f connects\n", median(pipe_retried));
    std::printf("pipe.accept.burst.stalled %.0f connects\n", median(pipe_stalled));
    std::printf("pipe.accept.burst.unaccepted %.0f clients\n", median(pipe_unaccepted));
    std::printf("tcp.accept.burst %.1f ms\n", median(tcp_burst));
    std::printf("tcp.accept.burst.retried %.0f connects\n", median(tcp_retried));
    std::printf("tcp.accept.burst.stalled %.0f connects\n", median(tcp_stalled));
    std::printf("tcp.accept.burst.unaccepted %.0f clients\n", median(tcp_unaccepted));
    std::printf("tcp.accept.burst.backlog1 %.1f ms\n", median(tcp1_burst));
    std::printf("tcp.accept.burst.backlog1.unaccepted %.0f clients\n", median(tcp1_unaccepted));
    WSACleanup();
    return 0;
}
