#include "Io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarvex {
namespace detail {

Readiness wait_once(int fd, bool for_write, const timespec* timeout) {
    pollfd p{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    int r = ::ppoll(&p, 1, timeout, nullptr);
    if (r < 0) return Readiness::Failed;
    if (r == 0) return Readiness::TimedOut;
    if (p.revents & POLLNVAL) {
        // select() refuses a descriptor that is not open with EBADF.
        errno = EBADF;
        return Readiness::Failed;
    }
    const short wanted = (for_write ? POLLOUT : POLLIN) | POLLERR | POLLHUP;
    return (p.revents & wanted) ? Readiness::Ready : Readiness::Other;
}

Readiness wait_room_or_input(int fd, const timespec* timeout, bool& input) {
    pollfd p{fd, POLLOUT | POLLIN, 0};
    input = false;
    const int r = ::ppoll(&p, 1, timeout, nullptr);
    if (r < 0) return Readiness::Failed;
    if (r == 0) return Readiness::TimedOut;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return Readiness::Failed;
    }
    if (p.revents & (POLLOUT | POLLERR | POLLHUP)) return Readiness::Ready;
    input = (p.revents & POLLIN) != 0;
    return Readiness::Other;
}

Deadline Deadline::after_ms(int ms) {
    Deadline d;
    d.set_ = true;
    ::clock_gettime(CLOCK_MONOTONIC, &d.at_);
    d.at_.tv_sec += ms / 1000;
    d.at_.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (d.at_.tv_nsec >= 1000000000L) {
        ++d.at_.tv_sec;
        d.at_.tv_nsec -= 1000000000L;
    }
    return d;
}

bool Deadline::passed() const {
    timespec left;
    return set_ && this->left(left)->tv_sec == 0 && left.tv_nsec == 0;
}

const timespec* Deadline::left(timespec& storage) const {
    if (!set_) return nullptr;
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = (static_cast<long long>(at_.tv_sec) - now.tv_sec) * 1000000000LL + (at_.tv_nsec - now.tv_nsec);
    if (ns < 0) ns = 0;
    storage.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    storage.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return &storage;
}

Readiness wait_until(int fd, bool for_write, const Deadline& d) {
    timespec left;
    return wait_once(fd, for_write, d.left(left));
}

Readiness wait_100ms(int fd, bool for_write) {
    const timespec t{0, 100 * 1000 * 1000};
    return wait_once(fd, for_write, &t);
}

Readiness wait_100ms(int fd, bool for_write, int& budget) {
    const Readiness r = wait_100ms(fd, for_write);
    if (r == Readiness::TimedOut) --budget;
    return r;
}

// ---------------------------------------------------------------------------
// Stream

void Stream::reset() {
    head_ = tail_ = 0;
    closed_ = false;
    kept_len_ = 0;
    fd_ = -1;
}

// Bytes read from one descriptor never reach a reader of another.
void Stream::follow(int fd) {
    if (fd == fd_) return;
    reset();
    fd_ = fd;
}

size_t Stream::take(void* dst, size_t n) {
    const size_t k = std::min(n, buffered());
    std::memcpy(dst, buffer_.get() + head_, k);
    head_ += k;
    if (head_ == tail_) head_ = tail_ = 0;
    return k;
}

// One system call with the buffer empty: the caller's `n` bytes go straight
// to `dst`, and whatever else the socket holds, up to the buffer's size,
// lands in the buffer behind them.
ssize_t Stream::receive(int fd, void* dst, size_t n) {
    if (!buffer_) buffer_.reset(new char[kCapacity]);
    iovec v[2] = {{dst, n}, {buffer_.get(), read_ahead_}};
    if (read_limit_ != 0) {
        v[0].iov_len = std::min(n, read_limit_);
        v[1].iov_len = read_limit_ - v[0].iov_len;
    }
    msghdr m{};
    m.msg_iov = v;
    m.msg_iovlen = v[1].iov_len != 0 ? 2 : 1;
    ssize_t r;
    do {
        r = ::recvmsg(fd, &m, MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    if (r == 0) closed_ = true;
    if (r <= 0) return r;
    const size_t direct = std::min(static_cast<size_t>(r), v[0].iov_len);
    tail_ = static_cast<size_t>(r) - direct;
    return static_cast<ssize_t>(direct);
}

// Headers and intros are a few dozen bytes; anything longer is a body, and
// its size tells how far ahead to read.
constexpr size_t kLongestHeader = 256;

ssize_t Stream::read_nowait(int fd, void* dst, size_t n) {
    follow(fd);
    if (n == 0) return 0;
    if (n > kLongestHeader) read_ahead_ = n >= kLargeRead ? kLargeReadAhead : kCapacity;
    if (buffered() > 0) return static_cast<ssize_t>(take(dst, n));
    if (closed_) return 0;
    return receive(fd, dst, n);
}

bool Stream::fill_nowait(int fd) {
    follow(fd);
    if (buffered() == 0 && !closed_) receive(fd, nullptr, 0);
    return readable_now(fd);
}

ssize_t Stream::read(int fd, void* dst, size_t n, const Deadline& d) {
    for (;;) {
        const ssize_t r = read_nowait(fd, dst, n);
        if (r >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return r;
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || (flags & O_NONBLOCK)) {
            errno = EAGAIN;
            return -1;
        }
        // A blocking socket would have waited inside read(): wait here.
        const Readiness w = wait_until(fd, false, d);
        if (w == Readiness::Failed) return -1;
        if (w == Readiness::TimedOut) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

bool Stream::peek(int fd, void* dst, size_t n) const {
    if (fd != fd_ || buffered() < n) return false;
    std::memcpy(dst, buffer_.get() + head_, n);
    return true;
}

void Stream::drop(size_t n) {
    head_ += std::min(n, buffered());
    if (head_ == tail_) head_ = tail_ = 0;
}

void Stream::keep(const unsigned char* bytes, int n) {
    kept_len_ = std::max(0, std::min(n, 4));
    std::memcpy(kept_, bytes, static_cast<size_t>(kept_len_));
}

int Stream::take_kept(unsigned char* dst) {
    const int n = kept_len_;
    std::memcpy(dst, kept_, static_cast<size_t>(n));
    kept_len_ = 0;
    return n;
}

// ---------------------------------------------------------------------------
// Writes

ssize_t write_nowait(int fd, const void* p, size_t n) { return ::send(fd, p, n, MSG_DONTWAIT); }

ssize_t writev_nowait(int fd, const iovec* v, int count) {
    msghdr m{};
    m.msg_iov = const_cast<iovec*>(v);
    m.msg_iovlen = static_cast<size_t>(count);
    return ::sendmsg(fd, &m, MSG_DONTWAIT);
}

namespace {

// A write that was waiting when the peer went away reports the reset that
// the peer's unread bytes caused; one that had not waited reports the broken
// pipe.  The peer is gone either way, and the senders act on the broken
// pipe: one answer for both.
ssize_t gone_is_broken_pipe(ssize_t r) {
    if (r < 0 && errno == ECONNRESET) errno = EPIPE;
    return r;
}

}  // namespace

ssize_t write_waiting(int fd, const void* p, size_t n) { return gone_is_broken_pipe(::send(fd, p, n, 0)); }

ssize_t writev_waiting(int fd, const iovec* v, int count) {
    msghdr m{};
    m.msg_iov = const_cast<iovec*>(v);
    m.msg_iovlen = static_cast<size_t>(count);
    return gone_is_broken_pipe(::sendmsg(fd, &m, 0));
}

bool set_send_wait(int fd, int ms) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_NONBLOCK)) return false;
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

ssize_t write_plain(int fd, const void* p, size_t n) { return ::write(fd, p, n); }

ssize_t writev_plain(int fd, const iovec* v, int count) { return ::writev(fd, v, count); }

bool write_all(int fd, const void* p, size_t n, int waits_for_room) {
    const char* c = static_cast<const char*>(p);
    int waits = 0;
    while (n > 0) {
        const ssize_t w = write_nowait(fd, c, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waits < waits_for_room) {
            ++waits;
            if (wait_100ms(fd, true) != Readiness::Failed) continue;
            return false;
        }
        if (w <= 0) return false;  // a 0 would repeat for ever
        waits = 0;
        c += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void shutdown_write(int fd) { ::shutdown(fd, SHUT_WR); }

int advance_iovec(iovec* v, int count, size_t n) {
    size_t total = 0;
    for (int k = 0; k < count; ++k) {
        total += v[k].iov_len;
        if (n > total) continue;
        if (total == n) return k + 1;
        size_t left = total - n;
        v[k].iov_base = static_cast<char*>(v[k].iov_base) + (v[k].iov_len - left);
        v[k].iov_len = left;
        return k;
    }
    return count;
}

}  // namespace detail
}  // namespace tarvex
