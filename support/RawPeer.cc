#include "RawPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "Clock.h"
#include "Ports.h"

namespace tt {

namespace {

void set_nodelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_un local_address(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    return a;
}

sockaddr_in tcp_address(const char* address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &a.sin_addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

}  // namespace

std::pair<int, int> stream_pair() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        std::perror("socketpair");
        std::abort();
    }
    return {sv[0], sv[1]};
}

bool leave_stale_socket_file(const std::string& path) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = local_address(path);
    const bool made = ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return made;
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

void RawPeer::reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}

static RawPeer connect_retrying(int family, const sockaddr* addr, socklen_t alen, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    do {
        int s = ::socket(family, SOCK_STREAM, 0);
        if (::connect(s, addr, alen) == 0) {
            if (family == AF_INET) set_nodelay(s);
            return RawPeer(s);
        }
        ::close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (now_ms() < deadline);
    return RawPeer();
}

RawPeer RawPeer::connect_tcp(int port, int timeout_ms) {
    const sockaddr_in a = tcp_address("127.0.0.1", port);
    return connect_retrying(AF_INET, reinterpret_cast<const sockaddr*>(&a), sizeof a, timeout_ms);
}

RawPeer RawPeer::connect_unix(int port, int timeout_ms) {
    const sockaddr_un a = local_address(socket_path(port));
    return connect_retrying(AF_UNIX, reinterpret_cast<const sockaddr*>(&a), sizeof a, timeout_ms);
}

RawPeer RawPeer::connect_from(const char* source, const char* dest, int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in from = tcp_address(source, 0);
    const sockaddr_in to = tcp_address(dest, port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(s);
        return RawPeer();
    }
    set_nodelay(s);
    return RawPeer(s);
}

RawPeer RawPeer::connect_path(const std::string& path) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = local_address(path);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return RawPeer();
    }
    return RawPeer(s);
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

Bytes RawPeer::read_until_closed(int timeout_ms, bool* closed) {
    Bytes out;
    if (closed != nullptr) *closed = false;
    const long long deadline = now_ms() + timeout_ms;
    char tmp[65536];
    while (now_ms() < deadline) {
        pollfd pf{fd_, POLLIN, 0};
        if (::poll(&pf, 1, static_cast<int>(deadline - now_ms())) <= 0) continue;
        const ssize_t r = ::recv(fd_, tmp, sizeof tmp, 0);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r <= 0) {
            if (closed != nullptr) *closed = true;
            break;
        }
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
        listen_local(socket_path(port));
        return;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = tcp_address("127.0.0.1", port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) std::perror("RawListener bind");
    listening_ = ::listen(fd_, 5) == 0;
}

RawListener::RawListener(const std::string& path) : local_(true) { listen_local(path); }

void RawListener::listen_local(const std::string& path) {
    path_ = path;
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un a = local_address(path);
    ::unlink(a.sun_path);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        std::perror("RawListener bind");
        return;
    }
    listening_ = ::listen(fd_, 5) == 0;
}

RawListener::~RawListener() {
    ::close(fd_);
    if (local_) ::unlink(path_.c_str());
}

RawPeer RawListener::accept(int timeout_ms) {
    pollfd pf{fd_, POLLIN, 0};
    if (::poll(&pf, 1, timeout_ms) <= 0) return RawPeer();
    const int s = ::accept(fd_, nullptr, nullptr);
    if (s >= 0 && !local_) set_nodelay(s);
    return RawPeer(s);
}

}  // namespace tt
