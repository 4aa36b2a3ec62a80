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
