#include "Writer.h"

#include "detail/Io.h"

namespace tarvex {
namespace detail {

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

namespace {

// write_all's policy: at once, a bounded number of short waits for room.
struct AllAtOnce {
    Transport& t;
    int waits_for_room;
    int waits = 0;
    bool budget_left() const { return true; }
    int out_of_budget() const { return 1; }
    int before_write() const { return kWriteNow; }
    WriteMode mode() const { return WriteMode::Now; }
    int on_error(int err) {
        if (err == EINTR) return kWriteAgain;
        if ((err == EAGAIN || err == EWOULDBLOCK) && waits < waits_for_room) {
            ++waits;
            const timespec pause{0, 100 * 1000 * 1000};
            if (t.wait(Direction::Write, &pause) != Readiness::Failed) return kWriteAgain;
        }
        errno = err;
        return 1;
    }
    int on_written(size_t n, bool, int) {
        if (n == 0) return 1;  // a 0 would repeat for ever
        waits = 0;
        return kWriteNow;
    }
};

}  // namespace

bool write_all(Transport& t, const void* p, size_t n, int waits_for_room) {
    AllAtOnce policy{t, waits_for_room};
    size_t written = 0;
    return write_block(t, p, n, written, policy) == 0;
}

}  // namespace detail
}  // namespace tarvex
