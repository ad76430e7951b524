// Receiving events and slow data: the pattern scan, the acknowledgement
// against the caller's ring buffer, the link's record buffer and its
// accessors.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "Tarvex.h"
#include "detail/Io.h"
#include "detail/Link.h"
#include "detail/Log.h"
#include "detail/Receiver.h"
#include "detail/RecordKinds.h"
#include "event_util.h"

using tarvex::detail::Link;
using tarvex::detail::log_err;
using tarvex::detail::log_errf;
using tarvex::detail::log_out;
using tarvex::detail::log_outf;
using tarvex::detail::log_system_error;
using tarvex::detail::ReadResult;
namespace text = tarvex::detail::text;

namespace {

using tarvex::kinds::Family;
using tarvex::kinds::KindRow;

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

const char* header_empty_message(const KindRow& k) {
    return k.family == Family::Slow ? text::kSlowHeaderEmpty : text::kEventHeaderEmpty;
}

// A record that did not arrive whole within its time: what came of it is
// dropped, and the next call scans afresh.
int timed_out(const tarvex::detail::Link& t) {
    log_errf(text::kRecordTimedOut, t.limits.record_timeout.ms);
    return ERR_TIMEOUT;
}

uint32_t load32(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

// What the scan found: the word it stopped at (host order, as compared) and
// the kind it starts.  A pattern read in the other byte order goes to the
// kind of its own family, so that a peer of the other byte order gets its
// 2024 events and slow data across intact; finding one while no conversion
// is in force switches conversion on.
struct TarvexReceiver::Found {
    uint32_t value = 0;
    const KindRow* row = nullptr;
    bool other_order = false;
};

struct TarvexReceiver::Window {
    unsigned char bytes[4];  // in arrival order
    int have;
    // Places (bit i: byte i) that a read of 0 bytes left as they were: they
    // never came from the stream, so dropping them skips nothing.
    unsigned copies;
};

struct TarvexReceiver::Header {
    alignas(8) unsigned char working[sizeof(kbr7_eventheader_2024)];   // host order once converted
    alignas(8) unsigned char received[sizeof(kbr7_eventheader_2024)];  // as it travelled
    int64_t length;                                                    // L, from the working header
};

// The stored header is in the order in which it travelled, so a converted
// event shows a reversed pattern; slow data is matched in either order.
const KindRow* TarvexReceiver::converted_kind(const Link& t) {
    bool other_order = false;
    const KindRow* k = tarvex::kinds::event_kind_of(load32(t.buffer), &other_order, true);
    return k != nullptr && (other_order || k->family == Family::Slow) ? k : nullptr;
}

int TarvexReceiver::swap_failed(const KindRow& k) {
    log_out(k.kind == tarvex::kinds::Kind::Slow       ? text::kBadSwapSlow
            : k.kind == tarvex::kinds::Kind::Slow2024 ? text::kBadSwapSlow2024
                                                      : text::kBadSwapEvent);
    return ERR_SWAP;
}

// The conversion of the stored record to host order, made piece by piece
// while the record arrives, so that each piece is converted while it is
// still in the cache: a large record then costs little more to convert than
// to receive.  Which records convert is SwapBuffer's rule.
struct TarvexReceiver::Pieces {
    const KindRow* kind = nullptr;  // null: the record is not converted here
    uint32_t done = 0;
    int result = 0;

    void upto(Link& t, uint32_t to) {
        if (kind == nullptr || to <= done) return;
        const int r = kind->convert_record_part(t.buffer, t.size, done, to);
        if (result == 0) result = r;
        done = to;
    }
};

int TarvexReceiver::wait_readable(Link& t, const tarvex::detail::Deadline& d) {
    if (d.set()) {
        if (t.stream.readable_now(t.sockin)) return 0;
        switch (tarvex::detail::wait_until(t.sockin, false, d)) {
            case tarvex::detail::Readiness::TimedOut: return ERR_TIMEOUT;
            case tarvex::detail::Readiness::Failed: return ERR_READ;
            default: return 0;
        }
    }
    int r = t.IfReady(Tarvex::RECEIVER_READ, -1, -1, -1);
    return r < 0 ? ERR_READ : r;  // never hand the read loop its "idle" sentinel
}

int Link::take_receive_limits(const char* operation) {
    if (limits.fd == sockin) return 0;
    bool ok = true;
    limits.max_record = in_force(tarvex::detail::kMaxRecord, admission.max_record, operation, ok);
    limits.record_timeout = in_force(tarvex::detail::kRecordTimeout, admission.record_timeout, operation, ok);
    if (!ok) return ERR_BAD_VALUE;
    limits.fd = sockin;
    return 0;
}

void TarvexReceiver::release_record(Link& t) {
    delete[] t.buffer;
    t.buffer = nullptr;
    t.size = 0;
    t.capacity = 0;
}

// Bytes of a partial window stay with the link when the call returns before
// the window is complete, so that the next call goes on with them.
int TarvexReceiver::keep_window(Link& t, const Window& w, int status) {
    t.stream.keep(w.bytes, w.have);
    return status;
}

// The first four bytes.  A read that would block waits for readability and
// goes on with the byte it was missing: bytes already taken are never read
// again or dropped, also when the call returns for lack of waits.
int TarvexReceiver::first_four(Link& t, Window& w, int trs, int sec, int usec) {
    std::memset(w.bytes, 0, sizeof w.bytes);
    w.copies = 0;
    w.have = t.stream.take_kept(w.bytes);
    if (w.have >= 4) w.have = 0;

    const int allowed = trs < 0 ? kFirstFourWaitsUnbounded : 1;
    int waits = 0;
    // Bytes already on the socket need no wait: they are read ahead first.
    // A wait without budget still fails before anything is taken.
    if (trs != 0) t.stream.fill_nowait(t.sockin);
    int r = t.IfReady(Tarvex::RECEIVER_READ, trs, sec, usec);
    while (r == ERR_TIMEOUT && ++waits < allowed) r = t.IfReady(Tarvex::RECEIVER_READ, trs, sec, usec);
    if (r == ERR_TIMEOUT) return keep_window(t, w, ERR_TIMEOUT);
    if (r != 0) return keep_window(t, w, ERR_READ);

    while (w.have < 4) {
        // The bytes of the window one after the other, taken together when
        // they are there together.  A read of 0 bytes leaves its byte as it
        // was and counts as done.
        const ssize_t n = t.stream.read(t.sockin, &w.bytes[w.have], static_cast<size_t>(4 - w.have));
        if (n > 0) {
            w.have += static_cast<int>(n);
            continue;
        }
        if (n == 0) {
            w.copies |= 1u << w.have;
            ++w.have;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            const int err = errno;
            log_system_error(text::kMagicReadFailed, err);
            log_outf(text::kMagicErrno, err);
            return ERR_READ;
        }
        r = t.IfReady(Tarvex::RECEIVER_READ, trs, sec, usec);
        ++waits;
        if (r != 0 && r != ERR_TIMEOUT) return keep_window(t, w, ERR_READ);
        if (waits >= allowed) return keep_window(t, w, ERR_TIMEOUT);
    }
    return 0;
}

// Moves the window one byte at a time until it holds a pattern.  The limit
// lets 200000 bytes stand in front of a record; the 200001st byte is still
// read before the call gives up.
int TarvexReceiver::scan(Link& t, Window& w, Found& found) {
    unsigned long shift = 0;
    for (;;) {
        uint32_t value = load32(w.bytes);
        if (t.get_swap()) kbr7_swap4(&value, &value, 1);
        found.value = value;
        found.row = tarvex::kinds::event_kind_of(value, &found.other_order);
        if (found.row != nullptr) return shift == kScanLimit + 1 ? ERR_TIMEOUT : 0;
        if (++shift == kScanLimit + 2) return ERR_TIMEOUT;

        // The skip counters count stream bytes only, not the copies that a
        // closed peer's empty reads leave in the window.
        const bool dropped_stream_byte = (w.copies & 1u) == 0;
        w.copies >>= 1;
        std::memmove(w.bytes, w.bytes + 1, 3);
        if (dropped_stream_byte) {
            ++t.scan_skipped_last;
            ++t.scan_skipped_total;
        }
        const ssize_t n = t.stream.read(t.sockin, &w.bytes[3], 1);
        if (n == 0) w.copies |= 8u;
        if (n >= 0) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return ERR_READ;
        w.have = 3;
        return keep_window(t, w, ERR_SCAN_AGAIN);
    }
}

int TarvexReceiver::read_header(Link& t, const Found& f, Header& h, const tarvex::detail::Deadline& d) {
    std::memset(h.working, 0, sizeof h.working);
    std::memcpy(h.working, &f.value, sizeof f.value);
    size_t have = sizeof f.value;
    ReadResult rr = t.stream.read_missing(t.sockin, reinterpret_cast<char*>(h.working), f.row->header, have,
                                          kHeaderEmptyLimit, [&t, &d] { return wait_readable(t, d); });
    if (rr.outcome == ReadResult::Complete) return 0;
    if (rr.outcome == ReadResult::WaitStopped && rr.status == ERR_TIMEOUT) return timed_out(t);
    if (rr.outcome == ReadResult::TooManyEmpty) log_system_error(header_empty_message(*f.row));
    return ERR_READ;
}

// Leaves the header as received in the byte order in which it travelled and
// the working header in host order.
int TarvexReceiver::settle_byte_order(Link& t, const Found& f, Header& h) {
    if (f.other_order && t.must_swap == 0 && !t.no_swap) {
        // The peer writes in the other byte order: convert from now on.  The
        // first word already stands as it travelled.
        t.must_swap = 1;
        log_system_error(text::kSwitchingSwap);
    } else if (t.get_swap()) {
        kbr7_swap4(h.working, h.working, 1);
    }
    std::memcpy(h.received, h.working, sizeof h.received);
    if (t.get_swap() && f.row->convert_header(h.working) != 0) {
        log_out(text::kBadSwapMiddle);
        return ERR_SWAP;
    }
    h.length = tarvex::kinds::record_length(*f.row, h.working);
    return 0;
}

// Tells the sender whether the ring buffer has room for the record.
int TarvexReceiver::acknowledge(Link& t, const KindRow& k, const Header& h, RNG_RingBuffer& rb, bool& fits) {
    const unsigned long free_bytes = rb.size() - rb.bytesUsed();
    // A 64-bit length is weighed as a signed number, a 32-bit one as unsigned.
    if (k.length_width == 8)
        fits = !(static_cast<int64_t>(free_bytes) < h.length);
    else
        fits = !(free_bytes < static_cast<uint32_t>(h.length));
    const int32_t ack = fits ? 0 : 1;
    // A sender that is itself waiting for room to write (its socket full of
    // records this end has read ahead) takes the answers only once it gets
    // to: a full socket is waited for, within the link's budget, instead of
    // failing the record.
    if (tarvex::detail::write_all(t.sockin, &ack, sizeof ack, t.retrs)) return 0;
    if (k.family != Family::Slow) log_system_error(text::kAckFailed);
    return ERR_SEND;
}

// Replaces the stored record with a new array of the record's length that
// starts with the header as received.
int TarvexReceiver::store_record(Link& t, const KindRow& k, const Header& h) {
    // A length below the header size would put the header outside the array
    // and wrap the body count; one beyond 32 bits does not fit `size`.  Both
    // are refused like a negative 2024 length; the next call's scan finds the
    // following record.
    const size_t n = k.header;
    if (h.length < static_cast<int64_t>(n) || h.length > static_cast<int64_t>(UINT32_MAX)) {
        release_record(t);
        return ERR_BAD_VALUE;
    }
    // Longer than the site takes: refused the same way, before anything is
    // allocated for it.
    if (t.limits.max_record.set && static_cast<unsigned long long>(h.length) > t.limits.max_record.bytes) {
        release_record(t);
        log_errf(text::kRecordTooLong, static_cast<long long>(h.length), t.limits.max_record.bytes);
        return ERR_BAD_VALUE;
    }
    const auto length = static_cast<unsigned int>(h.length);
    // Records of one size in a row share one array; one much smaller than
    // the array gets its own, so that a single large record does not pin its
    // memory for good.
    if (t.buffer == nullptr || length > t.capacity || length < t.capacity / 4) {
        release_record(t);
        // A hostile length must not end the program: no memory for the
        // record is a status, and the next call finds the following record.
        t.buffer = new (std::nothrow) char[length];
        if (t.buffer == nullptr) {
            log_errf(text::kRecordAllocFailed, length);
            return ERR_ALLOC;
        }
        t.capacity = length;
    }
    t.size = length;
    std::memcpy(t.buffer, h.received, n);
    return 0;
}

// Reads the body straight into the record array behind the header.
int TarvexReceiver::read_body(Link& t, const KindRow& k, const tarvex::detail::Deadline& d, Pieces& pieces) {
    size_t have = 0;
    pieces.upto(t, static_cast<uint32_t>(k.header));
    ReadResult rr = t.stream.read_missing(
        t.sockin, t.buffer + k.header, t.size - k.header, have, k.body_empty_limit,
        [&t, &d] { return wait_readable(t, d); },
        [&t, &k, &have, &pieces] { pieces.upto(t, static_cast<uint32_t>(k.header + have)); });
    if (rr.outcome == ReadResult::WaitStopped && rr.status == ERR_TIMEOUT) return timed_out(t);
    if (rr.outcome == ReadResult::TooManyEmpty) log_system_error(text::kBodyEmpty);
    if (rr.outcome != ReadResult::Complete) return ERR_READ;
    if (k.header + have != t.size) {
        log_err(text::kSizeMismatch);
        return ERR_SIZE_MISMATCH;
    }
    return 0;
}

int TarvexReceiver::receive_event(Link& t, RNG_RingBuffer* rb, int trs, int sec, int usec) {
    t.scan_skipped_last = 0;
    t.mid_record = false;
    if (!t.connected) {
        log_err(text::kReceiveNotConnected);
        return ERR_NOT_CONNECTED;
    }
    // Without a data socket nothing can ever arrive: fail instead of waiting.
    if (t.sockin < 0) return ERR_READ;
    if (int bad = t.take_receive_limits("ReceiveEvent")) return bad;

    Window w;
    Found found;
    int st = first_four(t, w, trs, sec, usec);
    if (st == 0) st = scan(t, w, found);
    if (st != 0) return st;
    const KindRow& kind = *found.row;
    tarvex::kinds::select_generation(kind.generation);

    auto end = [&t, &kind](Phase p, int status) {
        if (releases_previous(kind, p)) release_record(t);
        return status;
    };

    // Once the pattern is found, the rest of the record may be given a time.
    const tarvex::detail::Deadline deadline = t.record_deadline();
    Header h;
    st = read_header(t, found, h, deadline);
    if (st == 0) st = settle_byte_order(t, found, h);
    if (st != 0) return end(Phase::Header, st);

    if (rb != nullptr) {
        bool fits = false;
        st = acknowledge(t, kind, h, *rb, fits);
        if (st != 0) return end(Phase::AckNotWritten, st);
        if (!fits) return end(Phase::NoSpace, ERR_NO_SPACE);
    }
    if (kind.counted && t.owncntr) ++t.eventn;

    st = store_record(t, kind, h);
    Pieces pieces;
    if (st == 0 && t.get_swap()) pieces.kind = converted_kind(t);
    if (st == 0) st = read_body(t, kind, deadline, pieces);
    if (st != 0) return end(Phase::Record, st);

    st = pieces.kind == nullptr ? t.SwapBuffer() : pieces.result != 0 ? swap_failed(*pieces.kind) : 0;
    if (st != 0) {
        release_record(t);
        log_outf(text::kBadSwapRecord, st, kbr7_get_convert_error(st));
    }
    return st;
}

int Link::ReceiveEvent(RNG_RingBuffer* rb, int trs, int sec, int usec) {
    return TarvexReceiver::receive_event(*this, rb, trs, sec, usec);
}

// ---------------------------------------------------------------------------
// The record buffer

// A record is stored when `size` is not 0: an array offered by
// reuse_record_array holds none yet.
int Link::SwapBuffer() {
    if (!get_swap()) return 0;
    if (buffer == nullptr || size == 0) return ERR_NO_BUFFER;
    const KindRow* k = TarvexReceiver::converted_kind(*this);
    if (k == nullptr) return 0;
    if (k->convert_record(buffer) != 0) return TarvexReceiver::swap_failed(*k);
    return 0;
}

int Link::WriteBlockToRingBuffer(RNG_RingBuffer& rb) {
    if (buffer == nullptr || size == 0) return ERR_NO_BUFFER;
    return rb.Write(buffer, size) == size ? 0 : ERR_RING_WRITE;
}

char* Link::take_record_array(unsigned int* taken_size, unsigned int* taken_capacity) {
    char* array = size > 0 ? buffer : nullptr;
    if (taken_size != nullptr) *taken_size = array != nullptr ? size : 0;
    if (taken_capacity != nullptr) *taken_capacity = array != nullptr ? capacity : 0;
    if (array != nullptr) {
        buffer = nullptr;
        size = 0;
        capacity = 0;
    }
    return array;
}

// The offered array waits in `buffer` with no record in it, so that
// store_record's rule for reusing the link's own array decides about it.
void Link::reuse_record_array(char* array, unsigned int array_capacity) {
    if (array == nullptr) return;
    if (buffer != nullptr) {
        delete[] array;
        return;
    }
    buffer = array;
    capacity = array_capacity;
    size = 0;
}

namespace {

// The 32-bit word at `offset` of the stored record, or false when there is
// no record or the word lies beyond it.  The field accessors choose their
// layout by the generation, not by the stored pattern, so a short slow-data
// record may not reach the offset they ask for: they then answer as for an
// empty buffer instead of reading outside the array.
bool stored_word(const char* buffer, unsigned int size, size_t offset, uint32_t& v) {
    if (buffer == nullptr || offset + sizeof v > size) return false;
    v = load32(buffer + offset);
    return true;
}

// Start of the stored record when its pattern is one of `patterns` and it
// holds a whole header of `header_size` bytes.
template <size_t M>
char* stored_header(char* buffer, unsigned int size, const uint32_t (&patterns)[M], size_t header_size) {
    if (buffer == nullptr || size < header_size) return nullptr;
    const uint32_t p = load32(buffer);
    for (uint32_t q : patterns)
        if (p == q) return buffer;
    return nullptr;
}

// Offset of the low 32 bits of a field: the 64-bit field of the 2024 header
// while that generation is in force, the 32-bit field of the older layout
// otherwise.
size_t low_word_offset(size_t field_2024, size_t field) {
    if (!is_data_format_2024()) return field;
    return field_2024 + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
}

}  // namespace

int Link::get_event_number() {
    if (owncntr) return eventn;
    uint32_t v;
    if (!stored_word(
            buffer, size,
            low_word_offset(offsetof(kbr7_eventheader_2024, event_number), offsetof(kbr7_eventheader, event_number)),
            v))
        return -1;
    return static_cast<int>(v);
}

KBR7_EVTYPE Link::get_event_type() {
    const size_t offset =
        is_data_format_2024() ? offsetof(kbr7_eventheader_2024, event_type) : offsetof(kbr7_eventheader, event_type);
    uint32_t v;
    if (!stored_word(buffer, size, offset, v)) return KBR7_EV_EVMAX;
    return static_cast<KBR7_EVTYPE>(v);
}

unsigned int Link::get_event_length() {
    uint32_t v;
    if (!stored_word(
            buffer, size,
            low_word_offset(offsetof(kbr7_eventheader_2024, event_length), offsetof(kbr7_eventheader, event_length)),
            v))
        return 0;
    return v;
}

kbr7_eventheader* Link::get_event_header() {
    static const uint32_t patterns[] = {KBR7_PATTERN_LEGACY, KBR7_PATTERN_2010};
    return reinterpret_cast<kbr7_eventheader*>(stored_header(buffer, size, patterns, sizeof(kbr7_eventheader)));
}

kbr7_eventheader_2024* Link::get_event_header_2024() {
    static const uint32_t patterns[] = {KBR7_PATTERN_2024};
    return reinterpret_cast<kbr7_eventheader_2024*>(
        stored_header(buffer, size, patterns, sizeof(kbr7_eventheader_2024)));
}

kbr7_daq_slow_data_header* Link::get_slow_data_header() {
    static const uint32_t patterns[] = {KBR7_PATTERN_SLOW_2024, KBR7_PATTERN_SLOW};
    return reinterpret_cast<kbr7_daq_slow_data_header*>(
        stored_header(buffer, size, patterns, sizeof(kbr7_daq_slow_data_header)));
}
