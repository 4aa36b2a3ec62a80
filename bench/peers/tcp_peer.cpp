#include "tcp_peer.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tcp_peer {
namespace {

using clock_type = std::chrono::steady_clock;

int listener(int backlog, int& port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, backlog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(s);
        return -1;
    }
    port = ntohs(address.sin_port);
    return s;
}

int connect_to(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool send_all(int s, const char* p, std::size_t n)
{
    while (n > 0) {
        ssize_t k = send(s, p, n, MSG_NOSIGNAL);
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

bool recv_all(int s, char* p, std::size_t n)
{
    while (n > 0) {
        ssize_t k = recv(s, p, n, 0);
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

}  // namespace

double throughput(std::size_t total, std::size_t piece)
{
    int port = 0;
    int l = listener(1, port);
    int client = connect_to(port);
    int server = accept(l, nullptr, nullptr);
    close(l);
    auto start = clock_type::now();
    std::thread writer([&] {
        std::vector<char> buffer(piece, 'w');
        for (std::size_t at = 0; at < total; at += piece)
            send_all(client, buffer.data(), piece);
    });
    std::vector<char> buffer(piece);
    for (std::size_t at = 0; at < total; at += piece)
        recv_all(server, buffer.data(), piece);
    writer.join();
    double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    close(client);
    close(server);
    return static_cast<double>(total) / seconds;
}

std::vector<double> round_trips(int count)
{
    int port = 0;
    int l = listener(1, port);
    int client = connect_to(port);
    int server = accept(l, nullptr, nullptr);
    close(l);
    std::thread echo([&] {
        char byte;
        for (int i = 0; i < count; ++i) {
            if (!recv_all(server, &byte, 1) || !send_all(server, &byte, 1))
                return;
        }
    });
    std::vector<double> times;
    char byte = 'p';
    for (int i = 0; i < count; ++i) {
        auto start = clock_type::now();
        send_all(client, &byte, 1);
        recv_all(client, &byte, 1);
        times.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
    echo.join();
    close(client);
    close(server);
    return times;
}

burst accept_burst(int clients, int backlog, double limit_seconds)
{
    int port = 0;
    int l = listener(backlog, port);
    std::atomic<int> retried{0}, stalled{0};
    std::atomic<bool> go{false};
    std::vector<int> sockets(static_cast<std::size_t>(clients), -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            auto start = clock_type::now();
            int s;
            while ((s = connect_to(port)) < 0)
                ++retried;
            if (clock_type::now() - start > std::chrono::milliseconds(100))
                ++stalled;
            sockets[static_cast<std::size_t>(i)] = s;
        });
    }
    auto start = clock_type::now();
    auto deadline =
        start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(limit_seconds));
    go = true;
    std::vector<int> accepted;
    while (static_cast<int>(accepted.size()) < clients) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
        pollfd p{l, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        int s = accept(l, nullptr, nullptr);
        if (s >= 0)
            accepted.push_back(s);
    }
    double ms = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
    for (std::thread& t : threads)
        t.join();
    for (int s : accepted)
        close(s);
    for (int s : sockets)
        close(s);
    close(l);
    return {ms, retried.load(), stalled.load(), clients - static_cast<int>(accepted.size())};
}

}  // namespace tcp_peer
