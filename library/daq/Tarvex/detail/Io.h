// The socket transport (TCP and the local stream socket): the only code
// that moves bytes on a data socket, and the time primitives every wait is
// measured with.  Not installed.
#ifndef TARVEX_DETAIL_IO_H
#define TARVEX_DETAIL_IO_H

#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

#include "detail/Transport.h"

namespace tarvex {
namespace detail {

// A point in time on the monotonic clock by which something must be done,
// or none: no limit.
class Deadline {
public:
    Deadline() = default;
    static Deadline after_ms(int ms);
    bool set() const { return set_; }
    bool passed() const;
    // What is left of it, for a wait: null when there is no limit.
    const timespec* left(timespec& storage) const;

private:
    bool set_ = false;
    timespec at_{};
};

// One readiness attempt on descriptor `fd` (which may be -1: then the wait
// only lets time pass, as on an empty descriptor set).  A null `timeout`
// waits without limit.  Uses ppoll, so descriptors of any number can be
// waited on (a fixed-size descriptor set would be overrun by descriptors of
// 1024 and above).
Readiness wait_once(int fd, Direction d, const timespec* timeout);

// A data socket: the descriptor from accept or connect, or one a test hands
// over.  Destroying it closes nothing (close() does), as the link's own
// destructor closes nothing.
class TARVEX_API SocketTransport final : public Transport {
public:
    explicit SocketTransport(int fd) : fd_(fd) {}

    ssize_t read_now(const iovec* v, int n) override;
    ssize_t write(const iovec* v, int n, WriteMode mode) override;
    bool set_send_wait(int ms) override;
    Readiness wait(Direction d, const timespec* timeout) override { return wait_once(fd_, d, timeout); }
    int descriptor() const override { return fd_; }
    bool blocking() const override;
    bool make_non_blocking() override;
    void shutdown_write() override;
    int close() override;

private:
    int fd_;
};

}  // namespace detail
}  // namespace tarvex

#endif
