#include "Io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cstdio>

namespace tarvex {
namespace detail {

void report_system_error(const char* msg) { std::perror(msg); }

void error_line(const char* msg) {
    std::fprintf(stderr, "%s\n", msg);
    std::fflush(stderr);
}

void out_line(const char* msg) { std::printf("%s\n", msg); }

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

Readiness wait_100ms(int fd, bool for_write) {
    const timespec t{0, 100 * 1000 * 1000};
    return wait_once(fd, for_write, &t);
}

ssize_t write_nowait(int fd, const void* p, size_t n) { return ::send(fd, p, n, MSG_DONTWAIT); }

ssize_t writev_nowait(int fd, const iovec* v, int count) {
    msghdr m{};
    m.msg_iov = const_cast<iovec*>(v);
    m.msg_iovlen = static_cast<size_t>(count);
    return ::sendmsg(fd, &m, MSG_DONTWAIT);
}

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
