// The only code that moves bytes on the data socket: the read-ahead stream
// every receiver reads through, the writes that never block, the one
// write-all, the readiness primitive and the gather-list advance after a
// short write.  Not installed.
#ifndef TARVEX_DETAIL_IO_H
#define TARVEX_DETAIL_IO_H

#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

#include <cerrno>
#include <cstddef>
#include <memory>

namespace tarvex {
namespace detail {

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

// One wait for room to write on `fd` that also ends when bytes arrive to be
// read (`input` true, Other): a sender whose peer answers records can take
// the answers while it waits, so that the peer never waits for it.
Readiness wait_room_or_input(int fd, const timespec* timeout, bool& input);

// One readiness attempt that ends at the deadline at the latest (TimedOut).
Readiness wait_until(int fd, bool for_write, const Deadline& d);

// The senders' wait: one attempt of at most 100 ms.
Readiness wait_100ms(int fd, bool for_write);
// The same against a retry budget: a wait that runs out of time costs one
// unit of `budget`.  What readiness and progress give back is the caller's
// rule.
Readiness wait_100ms(int fd, bool for_write, int& budget);

// Outcome of Stream::read_missing.
struct ReadResult {
    enum Outcome {
        Complete,     // all bytes are in
        WaitStopped,  // the wait callback returned a status; see `status`
        ReadFailed,   // a read failed with an error other than EAGAIN; see `err`
        TooManyEmpty  // `empty_limit` consecutive reads brought nothing
    } outcome;
    int status;  // the wait callback's status for WaitStopped
    int err;     // errno for ReadFailed
};

// Sentinels a wait callback may return besides a stopping status (> 0).
constexpr int kWaitReady = 0;  // read now
constexpr int kWaitIdle = -1;  // nothing to read yet: ask the callback again

// The receiving side of one data connection.  Every receiver takes its bytes
// from here, never from the socket: a read asks the socket for as much as
// the read-ahead buffer holds, so records that arrive together cost one
// system call between them.  A read bigger than what is buffered goes
// straight into its destination, with the read-ahead behind it in the same
// call, so a large body is copied once.
//
// A read here means what one read(2) of the socket would mean to the
// receivers (bytes, 0 for no byte, -1 with errno), counted in stream bytes:
// a read served from the buffer is a read that brought bytes.  Once the
// socket has shown the end of the stream, every later read returns 0
// without a system call, so receivers that count empty reads reach their
// limits at once instead of spinning on the socket.
//
// The bytes belong to the descriptor they came from: reading another
// descriptor, or reset(), drops them.
class Stream {
public:
    // The read-ahead buffer; allocated on the first read, kept while the
    // link lives.  Large enough for hundreds of small records per system
    // call and for the socket's whole backlog in a few calls, small enough
    // that a receiver of 1 MiB records stays within the record plus half a
    // MiB.
    static constexpr size_t kCapacity = 256 * 1024;
    // Records with bodies of this size and more are read straight into
    // place: reading them ahead would only copy each one twice.  While such
    // records come, a read asks for no more than kLargeReadAhead bytes
    // behind what it needs, enough for the next header and small records.
    static constexpr size_t kLargeRead = 16 * 1024;
    static constexpr size_t kLargeReadAhead = 4 * 1024;

    // Drops buffered and kept bytes and forgets the end of the stream: a
    // new connection starts clean.
    void reset();

    size_t buffered() const { return tail_ - head_; }
    // Bytes buffered from `fd`: none when the buffer holds another's.
    size_t buffered_for(int fd) const { return fd == fd_ ? buffered() : 0; }
    bool peer_closed() const { return closed_; }
    // True when a wait for readability would end at once: bytes are
    // buffered, or the stream has ended.
    bool readable_now(int fd) const { return fd == fd_ && (buffered() > 0 || closed_); }
    // Reads ahead without waiting when nothing is buffered, so that a wait
    // is made only when the socket has nothing either; true when something
    // is there to be read now (bytes, or the end of the stream).
    bool fill_nowait(int fd);

    // A read that never waits, whatever mode the socket is in: -1 with
    // EAGAIN when nothing is buffered and the socket has nothing either.
    ssize_t read_nowait(int fd, void* dst, size_t n);
    // A read as the socket's own mode makes it: on a blocking socket it
    // waits for the first byte (until the deadline, if there is one: then
    // -1 with ETIMEDOUT), on a non-blocking one it fails with EAGAIN.  A
    // signal that interrupts the wait ends it (-1 with EINTR).
    ssize_t read(int fd, void* dst, size_t n, const Deadline& d = Deadline());

