#include "tcp_peer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

double cpu_us(int pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (!f)
        return -1;
    char text[1024];
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = 0;
    // The name, in parentheses, may hold spaces; the fields after it are counted from there.
    const char* at = std::strrchr(text, ')');
    unsigned long long user = 0, system = 0;
    if (!at || std::sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) != 2)
        return -1;
    return static_cast<double>(user + system) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

namespace {

// What a socket brings goes back at once; the messages are small enough that a send never has
// to wait for room. Ends when every client has ended its sending.
[[noreturn]] void serve_echo(const std::vector<int>& served, echo_server kind)
{
    char buffer[4096];
    if (kind == echo_server::thread_per_connection) {
        std::vector<std::thread> threads;
        for (int s : served)
            threads.emplace_back([s] {
                char own[4096];
                for (ssize_t k; (k = recv(s, own, sizeof own, 0)) > 0;)
                    send_all(s, own, static_cast<std::size_t>(k));
            });
        for (std::thread& t : threads)
            t.join();
        _exit(0);
    }
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (int s : served) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = s;
        if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, s, &e) != 0)
            _exit(1);
    }
    std::size_t open = served.size();
    epoll_event ready[64];
    while (open > 0) {
        const int n = epoll_wait(ep, ready, 64, -1);
        for (int i = 0; i < n; ++i) {
            const int s = ready[i].data.fd;
            const ssize_t k = recv(s, buffer, sizeof buffer, 0);
            if (k > 0) {
                send_all(s, buffer, static_cast<std::size_t>(k));
            } else if (k == 0 || errno != EAGAIN) {
                epoll_ctl(ep, EPOLL_CTL_DEL, s, nullptr);
                --open;
            }
        }
    }
    _exit(0);
}

}  // namespace

echo_load::echo_load(int clients, echo_server kind)
{
    int port = 0;
    const int l = listener(clients, port);
    if (l < 0)
        return;
    std::vector<int> served;
    for (int i = 0; i < clients; ++i) {
        const int c = connect_to(port);
        if (c < 0)
            break;
        clients_.push_back(c);
        const int s =
            accept4(l, nullptr, nullptr, SOCK_CLOEXEC | (kind == echo_server::epoll_loop ? SOCK_NONBLOCK : 0));
        if (s < 0)
            break;
        served.push_back(s);
        const int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    close(l);
    if (static_cast<int>(served.size()) == clients) {
        // The server runs in a process of its own, as a server does.
        pid_ = fork();
        if (pid_ == 0) {
            for (int c : clients_)
                close(c);
            serve_echo(served, kind);
        }
    }
    for (int s : served)
        close(s);
}

echo_load::~echo_load()
{
    for (int c : clients_) {
        shutdown(c, SHUT_WR);
        close(c);
    }
    if (pid_ > 0)
        waitpid(pid_, nullptr, 0);
}

bool echo_load::round_trip(int client, char* message, std::size_t bytes)
{
    const int s = clients_[static_cast<std::size_t>(client)];
    return send_all(s, message, bytes) && recv_all(s, message, bytes);
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
