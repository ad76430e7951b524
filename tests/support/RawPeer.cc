#include "RawPeer.h"

#include "Tarvex.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace tt {

long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

static std::string local_path(int port) {
    char path[128];
    tarvex_socket_path(port, path, sizeof path);
    return path;
}

int unique_port() {
    static std::mutex m;
    static std::set<int> handed_out;
    std::lock_guard<std::mutex> lock(m);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        // Every interface: a port some test left in its closing wait on
        // another loopback address is not free for a listener on all of them.
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = 0;
        socklen_t l = sizeof a;
        int port = -1;
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) == 0)
            port = ntohs(a.sin_port);
        ::close(s);
        if (port > 0 && handed_out.insert(port).second) {
            ::unlink(local_path(port).c_str());
            return port;
        }
    }
    std::fprintf(stderr, "unique_port: no free port\n");
    std::abort();
}

std::pair<int, int> stream_pair() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        std::perror("socketpair");
        std::abort();
    }
    return {sv[0], sv[1]};
}

Bytes be32(uint32_t v) {
    return {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}
Bytes le32(uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 24)};
}
Bytes host32(uint32_t v) { return bytes_of(v); }

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

RawPeer& RawPeer::operator=(RawPeer&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

RawPeer::~RawPeer() { close(); }

void RawPeer::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

static RawPeer connect_retrying(int family, const sockaddr* addr, socklen_t alen, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    do {
        int s = ::socket(family, SOCK_STREAM, 0);
        if (::connect(s, addr, alen) == 0) {
            if (family == AF_INET) {
                int one = 1;
                ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            }
            return RawPeer(s);
        }
        ::close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (now_ms() < deadline);
    return RawPeer();
}

RawPeer RawPeer::connect_tcp(int port, int timeout_ms) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return connect_retrying(AF_INET, reinterpret_cast<sockaddr*>(&a), sizeof a, timeout_ms);
}

RawPeer RawPeer::connect_unix(int port, int timeout_ms) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", local_path(port).c_str());
    return connect_retrying(AF_UNIX, reinterpret_cast<sockaddr*>(&a), sizeof a, timeout_ms);
}

bool RawPeer::send(const void* p, size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
        ssize_t w = ::send(fd_, c, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd pf{fd_, POLLOUT, 0};
                ::poll(&pf, 1, 100);
                continue;
            }
            return false;
        }
        c += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool RawPeer::send(const Bytes& b) { return send(b.data(), b.size()); }

bool RawPeer::send_slowly(const Bytes& b, int gap_ms) {
    for (unsigned char c : b) {
        if (!send(&c, 1)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
    }
    return true;
}

bool RawPeer::read_exact(void* dst, size_t n, int timeout_ms) {
    char* d = static_cast<char*>(dst);
    const long long deadline = now_ms() + timeout_ms;
    while (n > 0) {
        long long left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd pf{fd_, POLLIN, 0};
        if (::poll(&pf, 1, static_cast<int>(left)) <= 0) continue;
        ssize_t r = ::recv(fd_, d, n, 0);
        if (r == 0) return false;
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        d += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

Bytes RawPeer::read_exact(size_t n, int timeout_ms) {
    Bytes b(n);
    if (!read_exact(b.data(), n, timeout_ms)) return {};
    return b;
}

Bytes RawPeer::read_some(size_t max, int timeout_ms) {
    Bytes b(max);
    size_t have = 0;
    const long long deadline = now_ms() + timeout_ms;
    while (have < max) {
        long long left = deadline - now_ms();
        if (left <= 0) break;
        pollfd pf{fd_, POLLIN, 0};
        if (::poll(&pf, 1, static_cast<int>(left)) <= 0) continue;
        ssize_t r = ::recv(fd_, b.data() + have, max - have, 0);
        if (r <= 0) break;
        have += static_cast<size_t>(r);
    }
    b.resize(have);
    return b;
}

Bytes RawPeer::read_until_closed(int timeout_ms) {
    Bytes out;
    const long long deadline = now_ms() + timeout_ms;
    char tmp[65536];
    while (now_ms() < deadline) {
        pollfd pf{fd_, POLLIN, 0};
        if (::poll(&pf, 1, static_cast<int>(deadline - now_ms())) <= 0) continue;
        ssize_t r = ::recv(fd_, tmp, sizeof tmp, 0);
        if (r <= 0) break;
        out.insert(out.end(), tmp, tmp + r);
    }
    return out;
}

bool RawPeer::quiet_for(int timeout_ms) {
    pollfd pf{fd_, POLLIN, 0};
    if (::poll(&pf, 1, timeout_ms) <= 0) return true;
    char c;
    return ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

bool RawPeer::sees_close(int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    char tmp[4096];
    while (now_ms() < deadline) {
        pollfd pf{fd_, POLLIN, 0};
        if (::poll(&pf, 1, static_cast<int>(deadline - now_ms())) <= 0) continue;
        ssize_t r = ::recv(fd_, tmp, sizeof tmp, 0);
        if (r == 0) return true;
        if (r < 0 && errno != EINTR && errno != EAGAIN) return true;
    }
    return false;
}

void RawPeer::set_rcvbuf(int bytes) { ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }
void RawPeer::set_sndbuf(int bytes) { ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes); }
void RawPeer::shutdown_write() { ::shutdown(fd_, SHUT_WR); }

RawListener::RawListener(int port, bool local_socket) : port_(port), local_(local_socket) {
    if (local_) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", local_path(port).c_str());
        ::unlink(a.sun_path);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::perror("RawListener bind");
    } else {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::perror("RawListener bind");
    }
    ::listen(fd_, 5);
}

RawListener::~RawListener() {
    ::close(fd_);
    if (local_) ::unlink(local_path(port_).c_str());
}

RawPeer RawListener::accept(int timeout_ms) {
    pollfd pf{fd_, POLLIN, 0};
    if (::poll(&pf, 1, timeout_ms) <= 0) return RawPeer();
    int s = ::accept(fd_, nullptr, nullptr);
    if (s >= 0 && !local_) {
        int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return RawPeer(s);
}

struct Watchdog::State {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread t;
};

Watchdog::Watchdog(int seconds, std::string what) : state_(new State) {
    State* s = state_;
    s->t = std::thread([s, seconds, what] {
        std::unique_lock<std::mutex> lock(s->m);
        if (!s->cv.wait_for(lock, std::chrono::seconds(seconds), [s] { return s->done; })) {
            std::fprintf(stderr, "WATCHDOG: %s did not finish within %d s\n", what.c_str(), seconds);
            std::fflush(stderr);
            std::_Exit(99);
        }
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(state_->m);
        state_->done = true;
    }
    state_->cv.notify_all();
    state_->t.join();
    delete state_;
}

EnvGuard::EnvGuard(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

EnvGuard::~EnvGuard() {
    if (had_)
        ::setenv(name_.c_str(), old_.c_str(), 1);
    else
        ::unsetenv(name_.c_str());
}

}  // namespace tt
