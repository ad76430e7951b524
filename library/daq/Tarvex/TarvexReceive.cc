// Receiving events and slow data: the pattern scan, the acknowledgement
// against the caller's ring buffer, and the record's way into the store.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Tarvex.h"
#include "detail/Kinds.h"
#include "detail/Log.h"
#include "detail/Receiver.h"
#include "detail/Writer.h"
#include "event_util.h"

namespace tarvex {
namespace detail {

namespace {

using kinds::Family;
using kinds::KindRow;

// Where a call ends decides what becomes of the record stored before it.
enum class Phase {
    AckNotWritten,  // the acknowledgement could not be written
    Header,         // reading or converting the header
    NoSpace,        // the ring buffer has no room
    Record,         // from the replacement of the stored record on
};

constexpr int kFirstFourWaitsUnbounded = 1000;  // when trs < 0
constexpr unsigned long kScanLimit = 200000;    // bytes the scan may move past
constexpr int kHeaderEmptyLimit = 1000;

// Whether a call that ends in phase `p` gives up the record stored before
// it: events keep it until the record buffer is replaced; slow data gives it
// up when its header or the space test fails, but not when the
// acknowledgement could not be written.
bool releases_previous(const KindRow& k, Phase p) {
    switch (p) {
        case Phase::AckNotWritten: return false;
        case Phase::Header:
        case Phase::NoSpace: return k.family == Family::Slow;
        case Phase::Record: break;
    }
    return true;
}

// What the scan found: the word it stopped at (host order, as compared) and
// the kind it starts.  A pattern read in the other byte order goes to the
// kind of its own family, so that a peer of the other byte order gets its
// 2024 events and slow data across intact; finding one while no conversion
// is in force switches conversion on.
struct Found {
    uint32_t value = 0;
    const KindRow* row = nullptr;
    bool other_order = false;
};

struct Header {
    alignas(8) unsigned char working[sizeof(kbr7_eventheader_2024)];   // host order once converted
    alignas(8) unsigned char received[sizeof(kbr7_eventheader_2024)];  // as it travelled
    int64_t length;                                                    // L, from the working header
};

// A record that did not arrive whole within its time: what came of it is
// dropped, and the next call scans afresh.
int timed_out(const Connection& c) {
    log_errf(text::kRecordTimedOut, c.limits.record_timeout.ms);
    return ERR_TIMEOUT;
}

// The wait before every header and body read: budget `retrs`, no time
// limit; with a deadline, the wait ends there (ERR_TIMEOUT).  Returns 0
// (read now) or the wait's status.
int wait_readable(Connection& c, const Deadline& d) {
    if (d.set()) {
        if (c.stream.readable_now()) return 0;
        timespec left;
        switch (c.wait(Direction::Read, d.left(left))) {
            case Readiness::TimedOut: return ERR_TIMEOUT;
            case Readiness::Failed: return ERR_READ;
            default: return 0;
        }
    }
    const int r = c.if_ready(false, -1, -1, -1);
    return r < 0 ? ERR_READ : r;  // never hand the read loop its "idle" sentinel
}

// The first four bytes.  Bytes the scanner held from the call before come
// first; a read that would block waits for readability and goes on with the
// byte it was missing: bytes already taken are never read again or dropped,
// also when the call returns for lack of waits.
int first_four(Connection& c, int trs, int sec, int usec) {
    const int allowed = trs < 0 ? kFirstFourWaitsUnbounded : 1;
    int waits = 0;
    // Bytes already in the transport need no wait: they are read ahead first.
    // A wait without budget still fails before anything is taken.
    if (trs != 0) c.stream.fill_nowait();
    int r = c.if_ready(false, trs, sec, usec);
    while (r == ERR_TIMEOUT && ++waits < allowed) r = c.if_ready(false, trs, sec, usec);
    if (r == ERR_TIMEOUT) return ERR_TIMEOUT;
    if (r != 0) return ERR_READ;

    // The window's bytes one after the other, taken together when they are
    // there together.
    const int filled = c.scanner.fill([&c](unsigned char* dst, size_t n) { return c.stream.read(dst, n); },
                                      [&]() -> int {
                                          r = c.if_ready(false, trs, sec, usec);
                                          ++waits;
                                          if (r != 0 && r != ERR_TIMEOUT) return ERR_READ;
                                          if (waits >= allowed) return ERR_TIMEOUT;
                                          return 0;
                                      });
    if (filled < 0) {
        const int err = errno;
        log_system_error(text::kMagicReadFailed, err);
        log_outf(text::kMagicErrno, err);
        return ERR_READ;
    }
    return filled;
}

// Moves the window until it holds a pattern of an event or slow-data kind.
// The limit lets 200000 bytes stand in front of a record; the 200001st byte
// is still read before the call gives up.  A read at the end of the stream
// leaves its place as it was and the scan goes on; one that would block
// returns with the window kept.
int scan(Connection& c, Found& found) {
    const bool swap = c.get_swap();
    auto match = [&found, swap](uint32_t value) {
        if (swap) kbr7_swap4(&value, &value, 1);
        found.value = value;
        found.row = kinds::event_kind_of(value, &found.other_order);
        return found.row != nullptr;
    };
    auto next = [&c]() -> Next {
        unsigned char byte;
        const ssize_t n = c.stream.read(&byte, 1);
        if (n > 0) return {Next::Byte, byte, 0};
        if (n == 0) return {Next::Copy, 0, 0};
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {Next::Stop, 0, ERR_SCAN_AGAIN};
        c.scanner.drop_window();
        return {Next::Stop, 0, ERR_READ};
    };
    unsigned long long skipped = 0;
    const int st = c.scanner.scan(c.stream, match, next, kScanLimit, ERR_TIMEOUT, skipped);
    c.scan_skipped_last += skipped;
    c.scan_skipped_total += skipped;
    return st;
}

int read_header(Connection& c, const Found& f, Header& h, const Deadline& d) {
    std::memset(h.working, 0, sizeof h.working);
    std::memcpy(h.working, &f.value, sizeof f.value);
    size_t have = sizeof f.value;
    const ReadResult rr = c.stream.read_missing(reinterpret_cast<char*>(h.working), f.row->header, have,
                                                kHeaderEmptyLimit, [&c, &d] { return wait_readable(c, d); });
    if (rr.outcome == ReadResult::Complete) return 0;
    if (rr.outcome == ReadResult::WaitStopped && rr.status == ERR_TIMEOUT) return timed_out(c);
    if (rr.outcome == ReadResult::TooManyEmpty)
        log_system_error(f.row->family == Family::Slow ? text::kSlowHeaderEmpty : text::kEventHeaderEmpty);
    return ERR_READ;
}

// Leaves the header as received in the byte order in which it travelled and
// the working header in host order.
int settle_byte_order(Connection& c, const Found& f, Header& h) {
    if (f.other_order && c.must_swap == 0 && !c.no_swap) {
        // The peer writes in the other byte order: convert from now on.  The
        // first word already stands as it travelled.
        c.must_swap = 1;
        log_system_error(text::kSwitchingSwap);
    } else if (c.get_swap()) {
        kbr7_swap4(h.working, h.working, 1);
    }
    std::memcpy(h.received, h.working, sizeof h.received);
    if (c.get_swap() && f.row->convert_header(h.working) != 0) {
        log_out(text::kBadSwapMiddle);
        return ERR_SWAP;
    }
    h.length = kinds::record_length(*f.row, h.working);
    return 0;
}

// Tells the sender whether the ring buffer has room for the record.
int acknowledge(Connection& c, const KindRow& k, const Header& h, RNG_RingBuffer& rb, bool& fits) {
    const unsigned long free_bytes = rb.size() - rb.bytesUsed();
    // A 64-bit length is weighed as a signed number, a 32-bit one as unsigned.
    if (k.length_width == 8)
        fits = !(static_cast<int64_t>(free_bytes) < h.length);
    else
        fits = !(free_bytes < static_cast<uint32_t>(h.length));
    const int32_t ack = fits ? 0 : 1;
    // A sender that is itself waiting for room to write (its transport full
    // of records this end has read ahead) takes the answers only once it
    // gets to: a full transport is waited for, within the link's budget,
    // instead of failing the record.
    if (write_all(c.transport(), &ack, sizeof ack, c.retrs)) return 0;
    if (k.family != Family::Slow) log_system_error(text::kAckFailed);
    return ERR_SEND;
}

// Replaces the stored record with an array of the record's length that
// starts with the header as received.
int store_record(Connection& c, RecordStore& store, const KindRow& k, const Header& h) {
    // A length below the header size would put the header outside the array
    // and wrap the body count; one beyond 32 bits does not fit `size`.  Both
    // are refused like a negative 2024 length; the next call's scan finds the
    // following record.
    const size_t n = k.header;
    if (h.length < static_cast<int64_t>(n) || h.length > static_cast<int64_t>(UINT32_MAX)) {
        store.release();
        return ERR_BAD_VALUE;
    }
    // Longer than the site takes: refused the same way, before anything is
    // allocated for it.
    if (c.limits.max_record.set && static_cast<unsigned long long>(h.length) > c.limits.max_record.bytes) {
        store.release();
        log_errf(text::kRecordTooLong, static_cast<long long>(h.length), c.limits.max_record.bytes);
        return ERR_BAD_VALUE;
    }
    const auto length = static_cast<unsigned int>(h.length);
    if (!store.place(k, h.received, n, length)) {
        log_errf(text::kRecordAllocFailed, length);
        return ERR_ALLOC;
    }
    return 0;
}

// The conversion of the stored record to host order, made piece by piece
// while the record arrives, so that each piece is converted while it is
// still in the cache: a large record then costs little more to convert than
// to receive.
struct Pieces {
    RecordStore& store;
    bool on;  // the record converts here
    uint32_t done = 0;
    int result = 0;

