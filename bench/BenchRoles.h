// The processes a benchmark case is made of: a receiver and a sender through
// the link (record by record, or in batches into a ring buffer), through a
// raw-socket baseline, and through a ZeroMQ PAIR baseline when the program
// was built with libzmq.  Each runs in a process of its own (the benchmark
// program started again with --role) and writes one result line to
// descriptor 3.
#ifndef TARVEX_BENCH_ROLES_H
#define TARVEX_BENCH_ROLES_H

#include <map>
#include <string>

namespace bench {

struct RoleArgs {
    std::string role;    // lib-recv, lib-send, raw-recv, raw-send, zmq-recv, zmq-send
    bool local = false;  // local socket (ZeroMQ: ipc) instead of TCP
    int port = 0;        // senders: where the receiver listens
    size_t body = 64;    // body bytes of each record
    long count = 1000;
    bool ack = false;
    bool convert = false;  // through a big-endian-mode link
    int batch = 0;         // lib-send: records per SendEventBatch call (0: SendEvent)
    bool ring = false;     // lib-recv: every record into a ring buffer that a consumer drains
};

// Runs one role; returns the exit code.  Receivers first write
// "port=N", then everyone writes one line of key=value results:
// t_first, t_last (receivers), t_start, t_end, lat_med, lat_p99 (senders,
// seconds), rss_kb, reads, writes (read- and write-like system calls
// during the transfer), errors.
int run_role(const RoleArgs& a);

// Parses a result line into its keys.
std::map<std::string, double> parse_result(const std::string& line);

// Whether the ZeroMQ roles were built in, and the version of the libzmq in
// use ("" without).
bool zeromq_built();
std::string zeromq_version();

}  // namespace bench

#endif
