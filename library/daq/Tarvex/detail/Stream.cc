#include "Stream.h"

#include <algorithm>
#include <cstring>

namespace tarvex {
namespace detail {

void Stream::attach(Transport* t) {
    transport_ = t;
    head_ = tail_ = 0;
    closed_ = false;
}

size_t Stream::take(void* dst, size_t n) {
    const size_t k = std::min(n, buffered());
    std::memcpy(dst, buffer_.get() + head_, k);
    head_ += k;
    if (head_ == tail_) head_ = tail_ = 0;
    return k;
}

// One call of the transport with the buffer empty: the caller's `n` bytes
// go straight to `dst`, and whatever else the transport holds, up to the
// buffer's size, lands in the buffer behind them.
ssize_t Stream::receive(void* dst, size_t n) {
    if (transport_ == nullptr) {
        errno = EBADF;
        return -1;
    }
    if (!buffer_) buffer_.reset(new char[kCapacity]);
    iovec v[2] = {{dst, n}, {buffer_.get(), read_ahead_}};
    if (read_limit_ != 0) {
        v[0].iov_len = std::min(n, read_limit_);
        v[1].iov_len = read_limit_ - v[0].iov_len;
    }
    const int count = v[1].iov_len != 0 ? 2 : 1;
    const ssize_t r = transport_->read_now(v[0].iov_len != 0 ? v : v + 1, v[0].iov_len != 0 ? count : 1);
    if (r == 0) closed_ = true;
    if (r <= 0) return r;
    const size_t direct = std::min(static_cast<size_t>(r), v[0].iov_len);
    tail_ = static_cast<size_t>(r) - direct;
    return static_cast<ssize_t>(direct);
}

// Headers and intros are a few dozen bytes; anything longer is a body, and
// its size tells how far ahead to read.
constexpr size_t kLongestHeader = 256;

ssize_t Stream::read_nowait(void* dst, size_t n) {
    if (n == 0) return 0;
    if (n > kLongestHeader) read_ahead_ = n >= kLargeRead ? kLargeReadAhead : kCapacity;
    if (buffered() > 0) return static_cast<ssize_t>(take(dst, n));
    if (closed_) return 0;
    return receive(dst, n);
}

bool Stream::fill_nowait() {
    if (buffered() == 0 && !closed_ && receive(nullptr, 0) < 0) return false;
    return readable_now();
}

ssize_t Stream::read(void* dst, size_t n, const Deadline& d) {
    for (;;) {
        const ssize_t r = read_nowait(dst, n);
        if (r >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return r;
        if (!transport_->blocking()) {
            errno = EAGAIN;
            return -1;
        }
        // A blocking transport would have waited inside the read: wait here.
        timespec left;
        const Readiness w = transport_->wait(Direction::Read, d.left(left));
        if (w == Readiness::Failed) return -1;
        if (w == Readiness::TimedOut) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

bool Stream::peek(void* dst, size_t n) const {
    if (buffered() < n) return false;
    std::memcpy(dst, buffer_.get() + head_, n);
    return true;
}

void Stream::drop(size_t n) {
    head_ += std::min(n, buffered());
    if (head_ == tail_) head_ = tail_ = 0;
}

}  // namespace detail
}  // namespace tarvex
