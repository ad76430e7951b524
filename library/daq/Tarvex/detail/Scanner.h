// The pattern scan: the search of the buffered stream for the first four
// bytes that start a record, in the manner of a read-until.  The window of
// the last four bytes taken is the scanner's own and outlives a call that
// returns for want of bytes: the next call goes on with it, so a pattern cut
// by a pause is found whole and no byte is read twice.  The event receiver
// and the image and spectrum receivers scan with it, each with its own rule
// for what a word must be and what happens when the stream has nothing.
// Not installed.
#ifndef TARVEX_DETAIL_SCANNER_H
#define TARVEX_DETAIL_SCANNER_H

#include <cstdint>
#include <cstring>

#include "detail/Stream.h"

namespace tarvex {
namespace detail {

// What a scan's source answers when the scanner needs a byte and the
// stream has none buffered.
struct Next {
    enum Kind {
        Byte,  // `byte` came
        Copy,  // the stream has ended: the window's last byte stands again (the event scan)
        Skip,  // the stream has ended: nothing moves, ask again (the intro scan)
        Stop,  // the scan ends with `status`
    } kind;
    unsigned char byte;
    int status;
};

class Scanner {
public:
    // A new connection starts with an empty window.
    void reset() {
        have_ = 0;
        copies_ = 0;
    }
    // Forgets the window's bytes, as a call that fails inside the scan does.
    void drop_window() { have_ = 0; }

    // The window's bytes read as one host-order word.
    uint32_t word() const {
        uint32_t v;
        std::memcpy(&v, window_, sizeof v);
        return v;
    }
    int held() const { return have_; }

    // Fills the window to four bytes: bytes held from an earlier call first
    // (the places behind them zero), then reads of the stream as `read`
    // makes them (bytes; 0 at the end of the stream, which leaves its place
    // as it was and counts as a byte that never came; -1 with errno).  A
    // read that would block asks `would_block()`: 0 goes on, any other
    // value ends the fill with it and the window keeps what it took.
    // Returns 0 once four bytes stand, or -1 after a failed read (errno set;
    // the window is dropped).
    template <class Read, class WouldBlock>
    int fill(Read&& read, WouldBlock&& would_block);

    // Moves the window one byte at a time until `match(word)` holds,
    // taking bytes from the stream's buffer in bulk and asking `next()`
    // whenever it is empty.  Every move counts in `shifts`; a match found
    // after more than `limit` moves, or a move beyond limit + 1, ends the
    // scan with `over_limit` and the window dropped.  Every stream byte the
    // window lets go (not a byte that never came) counts in `skipped`.
    // Returns 0 when the window holds the match (it is then taken: the
    // window is empty for the next scan), or the status of the end.
    template <class Match, class Source>
    int scan(Stream& s, Match&& match, Source&& next, unsigned long limit, int over_limit, unsigned long long& skipped);

private:
    // Lets the first byte go and makes room at the end; true when the byte
    // came from the stream.
    bool shift_out() {
        const bool from_stream = (copies_ & 1u) == 0;
        copies_ >>= 1;
        std::memmove(window_, window_ + 1, 3);
        have_ = 3;
        return from_stream;
    }

    unsigned char window_[4] = {};  // in arrival order
    int have_ = 0;
    // Places (bit i: byte i) that stand for a read at the end of the
    // stream: they never came from the stream, so letting them go skips
    // nothing.
    unsigned copies_ = 0;
};

template <class Read, class WouldBlock>
int Scanner::fill(Read&& read, WouldBlock&& would_block) {
    if (have_ >= 4) have_ = 0;
    std::memset(window_ + have_, 0, sizeof window_ - static_cast<size_t>(have_));
    copies_ = 0;
    while (have_ < 4) {
        const ssize_t n = read(&window_[have_], static_cast<size_t>(4 - have_));
        if (n > 0) {
            have_ += static_cast<int>(n);
            continue;
        }
        if (n == 0) {
            copies_ |= 1u << have_;
            ++have_;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            have_ = 0;
            return -1;
        }
        if (int stop = would_block()) return stop;
    }
    return 0;
}

template <class Match, class Source>
int Scanner::scan(Stream& s, Match&& match, Source&& next, unsigned long limit, int over_limit,
                  unsigned long long& skipped) {
    unsigned long shifts = 0;
    for (;;) {
        if (have_ == 4) {
            if (match(word())) {
                have_ = 0;
                return shifts > limit ? over_limit : 0;
            }
            if (++shifts > limit + 1) {
                have_ = 0;
                return over_limit;
            }
            if (shift_out()) ++skipped;
        }
        // The buffered bytes, one after the other, without a call for each.
        if (s.buffered() > 0) {
            const unsigned char* p = s.data();
            const size_t n = s.buffered();
            size_t i = 0;
            int status = -1;
            while (i < n) {
                window_[have_++] = p[i++];
                if (have_ < 4) continue;
                if (match(word())) {
                    status = shifts > limit ? over_limit : 0;
                    have_ = 0;
                    break;
                }
                if (++shifts > limit + 1) {
                    status = over_limit;
                    have_ = 0;
                    break;
                }
                if (shift_out()) ++skipped;
            }
            s.drop(i);
            if (status >= 0) return status;
            continue;
        }
        const Next got = next();
        switch (got.kind) {
            case Next::Byte: window_[have_++] = got.byte; break;
            case Next::Copy:
                // The place keeps the byte the window let go of last.
                window_[have_] = window_[have_ - 1 >= 0 ? have_ - 1 : 0];
                copies_ |= 1u << have_;
                ++have_;
                break;
            case Next::Skip: break;
            case Next::Stop: return got.status;
        }
    }
}

}  // namespace detail
}  // namespace tarvex

#endif
