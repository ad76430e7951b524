// The one write engine: every write of the link (records, headers, answers,
// requests, the preamble) is a call of write_gather with a policy that says
// when to wait, how a write may wait, what a failure means and what the
// budget is.  Not installed.
#ifndef TARVEX_DETAIL_WRITER_H
#define TARVEX_DETAIL_WRITER_H

#include <sys/uio.h>

#include <cerrno>
#include <cstddef>

#include "detail/Transport.h"

namespace tarvex {
namespace detail {

// Gather-list repair after a write of `n` bytes that did not take all of
// v[0 .. count).  Returns the index of the first entry not yet fully
// written; a half-written entry has its base advanced and its length cut to
// what is left.  Fully written entries are left as they are.
int advance_iovec(iovec* v, int count, size_t n);

// What a policy's step answers: go on with the write, go round again
// without writing, or stop the call with a status (> 0).
constexpr int kWriteNow = 0;
constexpr int kWriteAgain = -1;
// A policy's end without a status of its own: the caller judges by what was
// written.
constexpr int kWriteStopped = -2;

// Writes v[0 .. count), `total` bytes, through `t`, advancing the entries
// in place after a short write (the caller hands over entries it may have
// changed: its own, or a copy).  `written` counts the bytes that went out,
// whatever the outcome.  The policy P provides:
//   bool budget_left()              checked before every attempt
//   int  out_of_budget()            the status when it is not
//   int  before_write()             kWriteNow, kWriteAgain, or a status (a wait goes here)
//   WriteMode mode()                how the next write may wait
//   int  on_error(int err)          kWriteAgain, or a status
//   int  on_written(size_t n, bool short_write, int next_entry)
//                                   after bytes (or none) went out: kWriteNow, or a status
// Returns 0 once every byte is out.
template <class P>
int write_gather(Transport& t, iovec* v, int count, size_t total, size_t& written, P& p) {
    size_t left = total;
    int at = 0;
    while (left > 0) {
        if (!p.budget_left()) return p.out_of_budget();
        const int w = p.before_write();
        if (w == kWriteAgain) continue;
        if (w != kWriteNow) return w;
        const ssize_t n = t.write(v + at, count - at, p.mode());
        if (n < 0) {
            const int status = p.on_error(errno);
            if (status != kWriteAgain) return status;
            continue;
        }
        const size_t took = static_cast<size_t>(n);
        written += took;
        const bool short_write = took < left;
        const int next = short_write ? at + advance_iovec(v + at, count - at, took) : count;
        const int status = p.on_written(took, short_write, next);
        if (status != kWriteNow) return status;
        if (!short_write) return 0;
        at = next;
        left -= took;
    }
    return 0;
}

// The same for one flat block.
template <class P>
int write_block(Transport& t, const void* p, size_t n, size_t& written, P& policy) {
    iovec v{const_cast<void*>(p), n};
    return write_gather(t, &v, 1, n, written, policy);
}

// Writes all `n` bytes at once, without a wait before; a write that would
// block waits up to 100 ms for room, at most `waits_for_room` times in a
// row without progress (none by default), and a signal that interrupts a
// write is no failure of the peer.  False after a failure (errno set),
// also when a write takes nothing.
bool write_all(Transport& t, const void* p, size_t n, int waits_for_room = 0);

}  // namespace detail
}  // namespace tarvex

#endif
