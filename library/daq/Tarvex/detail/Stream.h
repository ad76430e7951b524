// The receiving side of one connection: the read-ahead every receiver, the
// preamble and the sender's answer read through.  Not installed.
#ifndef TARVEX_DETAIL_STREAM_H
#define TARVEX_DETAIL_STREAM_H

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <memory>

#include "detail/Io.h"
#include "detail/Transport.h"

namespace tarvex {
namespace detail {

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

// Every receiver takes its bytes from here, never from the transport: a
// read asks the transport for as much as the read-ahead buffer holds, so
// records that arrive together cost one system call between them.  A read
// bigger than what is buffered goes straight into its destination, with the
// read-ahead behind it in the same call, so a large body is copied once.
//
// A read here means what one read(2) of the socket would mean to the
// receivers (bytes, 0 for no byte, -1 with errno), counted in stream bytes:
// a read served from the buffer is a read that brought bytes.  Once the
// transport has shown the end of the stream, every later read returns 0
// without a system call, so receivers that count empty reads reach their
// limits at once instead of spinning on the transport.
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

    // Reads from `t` from now on (null: nothing), with nothing buffered and
    // the end of the stream not seen: a new connection starts clean.
    void attach(Transport* t);

    size_t buffered() const { return tail_ - head_; }
    const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(buffer_.get()) + head_; }
    bool peer_closed() const { return closed_; }
    // True when a wait for readability would end at once: bytes are
    // buffered, or the stream has ended.
    bool readable_now() const { return buffered() > 0 || closed_; }
    // Reads ahead without waiting when nothing is buffered, so that a wait
    // is made only when the transport has nothing either; true when
    // something is there to be read now (bytes, or the end of the stream).
    // False after a failed read, with errno set.
    bool fill_nowait();

    // A read that never waits, whatever mode the transport is in: -1 with
    // EAGAIN when nothing is buffered and the transport has nothing either.
    ssize_t read_nowait(void* dst, size_t n);
    // A read as the transport's own mode makes it: on a blocking one it
    // waits for the first byte (until the deadline, if there is one: then
    // -1 with ETIMEDOUT), on a non-blocking one it fails with EAGAIN.  A
    // signal that interrupts the wait ends it (-1 with EINTR).
    ssize_t read(void* dst, size_t n, const Deadline& d = Deadline());

    // Reads into dst[have .. want) until it is full.  A read that finds
    // nothing calls `wait()` before the next one: kWaitReady reads again,
    // kWaitIdle goes round once more, any positive value stops the loop with
    // that status.  A read that returns 0 (end of stream), or that fails
    // with EAGAIN right after the wait said ready, is an empty read;
    // `empty_limit` of them in a row stop the loop.  A read that brings
    // bytes resets the empty count and calls `progress()`.  `have` always
    // tells how many bytes are in, whatever the outcome.
    template <class Wait, class Progress>
    ReadResult read_missing(char* dst, size_t want, size_t& have, int empty_limit, Wait&& wait, Progress&& progress);
    template <class Wait>
    ReadResult read_missing(char* dst, size_t want, size_t& have, int empty_limit, Wait&& wait) {
        return read_missing(dst, want, have, empty_limit, wait, [] {});
    }

    // The first `n` buffered bytes, left in place; false when fewer are
    // buffered.
    bool peek(void* dst, size_t n) const;
    // Drops `n` buffered bytes (at most what is buffered).
    void drop(size_t n);

    // Tests cut every read of the transport to at most `n` bytes (0: no
    // cut), so that records arrive in every possible split.
    void limit_reads(size_t n) { read_limit_ = n; }

private:
    size_t take(void* dst, size_t n);
    ssize_t receive(void* dst, size_t n);

    Transport* transport_ = nullptr;
    std::unique_ptr<char[]> buffer_;
    size_t head_ = 0, tail_ = 0;  // buffered bytes are buffer_[head_ .. tail_)
    bool closed_ = false;         // a read has seen the end of the stream
    size_t read_limit_ = 0;
    size_t read_ahead_ = kCapacity;  // what the next read asks for behind its own bytes
};

template <class Wait, class Progress>
ReadResult Stream::read_missing(char* dst, size_t want, size_t& have, int empty_limit, Wait&& wait,
                                Progress&& progress) {
    int empty = 0;
    bool waited = false;
    while (have < want) {
        if (empty >= empty_limit) return {ReadResult::TooManyEmpty, 0, 0};
        const ssize_t n = read_nowait(dst + have, want - have);
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

}  // namespace detail
}  // namespace tarvex

#endif