    void upto(uint32_t to) {
        if (!on || to <= done) return;
        const int r = store.swap_part(done, to);
        if (result == 0) result = r;
        done = to;
    }
};

// Reads the body straight into the store's array behind the header.
int read_body(Connection& c, RecordStore& store, const KindRow& k, const Deadline& d, Pieces& pieces) {
    size_t have = 0;
    pieces.upto(static_cast<uint32_t>(k.header));
    const ReadResult rr = c.stream.read_missing(
        store.buffer + k.header, store.size - k.header, have, k.body_empty_limit,
        [&c, &d] { return wait_readable(c, d); },
        [&k, &have, &pieces] { pieces.upto(static_cast<uint32_t>(k.header + have)); });
    if (rr.outcome == ReadResult::WaitStopped && rr.status == ERR_TIMEOUT) return timed_out(c);
    if (rr.outcome == ReadResult::TooManyEmpty) log_system_error(text::kBodyEmpty);
    if (rr.outcome != ReadResult::Complete) return ERR_READ;
    if (k.header + have != store.size) {
        log_err(text::kSizeMismatch);
        return ERR_SIZE_MISMATCH;
    }
    return 0;
}

}  // namespace

int receive_event(Connection& c, RecordStore& store, const Switches& s, RNG_RingBuffer* rb, int trs, int sec,
                  int usec) {
    c.scan_skipped_last = 0;
    c.mid_record = false;
    if (!c.connected) {
        log_err(text::kReceiveNotConnected);
        return ERR_NOT_CONNECTED;
    }
    // Without a data socket nothing can ever arrive: fail instead of waiting.
    if (c.fd() < 0) return ERR_READ;
    if (int bad = c.take_receive_limits(s, "ReceiveEvent")) return bad;

    Found found;
    int st = first_four(c, trs, sec, usec);
    if (st == 0) st = scan(c, found);
    if (st != 0) return st;
    const KindRow& kind = *found.row;
    kinds::select_generation(kind.generation);

    auto end = [&store, &kind](Phase p, int status) {
        if (releases_previous(kind, p)) store.release();
        return status;
    };

    // Once the pattern is found, the rest of the record may be given a time.
    const Deadline deadline = c.record_deadline();
    Header h;
    st = read_header(c, found, h, deadline);
    if (st == 0) st = settle_byte_order(c, found, h);
    if (st != 0) return end(Phase::Header, st);

    if (rb != nullptr) {
        bool fits = false;
        st = acknowledge(c, kind, h, *rb, fits);
        if (st != 0) return end(Phase::AckNotWritten, st);
        if (!fits) return end(Phase::NoSpace, ERR_NO_SPACE);
    }
    if (kind.counted && store.owncntr) ++store.eventn;

    st = store_record(c, store, kind, h);
    Pieces pieces{store, st == 0 && c.get_swap() && store.converts};
    if (st == 0) st = read_body(c, store, kind, deadline, pieces);
    if (st != 0) return end(Phase::Record, st);

    st = !pieces.on ? store.swap(c.get_swap()) : pieces.result != 0 ? store.swap_failed() : 0;
    if (st != 0) {
        store.release();
        log_outf(text::kBadSwapRecord, st, kbr7_get_convert_error(st));
    }
    return st;
}

}  // namespace detail
}  // namespace tarvex
