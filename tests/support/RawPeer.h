// A test peer that speaks raw POSIX sockets: it plays either end of a link,
// sends chosen bytes (a preamble in either byte order, records, garbage),
// one byte per segment when asked, closes at a chosen point, and reads exact
// bytes with a time-out.  Also: ports that do not clash between tests that
// run at the same time, socket pairs, a watchdog and an environment guard.
#ifndef TARVEX_RAW_PEER_H
#define TARVEX_RAW_PEER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tt {

using Bytes = std::vector<unsigned char>;

// A TCP port that is free now and not handed out twice by this process;
// its local-socket path /tmp/<port>.tcp is removed first.
int unique_port();

// Both ends of a connected local stream socket pair.
std::pair<int, int> stream_pair();

// The 4 bytes of `v`, most significant first (big-endian) or last.
Bytes be32(uint32_t v);
Bytes le32(uint32_t v);
// The 4 bytes of `v` as this machine stores it.
Bytes host32(uint32_t v);
// The bytes of any object as they lie in memory.
template <class T>
Bytes bytes_of(const T& v) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&v);
    return Bytes(p, p + sizeof v);
}
Bytes cat(std::initializer_list<Bytes> parts);

class RawPeer {
public:
    RawPeer() = default;
    explicit RawPeer(int fd) : fd_(fd) {}
    RawPeer(RawPeer&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    RawPeer& operator=(RawPeer&& o) noexcept;
    ~RawPeer();

    // Connects to a listening end (TCP on 127.0.0.1, or /tmp/<port>.tcp),
    // retrying for up to `timeout_ms` while nobody listens yet.
    static RawPeer connect_tcp(int port, int timeout_ms = 5000);
    static RawPeer connect_unix(int port, int timeout_ms = 5000);

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
    // Everything until the peer closes or the time-out passes.
    Bytes read_until_closed(int timeout_ms = 5000);
    // True when nothing arrives within `timeout_ms`.
    bool quiet_for(int timeout_ms);
    // True when the peer has closed: a read returns 0 within `timeout_ms`.
    bool sees_close(int timeout_ms = 5000);

    void set_rcvbuf(int bytes);
    void set_sndbuf(int bytes);
    void shutdown_write();
    void close();
    // Hands the descriptor over; the peer forgets it.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// The accepting end played raw: listens on 127.0.0.1:<port> or on
// /tmp/<port>.tcp (removed again on destruction).
class RawListener {
public:
    RawListener(int port, bool local_socket);
    ~RawListener();
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;
    // The next peer, or an invalid RawPeer after `timeout_ms`.
    RawPeer accept(int timeout_ms = 5000);
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_;
    bool local_;
};

// Ends the whole test program with a message when the scope has not been
// left within `seconds`: a hanging call fails the run instead of stalling it.
class Watchdog {
public:
    explicit Watchdog(int seconds, std::string what = "test");
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    struct State;
    State* state_;
};

// Sets (or, with a null value, removes) an environment variable for a
// scope and puts the old value back afterwards.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_;
};

// Milliseconds on a monotonic clock.
long long now_ms();

}  // namespace tt

#endif
