// Private helpers shared by the link's implementation files: diagnostics,
// the one readiness primitive, the 100 ms wait, the read-what-is-missing
// loop and the gather-list advance after a short write.  Not installed.
#ifndef TARVEX_DETAIL_IO_H
#define TARVEX_DETAIL_IO_H

#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace tarvex {
namespace detail {

// "msg: <text of errno>" on standard error, like perror.
void report_system_error(const char* msg);
// One whole line on standard error, flushed.
void error_line(const char* msg);
// One whole line on standard output (not flushed).
void out_line(const char* msg);

// Outcome of one readiness attempt, with the meaning select() gives it.
enum class Readiness {
    Failed,    // the system wait failed; errno tells why
    TimedOut,  // the time-out passed without readiness
    Ready,     // the descriptor is ready in the direction asked for
    Other,     // the wait woke up, but not for the direction asked for
};

// One readiness attempt on `fd`.  A null `timeout` waits without limit.
// Uses ppoll, so descriptors of any number can be waited on (a fixed-size
// descriptor set would be overrun by descriptors of 1024 and above).  A
// negative `fd` is ignored by the system, as an empty set would be.  End of
// stream, a reset and socket errors count as readiness, as they do for
// select(): the read or write that follows reports them.
Readiness wait_once(int fd, bool for_write, const timespec* timeout);

// The senders' wait: one attempt of at most 100 ms.
Readiness wait_100ms(int fd, bool for_write);

// Outcome of read_missing.
struct ReadResult {
    enum Outcome {
        Complete,     // all bytes are in
        WaitStopped,  // the wait callback returned a status; see `status`
        ReadFailed,   // read() failed with an error other than EAGAIN; see `err`
        TooManyEmpty  // `empty_limit` consecutive reads brought nothing
    } outcome;
    int status;  // the wait callback's status for WaitStopped
    int err;     // errno for ReadFailed
};

// Sentinels a wait callback may return besides a stopping status (> 0).
constexpr int kWaitReady = 0;  // read now
constexpr int kWaitIdle = -1;  // nothing to read yet: ask the callback again

// Reads into dst[have .. want) until it is full.  Before every read it calls
// `wait()`: kWaitReady reads, kWaitIdle skips the read this round, any
// positive value stops the loop with that status.  A read that returns 0 or
// fails with EAGAIN is an empty read; `empty_limit` of them in a row stop
// the loop.  A read that brings bytes resets the empty count and calls
// `progress()`.  `have` always tells how many bytes are in, whatever the
// outcome, so no byte taken from the stream is lost.
template <class Wait, class Progress>
ReadResult read_missing(int fd, char* dst, size_t want, size_t& have, int empty_limit, Wait&& wait,
                        Progress&& progress) {
    int empty = 0;
    while (have < want) {
        if (empty >= empty_limit) return {ReadResult::TooManyEmpty, 0, 0};
        int w = wait();
        if (w == kWaitIdle) continue;
        if (w != kWaitReady) return {ReadResult::WaitStopped, w, 0};
        ssize_t n = ::read(fd, dst + have, want - have);
        if (n > 0) {
            have += static_cast<size_t>(n);
            empty = 0;
            progress();
        } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            ++empty;
        } else {
            return {ReadResult::ReadFailed, 0, errno};
        }
    }
    return {ReadResult::Complete, 0, 0};
}

template <class Wait>
ReadResult read_missing(int fd, char* dst, size_t want, size_t& have, int empty_limit, Wait&& wait) {
    return read_missing(fd, dst, want, have, empty_limit, wait, [] {});
}

// Writes that never block, whatever mode the socket is in.  A blocking
// data socket (the connecting end's) would otherwise hold a sender inside
// write() for as long as a stalled peer reads nothing, past every budget;
// this way a full socket shows as EAGAIN and the caller's wait and budget
// decide.
ssize_t write_nowait(int fd, const void* p, size_t n);
ssize_t writev_nowait(int fd, const iovec* v, int count);

// Gather-list repair after a write of `n` bytes that did not take all of
// v[0 .. count).  Returns the index of the first entry not yet fully
// written; a half-written entry has its base advanced and its length cut to
// what is left.  Fully written entries are left as they are.
int advance_iovec(iovec* v, int count, size_t n);

}  // namespace detail
}  // namespace tarvex

#endif
