// The four processes a benchmark case is made of: a receiver and a sender
// through the link, and a receiver and a sender of the raw-socket baseline.
// Each runs in a process of its own (the benchmark program started again
// with --role) and writes one result line to descriptor 3.
#ifndef TARVEX_BENCH_ROLES_H
#define TARVEX_BENCH_ROLES_H

#include <map>
#include <string>

namespace bench {

struct RoleArgs {
    std::string role;    // lib-recv, lib-send, raw-recv, raw-send
    bool local = false;  // local socket instead of TCP
    int port = 0;        // senders: where the receiver listens
    size_t body = 64;    // body bytes of each record
    long count = 1000;
    bool ack = false;
    bool convert = false;  // through a big-endian-mode link
};

// Runs one role; returns the exit code.  Receivers first write
// "port=N", then everyone writes one line of key=value results:
// t_first, t_last (receivers), t_start, t_end, lat_med, lat_p99 (senders,
// seconds), rss_kb, reads, writes (read- and write-like system calls
// during the transfer), errors.
int run_role(const RoleArgs& a);

// Parses a result line into its keys.
std::map<std::string, double> parse_result(const std::string& line);

}  // namespace bench

#endif