    // Reads into dst[have .. want) until it is full.  A read that finds
    // nothing calls `wait()` before the next one: kWaitReady reads again,
    // kWaitIdle goes round once more, any positive value stops the loop with
    // that status.  A read that returns 0 (end of stream), or that fails
    // with EAGAIN right after the wait said ready, is an empty read;
    // `empty_limit` of them in a row stop the loop.  A read that brings
    // bytes resets the empty count and calls `progress()`.  `have` always
    // tells how many bytes are in, whatever the outcome.
    template <class Wait, class Progress>
    ReadResult read_missing(int fd, char* dst, size_t want, size_t& have, int empty_limit, Wait&& wait,
                            Progress&& progress);
    template <class Wait>
    ReadResult read_missing(int fd, char* dst, size_t want, size_t& have, int empty_limit, Wait&& wait) {
        return read_missing(fd, dst, want, have, empty_limit, wait, [] {});
    }

    // The first `n` buffered bytes of `fd`, left in place; false when fewer
    // are buffered.
    bool peek(int fd, void* dst, size_t n) const;
    // Drops `n` buffered bytes (at most what is buffered).
    void drop(size_t n);
    bool holds_kept() const { return kept_len_ > 0; }

    // Pattern bytes a receiver had taken when it returned for want of more:
    // the next call goes on with them.  They are taken, so they do not count
    // as buffered.
    void keep(const unsigned char* bytes, int n);
    // Hands the kept bytes to `dst` (room for 4) and forgets them.
    int take_kept(unsigned char* dst);

    // Tests cut every read of the socket to at most `n` bytes (0: no cut), so
    // that records arrive in every possible split.
    void limit_reads(size_t n) { read_limit_ = n; }

private:
    void follow(int fd);
    size_t take(void* dst, size_t n);
    ssize_t receive(int fd, void* dst, size_t n);

    std::unique_ptr<char[]> buffer_;
    size_t head_ = 0, tail_ = 0;  // buffered bytes are buffer_[head_ .. tail_)
    int fd_ = -1;                 // the descriptor the bytes came from
    bool closed_ = false;         // a read has seen the end of the stream
    unsigned char kept_[4] = {};
    int kept_len_ = 0;
    size_t read_limit_ = 0;
    size_t read_ahead_ = kCapacity;  // what the next read asks for behind its own bytes
};

template <class Wait, class Progress>
ReadResult Stream::read_missing(int fd, char* dst, size_t want, size_t& have, int empty_limit, Wait&& wait,
                                Progress&& progress) {
    int empty = 0;
    bool waited = false;
    while (have < want) {
        if (empty >= empty_limit) return {ReadResult::TooManyEmpty, 0, 0};
        const ssize_t n = read_nowait(fd, dst + have, want - have);
        if (n > 0) {
            have += static_cast<size_t>(n);
            empty = 0;
            waited = false;
            progress();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return {ReadResult::ReadFailed, 0, errno};
        if (n == 0 || waited) {
            ++empty;
            waited = false;
            if (n == 0) continue;
        }
        // Nothing there yet: only now is it worth a wait.
        const int w = wait();
        if (w == kWaitIdle) continue;
        if (w != kWaitReady) return {ReadResult::WaitStopped, w, 0};
        waited = true;
    }
    return {ReadResult::Complete, 0, 0};
}

// Writes that never block, whatever mode the socket is in.  A blocking
// data socket (the connecting end's) would otherwise hold a sender inside
// write() for as long as a stalled peer reads nothing, past every budget;
// this way a full socket shows as EAGAIN and the caller's wait and budget
// decide.
ssize_t write_nowait(int fd, const void* p, size_t n);
ssize_t writev_nowait(int fd, const iovec* v, int count);
// Writes that wait for room, up to the socket's send time limit, and take
// what fits by then: the kernel waits, so a large record goes out in one
// call instead of a write and a wait for every buffer's worth.  For
// blocking sockets only (a non-blocking socket never waits in a write).
ssize_t write_waiting(int fd, const void* p, size_t n);
ssize_t writev_waiting(int fd, const iovec* v, int count);
// Sets the time a waiting write may wait (0: no limit, the socket's
// default); false when the socket does not block, or refuses.
bool set_send_wait(int fd, int ms);

// Plain writes, in the socket's own mode: they block on a blocking socket.
// The senders use them when the caller chose writes without waits.
ssize_t write_plain(int fd, const void* p, size_t n);
ssize_t writev_plain(int fd, const iovec* v, int count);

// Writes all `n` bytes with as many writes as it takes.  A write that would
// block waits up to 100 ms for room, at most `waits_for_room` times in a row
// without progress (none by default); then, as for a write that takes
// nothing, the result is a failure (false, errno set).  A signal that
// interrupts a write is no failure of the peer; the write is made again.
bool write_all(int fd, const void* p, size_t n, int waits_for_room = 0);

// Ends the writing direction of `fd`: the peer reads what was written, then
// the end of the stream.
void shutdown_write(int fd);

// Gather-list repair after a write of `n` bytes that did not take all of
// v[0 .. count).  Returns the index of the first entry not yet fully
// written; a half-written entry has its base advanced and its length cut to
// what is left.  Fully written entries are left as they are.
int advance_iovec(iovec* v, int count, size_t n);

}  // namespace detail
}  // namespace tarvex

#endif
