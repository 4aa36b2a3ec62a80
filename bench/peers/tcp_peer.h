// The plain TCP peers of the pipe benchmarks: the same transfers through the system's own
// socket calls, with nothing of winport or ysl between.
#ifndef VANTOR_BENCH_TCP_PEER_H
#define VANTOR_BENCH_TCP_PEER_H

#include <cstddef>
#include <vector>

namespace tcp_peer {

// Bytes per second of a send loop and a recv loop over loopback, total bytes in pieces.
double throughput(std::size_t total, std::size_t piece);
// Microseconds of each 1-byte round trip.
std::vector<double> round_trips(int count);
enum class echo_server { epoll_loop, thread_per_connection };

// Plain loopback clients of an echo server that runs in a process of its own: one epoll loop
// for all connections, or a thread with a blocking receive for each. The server ends when the
// object goes.
class echo_load {
public:
    echo_load(int clients, echo_server kind);
    ~echo_load();
    echo_load(const echo_load&) = delete;
    echo_load& operator=(const echo_load&) = delete;

    bool ok() const { return pid_ > 0; }
    int pid() const { return pid_; }
    // Sends the message on the client's connection and reads its echo into it.
    bool round_trip(int client, char* message, std::size_t bytes);

private:
    std::vector<int> clients_;
    int pid_ = -1;
};

// The processor time a process spent so far, microseconds (-1 when it cannot be read).
double cpu_us(int pid);

struct burst {
    double milliseconds;  // until every client was accepted, or the time limit
    int retried;          // connects that failed and were made again
    int stalled;          // connects that took longer than 100 ms
    int unaccepted;       // clients connected on their side but never accepted in the time limit
};
// Clients connecting at once to a socket that listens with the backlog and accepts in a loop,
// for at most the time limit.
burst accept_burst(int clients, int backlog, double limit_seconds);

}  // namespace tcp_peer

#endif
