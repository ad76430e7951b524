// A test peer that speaks raw POSIX sockets: it plays either end of a link,
// sends chosen bytes (a preamble in either byte order, records, garbage),
// one byte per segment when asked, closes at a chosen point, and reads exact
// bytes with a time-out.  For the tests, the fuzz seeds and the reliability
// programs alike.
#ifndef TARVEX_RAW_PEER_H
#define TARVEX_RAW_PEER_H

#include <cstddef>
#include <string>
#include <utility>

#include "Bytes.h"

namespace tt {

// Both ends of a connected local stream socket pair.
std::pair<int, int> stream_pair();

// A local socket file at `path` that nobody listens on: what a process that
// ended without releasing its endpoint leaves behind.  False when it could
// not be made.
bool leave_stale_socket_file(const std::string& path);

class RawPeer {
public:
    RawPeer() = default;
    explicit RawPeer(int fd) : fd_(fd) {}
    RawPeer(RawPeer&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    RawPeer& operator=(RawPeer&& o) noexcept;
    ~RawPeer();

    // Connects to a listening end (TCP on 127.0.0.1, or the local socket
    // path of `port`), retrying for up to `timeout_ms` while nobody listens
    // yet.
    static RawPeer connect_tcp(int port, int timeout_ms = 5000);
    static RawPeer connect_unix(int port, int timeout_ms = 5000);
    // One attempt, no retry: a TCP connection from the address `source` to
    // `dest`:`port`, or one to the local socket at `path`; invalid when
    // refused.
    static RawPeer connect_from(const char* source, const char* dest, int port);
    static RawPeer connect_path(const std::string& path);

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    bool send(const Bytes& b);
    bool send(const void* p, size_t n);
    // One byte per write, with a pause after each, so that the bytes arrive
    // in separate segments.
    bool send_slowly(const Bytes& b, int gap_ms = 5);

    // Exactly n bytes, or an empty result when the time-out passes or the
    // stream ends first.
    bool read_exact(void* dst, size_t n, int timeout_ms = 5000);
    Bytes read_exact(size_t n, int timeout_ms = 5000);
    // Whatever arrives within `timeout_ms` after the first byte, up to max.
    Bytes read_some(size_t max, int timeout_ms);
    // Everything until the peer closes (the end of the stream or a reset)
    // or the time-out passes; `closed` tells which.
    Bytes read_until_closed(int timeout_ms = 5000, bool* closed = nullptr);
    // True when nothing arrives within `timeout_ms`.
    bool quiet_for(int timeout_ms);
    // True when the peer has closed: a read returns 0 within `timeout_ms`.
    bool sees_close(int timeout_ms = 5000);

    void set_rcvbuf(int bytes);
    void set_sndbuf(int bytes);
    void shutdown_write();
    void close();
    // Closes with a reset (SO_LINGER 0) instead of the end of the stream.
    void reset();
    // Hands the descriptor over; the peer forgets it.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// The accepting end played raw: listens on 127.0.0.1:<port> or on the
// local socket path of `port` (removed again on destruction).
class RawListener {
public:
    RawListener(int port, bool local_socket);
    // Listens on the local socket at `path` instead.
    explicit RawListener(const std::string& path);
    ~RawListener();
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;
    // The next peer, or an invalid RawPeer after `timeout_ms`.
    RawPeer accept(int timeout_ms = 5000);
    int port() const { return port_; }
    // False when the bind or the listen failed.
    bool listening() const { return listening_; }

private:
    void listen_local(const std::string& path);

    int fd_ = -1;
    int port_ = -1;
    bool local_;
    std::string path_;  // the local socket's
    bool listening_ = false;
};

}  // namespace tt

#endif
