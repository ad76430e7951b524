#include "Io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tarvex {
namespace detail {

Readiness wait_once(int fd, Direction d, const timespec* timeout) {
    const short wanted = d == Direction::Read    ? POLLIN
                         : d == Direction::Write ? POLLOUT
                                                 : static_cast<short>(POLLOUT | POLLIN);
    pollfd p{fd, wanted, 0};
    const int r = ::ppoll(&p, 1, timeout, nullptr);
    if (r < 0) return Readiness::Failed;
    if (r == 0) return Readiness::TimedOut;
    if (p.revents & POLLNVAL) {
        // select() refuses a descriptor that is not open with EBADF.
        errno = EBADF;
        return Readiness::Failed;
    }
    const short ready = (d == Direction::Read ? POLLIN : POLLOUT) | POLLERR | POLLHUP;
    return (p.revents & ready) ? Readiness::Ready : Readiness::Other;
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

// ---------------------------------------------------------------------------
// SocketTransport

ssize_t SocketTransport::read_now(const iovec* v, int n) {
    msghdr m{};
    m.msg_iov = const_cast<iovec*>(v);
    m.msg_iovlen = static_cast<size_t>(n);
    ssize_t r;
    do {
        r = ::recvmsg(fd_, &m, MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    return r;
}

ssize_t SocketTransport::write(const iovec* v, int n, WriteMode mode) {
    if (mode == WriteMode::Plain) return ::writev(fd_, v, n);
    msghdr m{};
    m.msg_iov = const_cast<iovec*>(v);
    m.msg_iovlen = static_cast<size_t>(n);
    if (mode == WriteMode::Now) return ::sendmsg(fd_, &m, MSG_DONTWAIT);
    const ssize_t r = ::sendmsg(fd_, &m, 0);
    // A write that was waiting when the peer went away reports the reset
    // that the peer's unread bytes caused; one that had not waited reports
    // the broken pipe.  The peer is gone either way, and the senders act on
    // the broken pipe: one answer for both.
    if (r < 0 && errno == ECONNRESET) errno = EPIPE;
    return r;
}

bool SocketTransport::set_send_wait(int ms) {
    if (!blocking()) return false;
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    return ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

bool SocketTransport::blocking() const {
    const int flags = ::fcntl(fd_, F_GETFL);
    return flags >= 0 && !(flags & O_NONBLOCK);
}

bool SocketTransport::make_non_blocking() { return ::fcntl(fd_, F_SETFL, O_NONBLOCK) == 0; }

void SocketTransport::shutdown_write() { ::shutdown(fd_, SHUT_WR); }

int SocketTransport::close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r;
}

}  // namespace detail
}  // namespace tarvex
