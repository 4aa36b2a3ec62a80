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
    double milliseconds;  // until every client was accepted
    int retried;          // connects that failed and were made again
    int stalled;          // connects that took longer than 100 ms
};
// clients connecting at once to a socket that listens with the backlog and accepts in a loop.
burst accept_burst(int clients, int backlog);

}  // namespace tcp_peer

#endif
