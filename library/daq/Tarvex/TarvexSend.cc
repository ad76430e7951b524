// Sending: one record from a caller's gather list (SendEvent), a batch of
// records (SendEventBatch) and a raw request block (SendRequest).
//
// A record's kind is told by the size of entry 0; the header gives its
// length and its pattern selects the data-format generation.  Without
// conversion the record goes out of the caller's own fragments (no copy);
// with conversion it goes out of one whole-record buffer, converted there.
// Every write is tried at once; only a write that would block makes the
// sender wait, at most 100 ms a time, against a budget that starts at
// `retrs` and refills whenever the socket makes progress.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "Tarvex.h"
#include "detail/Io.h"
#include "detail/Link.h"
#include "detail/Log.h"
#include "detail/RecordKinds.h"
#include "event_util.h"

namespace {

using tarvex::detail::Link;
using tarvex::detail::log_err;
using tarvex::detail::log_errf;
using tarvex::detail::log_out;
using tarvex::detail::log_outf;
using tarvex::detail::log_system_error;
using tarvex::detail::Readiness;
namespace text = tarvex::detail::text;

constexpr int kIovMax = 1024;            // most entries handed to one writev (DEF_IOV_MAX)
constexpr int kAnswerEmptyLimit = 1000;  // empty reads tolerated while waiting for the answer
constexpr int kRequestFirstBudget = 10;  // SendRequest's budget before its first byte
// A converting batch goes out in buffers of about this size: large enough
// for few writes, small enough not to hold a whole large batch twice.
constexpr size_t kBatchBufferBytes = size_t{4} << 20;
// A converting send converts and writes a large record in windows of this
// size, each one converted while the last is on its way and written while
// it is hot in the cache.
constexpr uint32_t kConvertWindow = 256 * 1024;
constexpr uint32_t kWholeConverted = 2 * kConvertWindow;
constexpr int kSendWaitMs = 100;  // the senders' wait for room

using tarvex::kinds::Kind;

// One header conversion per header type, host to peer order, into `out`.
template <class Head, int (*Convert)(const Head*, Head*)>
int convert_head(const void* head, void* out) {
    Head h;
    std::memcpy(&h, head, sizeof h);
    return Convert(&h, static_cast<Head*>(out));
}

// Bytes [from, from + count) of the record, gathered and converted into
// `dst` in one pass; the cursor carries the record's checks and the place
// in the gather list from one window to the next.
template <class Head,
          int (*Gather)(const Head*, const iovec*, int, void*, uint32_t, uint32_t, uint32_t, kbr7_gather_cursor*)>
int convert_window(const void* head, const iovec* body, int n, char* dst, uint32_t length, uint32_t from,
                   uint32_t count, kbr7_gather_cursor* cursor) {
    Head h;
    std::memcpy(&h, head, sizeof h);
    return Gather(&h, body, n, dst, length, from, count, cursor);
}

void image_head_failed(int) { log_out(text::kImageHeadFailed); }
void image_ext_head_failed(int) { log_out(text::kImageExtHeadFailed); }
void event_head_failed(int err) { log_outf(text::kEventHeadFailed, err); }
void slow_head_failed(int) { log_out(text::kSlowHeadFailed); }

constexpr size_t kMaxHead = sizeof(kbr7_image_ext_frame_head);

// What SendEvent tells by the size of entry 0 alone: one row per header
// layout.  The kinds a layout honours are those whose pattern (in either
// byte order) selects their own data-format generation; any other pattern
// selects the legacy one.  Images keep the generation of the record before
// them.  The 100-byte frame header is sent but starts with no pattern, so
// that no receiver finds it.
struct SendLayout {
    size_t hdsz;
    int what;  // the kind code a diagnostic prints
    bool selects_generation;
    Kind honoured[2];
    int honoured_count;
    size_t length_offset;  // the record length, header included; 32 bits are used
    size_t length_width;
    int (*convert_head)(const void* head, void* out);
    void (*head_failed)(int err);
    int (*convert_window)(const void* head, const iovec* body, int n, char* dst, uint32_t length, uint32_t from,
                          uint32_t count, kbr7_gather_cursor* cursor);
};

const SendLayout kSendLayouts[] = {
    {sizeof(kbr7_image_head),
     1,
     false,
     {},
     0,
     offsetof(kbr7_image_head, length),
     4,
     convert_head<kbr7_image_head, kbr7_convert_image_head>,
     image_head_failed,
     convert_window<kbr7_image_head, kbr7_convert_image_gather_hton_part>},
    {sizeof(kbr7_daq_slow_data_header),
     5,
     true,
     {Kind::Slow2024},
     1,
     offsetof(kbr7_daq_slow_data_header, data_length),
     4,
     convert_head<kbr7_daq_slow_data_header, kbr7_convert_slow_data_head>,
     slow_head_failed,
     convert_window<kbr7_daq_slow_data_header, kbr7_convert_slow_data_gather_hton_part>},
    {sizeof(kbr7_eventheader),
     0,
     true,
     {Kind::Event2010, Kind::Event2024},
     2,
     offsetof(kbr7_eventheader, event_length),
     4,
     convert_head<kbr7_eventheader, kbr7_convert_event_head>,
     event_head_failed,
     convert_window<kbr7_eventheader, kbr7_convert_event_gather_hton_part>},
    {sizeof(kbr7_eventheader_2024),
     6,
     true,
     {Kind::Event2024},
     1,
     offsetof(kbr7_eventheader_2024, event_length),
     8,
     convert_head<kbr7_eventheader_2024, kbr7_convert_event_head>,
     event_head_failed,
     convert_window<kbr7_eventheader_2024, kbr7_convert_event_gather_hton_part>},
    {sizeof(kbr7_image_ext_frame_head),
     2,
     false,
     {},
     0,
     offsetof(kbr7_image_ext_frame_head, length),
     4,
     convert_head<kbr7_image_ext_frame_head, kbr7_convert_image_ext_head>,
     image_ext_head_failed,
     convert_window<kbr7_image_ext_frame_head, kbr7_convert_image_ext_gather_hton_part>},
};

const SendLayout* send_layout(size_t hdsz) {
    for (const SendLayout& l : kSendLayouts)
        if (l.hdsz == hdsz) return &l;
    return nullptr;
}

// Event and slow-data records are the ones a receiver given a ring buffer
// answers, asked or not; images and spectra have receivers that never do.
bool answered_by_ring_receivers(const SendLayout& l) { return l.selects_generation; }

// A receiver's answer is 0 (room) or 1 (no room) in its own byte order.
bool is_answer_word(uint32_t w) { return w == 0 || w == 1 || w == 0x01000000u; }

// Unacknowledged sends between two looks at the socket for answers nobody
// asked for: often enough that they never fill the socket, rarely enough to
// cost nothing measurable.
constexpr unsigned kAnswerProbeEvery = 64;

// The record length from a header in host order; the upper half of a 64-bit
// length is ignored on the send side.
uint32_t length_of(const SendLayout& l, const unsigned char* head) {
    if (l.length_width == 8) {
        uint64_t v;
        std::memcpy(&v, head + l.length_offset, sizeof v);
        return static_cast<uint32_t>(v);
    }
    uint32_t v;
    std::memcpy(&v, head + l.length_offset, sizeof v);
    return v;
}

void select_generation(const SendLayout& l, const unsigned char* head) {
    if (!l.selects_generation) return;
    uint32_t pattern;
    std::memcpy(&pattern, head, sizeof pattern);
    for (int i = 0; i < l.honoured_count; ++i) {
        const tarvex::kinds::KindRow& k = tarvex::kinds::row(l.honoured[i]);
        if (pattern == k.pattern || pattern == tarvex::kinds::reversed(k.pattern)) {
            tarvex::kinds::select_generation(k.generation);
            return;
        }
    }
    tarvex::kinds::select_generation(tarvex::kinds::Generation::Legacy);
}

}  // namespace

struct TarvexSender {
    // A record checked and classified: its kind, its header as the caller
    // gave it and, when the link converts, the converted header.
    struct Prepared {
        const SendLayout* kind = nullptr;
        uint32_t event_length = 0;
        alignas(8) unsigned char head[kMaxHead];
        alignas(8) unsigned char converted[kMaxHead];
    };

    // State of one send: a record, or a batch of them.
    struct Call {
        Link& link;
        bool convert;               // decided once: get_swap() cannot change during the call
        uint32_t event_length = 0;  // bytes the whole send puts on the wire
        uint32_t sent_total = 0;
        int rtr = 0;
        bool blocked = false;  // the last write found the socket full: wait before the next
        // On a blocking socket the waits happen inside the writes, 100 ms at
        // most each; the socket's own limit is put back at the end.
        bool waits_in_write = false;

        Call(Link& l, bool conv) : link(l), convert(conv) {}
        ~Call() {
            if (waits_in_write && link.sockin >= 0) tarvex::detail::set_send_wait(link.sockin, 0);
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

        // The socket has been found full: from now on each write waits for
        // room (inside the write where the socket allows it and no answers
        // can come meanwhile, before it otherwise).
        void socket_full() {
            if (blocked) return;
            blocked = true;
            if (link.no_delay && !answers_may_come())
                waits_in_write = tarvex::detail::set_send_wait(link.sockin, kSendWaitMs);
        }

        // The peer may answer records that did not ask while this send
        // waits for room: a receiver given a ring buffer does.  Its answers
        // are then taken during the wait, or the peer, unable to write them,
        // would stop reading records.
        bool answers_may_come() const { return link.owed.still_owed() > 0; }

        // One wait for room, of `limit` (null: no limit).  Answers that
        // arrive meanwhile are taken and end the wait as readiness does;
        // other bytes from the peer are left to the receivers and the wait
        // goes on for room alone.
        Readiness wait_for_room(const timespec* limit) {
            const int fd = link.sockin;
            if (!answers_may_come()) return tarvex::detail::wait_once(fd, true, limit);
            bool input = false;
            const Readiness r = tarvex::detail::wait_room_or_input(fd, limit, input);
            if (r != Readiness::Other || !input) return r;
            const unsigned long long before = link.owed.answers;
            link.take_unasked_answers(true);
            return link.owed.answers != before ? Readiness::Ready : tarvex::detail::wait_once(fd, true, limit);
        }
        Readiness wait_100ms_for_room() {
            const timespec t{0, kSendWaitMs * 1000 * 1000};
            const Readiness r = wait_for_room(&t);
            if (r == Readiness::TimedOut) --rtr;
            return r;
        }
        // Writes without waits: the socket's own mode decides, unless
        // answers may come, which a write blocked inside the system would
        // leave untaken.
        bool plain_writes() const { return !answers_may_come(); }
    };

    // Outcome of one attempt of a body loop.
    struct Attempt {
        enum Kind { Wrote, Again, Stop } kind;
        size_t n;    // bytes written, for Wrote
        int status;  // the call's status, for Stop
    };

    static int prepare(const iovec* vec, int frsin, bool convert, Prepared& p);
    static int check_body(const Prepared& p, const iovec* vec, int frsin, bool convert);
    static int build_record(const Prepared& p, const iovec* vec, int frsin, char* dst, uint32_t from, uint32_t count,
                            kbr7_gather_cursor* cursor);
    static int send_converted(Call& c, const Prepared& p, const iovec* vec, int frsin);

    static int send_event(Link& t, iovec* vec, int frsin, bool ack);
    static int send_event_body(Call& c, const Prepared& p, iovec* vec, int frsin, bool ack);
    static int read_answer(Call& c, uint32_t& word);
    static int exchange_header(Call& c, const char* hd, size_t hdsz);
    static int send_header(Call& c, const char* hd, size_t hdsz);
    static int await_answer(Call& c);

    static int send_batch(Link& t, const TarvexRecord* recs, int n, int* sent);
    static int send_batch_records(Link& t, const TarvexRecord* recs, int n, int& whole);
    static int send_batch_gather(Call& c, const TarvexRecord* recs, int n);
    static int send_batch_converted(Call& c, const TarvexRecord* recs, const std::vector<Prepared>& prepared);

    static int send_gather(Call& c, iovec* vector, int frs);
    static int send_buffer(Call& c, const char* p, size_t n);
    template <class Op, class WaitedReport, class DirectReport>
    static Attempt body_attempt(Call& c, Op&& op, WaitedReport&& waited_report, DirectReport&& direct_report);
    static Attempt body_failure(Link& t, int err);
    static int verdict(const Call& c);
    static int retries_exceeded(const Call& c);

    static int send_request(Link& t, const char* buf, int sz);
};

// ---------------------------------------------------------------------------
// Preparing a record

// Classifies the record by the size of entry 0, takes its length, selects the
// generation and converts a copy of the header when the link converts.
int TarvexSender::prepare(const iovec* vec, int frsin, bool convert, Prepared& p) {
    // Without a header there is nothing to classify; a null header would be
    // read from address 0.  Refused before anything is read or sent.
    if (frsin < 1 || vec == nullptr || vec[0].iov_base == nullptr) {
        log_err(text::kSendNoHeader);
        return ERR_BAD_VALUE;
    }
    p.kind = send_layout(vec[0].iov_len);
    if (p.kind == nullptr) {
        log_outf(text::kUnknownHeaderSize, static_cast<int>(vec[0].iov_len), static_cast<int>(sizeof(kbr7_eventheader)),
                 static_cast<int>(sizeof(kbr7_eventheader)));
        log_out(text::kUnknownHeaderFormat);
        return ERR_PROTOCOL;
    }
    std::memcpy(p.head, vec[0].iov_base, p.kind->hdsz);
    p.event_length = length_of(*p.kind, p.head);
    select_generation(*p.kind, p.head);
    if (convert) {
        const int err = p.kind->convert_head(p.head, p.converted);
        if (err != 0) {
            p.kind->head_failed(err);
            return ERR_SWAP;
        }
    }
    return 0;
}

// What must hold of the body before any of it is written.  A converting
// send builds the record in a buffer of the record's length, which must hold
// the header and every entry.  A plain send writes the entries as they are,
// so a batch (which must not put a broken record on the wire) checks here
// that they add up to the length; a single send finds that out afterwards.
int TarvexSender::check_body(const Prepared& p, const iovec* vec, int frsin, bool convert) {
    const uint32_t hdsz = static_cast<uint32_t>(p.kind->hdsz);
    if (!convert) {
        uint64_t total = 0;
        for (int i = 0; i < frsin; ++i) total += vec[i].iov_len;
        if (total == p.event_length) return 0;
        log_outf(text::kCheckFail, static_cast<unsigned>(total), p.event_length);
        return ERR_CHECK;
    }
    // A length below the header size (0 included) would not even hold the
    // header: refused before anything is copied.
    if (p.event_length < hdsz) {
        log_outf(text::kSomethingWrong, static_cast<int>(p.event_length));
        return ERR_BAD_VALUE;
    }
    uint32_t total_cp_left = p.event_length - hdsz;
    for (int i = 1; i < frsin; ++i) {
        const size_t clen = vec[i].iov_len;
        if (clen > total_cp_left) {
            log_outf(text::kInconsistentLength, i, frsin, static_cast<int>(total_cp_left - clen),
                     static_cast<int>(p.event_length));
            return ERR_BAD_VALUE;
        }
        total_cp_left -= static_cast<uint32_t>(clen);
    }
    return 0;
}

// Bytes [from, from + count) of the converted record into `dst`, gathered
// and converted in one pass.  The header comes from the unconverted copy,
// the body from entries 1 onward in either mode; check_body has made sure
// they fit, and bytes they do not fill go out as zeros.
int TarvexSender::build_record(const Prepared& p, const iovec* vec, int frsin, char* dst, uint32_t from, uint32_t count,
                               kbr7_gather_cursor* cursor) {
    const int converr = p.kind->convert_window(p.head, vec + 1, frsin - 1, dst, p.event_length, from, count, cursor);
    if (converr != 0) {
        log_outf(text::kRecordConversionFailed, converr, p.kind->what);
        log_outf(text::kBadSwapErr, converr);
        return ERR_SWAP;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// SendEvent

int Link::SendEvent(iovec* vec, int frsin, int mode) {
    if (connected == 0) {
        log_err(text::kSendNotConnected);
        return ERR_NOT_CONNECTED;
    }
    return TarvexSender::send_event(*this, vec, frsin, mode != 0);
}

int TarvexSender::send_event(Link& t, iovec* vec, int frsin, bool ack) {
    Call c(t, t.get_swap());
    Prepared p;
    int status = prepare(vec, frsin, c.convert, p);
    if (status != 0) return status;
    c.event_length = p.event_length;
    if (!ack) {
        t.take_unasked_answers(++t.owed.sends % kAnswerProbeEvery == 0);
        // A receiver given a ring buffer answers once it has the header,
        // perhaps while the body is still on its way.
        const bool answered = answered_by_ring_receivers(*p.kind);
        if (answered) ++t.owed.unasked;
        status = send_event_body(c, p, vec, frsin, false);
        if (answered && c.sent_total < p.kind->hdsz) --t.owed.unasked;
        return status;
    }
    return send_event_body(c, p, vec, frsin, true);
}

int TarvexSender::send_event_body(Call& c, const Prepared& p, iovec* vec, int frsin, bool ack) {
    int status = 0;

    const size_t hdsz = p.kind->hdsz;
    if (ack) {
        status = exchange_header(c, reinterpret_cast<const char*>(c.convert ? p.converted : p.head), hdsz);
        if (status != 0) return status;
        c.sent_total = static_cast<uint32_t>(hdsz);
    }
    if (c.convert) {
        status = check_body(p, vec, frsin, true);
        if (status == 0) status = send_converted(c, p, vec, frsin);
    } else {
        // The header went out alone already in acknowledged mode.
        status = ack ? send_gather(c, vec + 1, frsin - 1) : send_gather(c, vec, frsin);
    }
    return status != 0 ? status : verdict(c);
}

// The converted record from byte sent_total on, one window at a time: each
// window is converted into a buffer the size of a cache, and written while
// it is still there, so a large record costs about what an unconverted one
// does.  A record no larger than a window goes out whole, as one write.
int TarvexSender::send_converted(Call& c, const Prepared& p, const iovec* vec, int frsin) {
    // Records of a few windows go out whole: cut, they would cost writes
    // (and small segments) for little gain.
    const uint32_t window = p.event_length <= kWholeConverted ? p.event_length : kConvertWindow;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[window > 0 ? window : 1]);
    if (!buffer) {
        log_out(text::kEventBufferAllocFailed);
        return ERR_ALLOC;
    }
    kbr7_gather_cursor cursor{};
    for (uint32_t from = c.sent_total; from < p.event_length;) {
        const uint32_t count = std::min(window, p.event_length - from);
        int status = build_record(p, vec, frsin, buffer.get(), from, count, &cursor);
        if (status == 0) status = send_buffer(c, buffer.get(), count);
        if (status != 0) return status;
        if (c.sent_total != from + count) return 0;  // the budget ran out: the verdict says so
        from += count;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Acknowledged header exchange

int TarvexSender::exchange_header(Call& c, const char* hd, size_t hdsz) {
    // Answers to earlier records that did not ask, taken before this
    // header can have an answer of its own.
    c.link.take_unasked_answers(true);
    int status = send_header(c, hd, hdsz);
    return status != 0 ? status : await_answer(c);
}

// The header goes out at once when the socket takes it; a socket that is
// full makes the sender wait for it, whatever no_delay says.  Only a write
// that would block right after a wait said writable is a failure.
int TarvexSender::send_header(Call& c, const char* hd, size_t hdsz) {
    Link& t = c.link;
    size_t hd_len = 0;
    bool wait_first = false;
    c.rtr = t.retrs;
    while (hd_len != hdsz && c.rtr > 0) {
        if (wait_first) {
            const Readiness r = tarvex::detail::wait_100ms(t.sockin, true, c.rtr);
            if (r == Readiness::Failed) {
                int err = errno;
                log_out(text::kError);
                log_system_error(text::kHeaderWaitFailed, err);
                if (err == EPIPE) t.Disconnect();
                return ERR_READ;
            }
            if (r == Readiness::Other) log_out(text::kSendNotOurSocket);
            if (r != Readiness::Ready) continue;
        }
        const ssize_t n = tarvex::detail::write_nowait(t.sockin, hd + hd_len, hdsz - hd_len);
        if (n < 0 && errno == EAGAIN && !wait_first) {
            wait_first = true;
            continue;
        }
        if (n < 0) {
            int err = errno;
            log_system_error(text::kHeaderSendFailed, err);
            log_outf(text::kErrno, err);
            if (err == EPIPE) {
                t.Disconnect();
                return ERR_SEND;
            }
            return err == EAGAIN ? ERR_AGAIN : ERR_SEND;
        }
        if (n > 0) {
            c.rtr = t.retrs;
            hd_len += static_cast<size_t>(n);
        }
        wait_first = hd_len != hdsz;  // a short write: the socket is full
    }
    // A peer holding part of a header has nothing to answer: waiting for its
    // answer could only end in the same failure later (or never, on a
    // blocking socket without waits), so the call ends here.
    return hd_len == hdsz ? 0 : ERR_RETRIES;
}

// The answer to the header just sent.  When the peer is known to answer
// records that did not ask, the answers it still owes them come first, in
// the order of their records.  (A peer not known to answer yet is taken to
// answer only what asks: a receiver may be given a ring buffer for some
// records and none for others.)
int TarvexSender::await_answer(Call& c) {
    Link& t = c.link;
    uint32_t ack = 0;
    while (t.owed.peer_answers && t.owed.still_owed() > 0) {
        if (int status = read_answer(c, ack)) return status;
        t.count_unasked_answer(ack);
    }
    if (int status = read_answer(c, ack)) return status;
    if (c.convert) kbr7_swap4(&ack, &ack, 1);
    if (ack == 0) return 0;
    ++t.no_room_answers;
    return ERR_NO_SPACE;
}

// One 4-byte answer word, under the answer wait's budget.
int TarvexSender::read_answer(Call& c, uint32_t& ack) {
    using tarvex::detail::ReadResult;
    Link& t = c.link;
    c.rtr = t.retrs;
    size_t have = 0;
    // Without waits the answer is read as a blocking read would, and the
    // budget is not used.  On a non-blocking socket (an accepting end after
    // SetDelay) that would spend the 1000 empty reads in a millisecond and
    // refuse almost every acknowledged record, so there the answer is
    // awaited as with waits.
    const bool read_at_once = !t.no_delay && !(::fcntl(t.sockin, F_GETFL) & O_NONBLOCK);
    auto wait = [&]() -> int {
        if (read_at_once)
            return tarvex::detail::wait_once(t.sockin, false, nullptr) == Readiness::Failed
                       ? ERR_SEND
                       : tarvex::detail::kWaitReady;
        if (c.rtr <= 0) return ERR_RETRIES;
        switch (tarvex::detail::wait_100ms(t.sockin, false, c.rtr)) {
            case Readiness::Failed:
                if (errno == EPIPE) t.Disconnect();
                return ERR_READ;
            case Readiness::TimedOut: return tarvex::detail::kWaitIdle;
            case Readiness::Other: log_out(text::kSendNotOurSocket); return tarvex::detail::kWaitIdle;
            case Readiness::Ready: break;
        }
        return tarvex::detail::kWaitReady;
    };
    auto progress = [&] { c.rtr = t.retrs; };
    const int fd = t.sockin;  // a wait that disconnects must not change what is read
    // The answer cannot have come before the header went out: unless bytes
    // are read ahead already, a read now would only find nothing.
    if (t.stream.buffered_for(fd) == 0) {
        const int w = wait();
        if (w != tarvex::detail::kWaitReady && w != tarvex::detail::kWaitIdle) return w;
    }
    ReadResult r =
        t.stream.read_missing(fd, reinterpret_cast<char*>(&ack), sizeof ack, have, kAnswerEmptyLimit, wait, progress);
    switch (r.outcome) {
        case ReadResult::Complete: break;
        case ReadResult::WaitStopped: return r.status;
        case ReadResult::TooManyEmpty: return ERR_RETRIES;
        case ReadResult::ReadFailed:
            if (r.err == EPIPE) t.Disconnect();
            return ERR_SEND;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// SendEventBatch

int Link::SendEventBatch(const TarvexRecord* recs, int n, int* sent) {
    if (sent != nullptr) *sent = 0;
    if (n == 0) return 0;
    if (n < 0 || recs == nullptr) {
        log_err(text::kBatchNoRecords);
        return ERR_BAD_VALUE;
    }
    if (connected == 0) {
        log_err(text::kSendNotConnected);
        return ERR_NOT_CONNECTED;
    }
    return TarvexSender::send_batch(*this, recs, n, sent);
}

int TarvexSender::send_batch(Link& t, const TarvexRecord* recs, int n, int* sent) {
    // The answers the batch's records will get are owed from the start:
    // they come while the batch is still being written.
    const unsigned long long before = t.owed.unasked;
    int whole = 0;
    const int status = send_batch_records(t, recs, n, whole);
    if (sent != nullptr) *sent = whole;
    t.owed.unasked = before;
    for (int i = 0; i < whole; ++i)
        if (answered_by_ring_receivers(*send_layout(recs[i].vec[0].iov_len))) ++t.owed.unasked;
    return status;
}

int TarvexSender::send_batch_records(Link& t, const TarvexRecord* recs, int n, int& whole) {
    Call c(t, t.get_swap());
    // Every record is checked before the first byte goes out, so that a bad
    // one stops the batch with nothing of it on the wire.
    std::vector<Prepared> prepared(c.convert ? static_cast<size_t>(n) : 1);
    uint64_t total = 0;
    for (int i = 0; i < n; ++i) {
        Prepared& p = prepared[c.convert ? static_cast<size_t>(i) : 0];
        int status = prepare(recs[i].vec, recs[i].frsin, c.convert, p);
        if (status == 0) status = check_body(p, recs[i].vec, recs[i].frsin, c.convert);
        if (status != 0) return status;
        total += p.event_length;
    }
    if (total > UINT32_MAX) {
        log_err(text::kBatchTooLarge);
        return ERR_BAD_VALUE;
    }
    c.event_length = static_cast<uint32_t>(total);

    t.take_unasked_answers(true);
    for (int i = 0; i < n; ++i)
        if (answered_by_ring_receivers(*send_layout(recs[i].vec[0].iov_len))) ++t.owed.unasked;
    int status = c.convert ? send_batch_converted(c, recs, prepared) : send_batch_gather(c, recs, n);
    // The records whose last byte is on the wire.
    uint64_t end = 0;
    for (whole = 0; whole < n; ++whole) {
        if (c.convert)
            end += prepared[static_cast<size_t>(whole)].event_length;
        else
            for (int k = 0; k < recs[whole].frsin; ++k) end += recs[whole].vec[k].iov_len;
        if (end > c.sent_total) break;
    }
    return status != 0 ? status : verdict(c);
}

// The caller's fragments, gathered without copying into writes of at most
// kIovMax entries.  The entries are copied, so that the repair after a short
// write touches the copy and the caller's lists stay as they are.
int TarvexSender::send_batch_gather(Call& c, const TarvexRecord* recs, int n) {
    std::vector<iovec> chunk;
    chunk.reserve(kIovMax);
    auto flush = [&c, &chunk] {
        int status = chunk.empty() ? 0 : send_gather(c, chunk.data(), static_cast<int>(chunk.size()));
        chunk.clear();
        return status;
    };
    for (int i = 0; i < n; ++i) {
        // A record that does not fit the write being built starts the next.
        if (!chunk.empty() && chunk.size() + static_cast<size_t>(recs[i].frsin) > kIovMax) {
            int status = flush();
            if (status != 0) return status;
        }
        for (int k = 0; k < recs[i].frsin; ++k)
            if (recs[i].vec[k].iov_len > 0) chunk.push_back(recs[i].vec[k]);
    }
    return flush();
}

// The converted records, built into buffers of about kBatchBufferBytes and
// written one buffer at a time; each record is converted under its own
// generation, selected again right before its conversion.
int TarvexSender::send_batch_converted(Call& c, const TarvexRecord* recs, const std::vector<Prepared>& prepared) {
    const size_t n = prepared.size();
    std::vector<char> buffer;
    for (size_t first = 0; first < n;) {
        size_t bytes = 0, last = first;
        while (last < n && (last == first || bytes + prepared[last].event_length <= kBatchBufferBytes))
            bytes += prepared[last++].event_length;
        try {
            buffer.resize(bytes);
        } catch (const std::bad_alloc&) {
            log_out(text::kEventBufferAllocFailed);
            return ERR_ALLOC;
        }
        char* at = buffer.data();
        for (size_t i = first; i < last; ++i) {
            const Prepared& p = prepared[i];
            select_generation(*p.kind, p.head);
            int status = build_record(p, recs[i].vec, recs[i].frsin, at, 0, p.event_length, nullptr);
            if (status != 0) return status;
            at += p.event_length;
        }
        const uint32_t before = c.sent_total;
        int status = send_buffer(c, buffer.data(), bytes);
        if (status != 0) return status;
        if (c.sent_total - before != bytes) return retries_exceeded(c);
        first = last;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Body transmission

// One attempt of a body loop.  With no_delay, the write is made at once and
// a 100 ms wait comes first only once the socket has been found full;
// without, the write is made at once always.
template <class Op, class WaitedReport, class DirectReport>
TarvexSender::Attempt TarvexSender::body_attempt(Call& c, Op&& op, WaitedReport&& waited_report,
                                                 DirectReport&& direct_report) {
    Link& t = c.link;
    if (t.no_delay) {
        if (c.blocked && !c.waits_in_write) {
            Readiness r = c.wait_100ms_for_room();
            if (r == Readiness::Failed) return body_failure(t, errno);
            if (r == Readiness::TimedOut) return {Attempt::Again, 0, 0};
            c.rtr = t.retrs;  // any wake-up counts as readiness here
        }
        ssize_t n = op();
        if (n < 0) {
            int err = errno;
            if (err == EAGAIN && !c.blocked) {
                // A full socket, found without waiting.
                c.socket_full();
                return {Attempt::Again, 0, 0};
            }
            if (err == EAGAIN && c.waits_in_write) {
                --c.rtr;  // a whole wait went by without room
                return {Attempt::Again, 0, 0};
            }
            waited_report(err);
            return body_failure(t, err);
        }
        if (n > 0) c.rtr = t.retrs;
        return {Attempt::Wrote, static_cast<size_t>(n), 0};
    }
    ssize_t n = op();
    if (n >= 0) {
        if (n > 0) c.rtr = t.retrs;
        return {Attempt::Wrote, static_cast<size_t>(n), 0};
    }
    int err = errno;
    if (err == EAGAIN && !c.plain_writes() && !(::fcntl(t.sockin, F_GETFL) & O_NONBLOCK)) {
        // What the blocking write would have done: wait for room, however
        // long, only taking the peer's answers meanwhile.
        if (c.wait_for_room(nullptr) == Readiness::Failed) return body_failure(t, errno);
        return {Attempt::Again, 0, 0};
    }
    direct_report(err);
    if (err == EAGAIN) {
        // A socket left non-blocking would otherwise make a stalled peer spin
        // this loop for ever: each would-block costs one unit of the budget,
        // and a pause of up to 100 ms makes that unit worth a wait, so a
        // moving peer is not dropped on a momentarily full socket buffer.
        if (--c.rtr > 0) {
            const timespec pause{0, kSendWaitMs * 1000 * 1000};
            c.wait_for_room(&pause);
        }
        return {Attempt::Again, 0, 0};
    }
    return body_failure(t, err);
}

TarvexSender::Attempt TarvexSender::body_failure(Link& t, int err) {
    if (err == EAGAIN) return {Attempt::Again, 0, 0};
    if (err == EPIPE) t.Disconnect();
    return {Attempt::Stop, 0, ERR_SEND};
}

// Straight from the fragments, at most kIovMax entries per writev.  A short
// write advances the entries in place.
int TarvexSender::send_gather(Call& c, iovec* vector, int frs) {
    Link& t = c.link;
    const int steps = frs / kIovMax + 1;
    for (int s = 0; s < steps; ++s) {
        c.rtr = t.retrs;
        int indx = s * kIovMax;
        if (frs <= indx) continue;
        const int step_frs = std::min(frs - indx, kIovMax);
        size_t step_length = 0;
        for (int k = indx; k < indx + step_frs; ++k) step_length += vector[k].iov_len;
        if (step_length == 0) continue;
        int fr_left = step_frs;

        // With waits, a write takes what fits and never blocks: the wait and the
        // budget bound the loop.  Without waits the caller chose plain writes,
        // which block on a blocking socket.
        auto op = [&] {
            return !t.no_delay && c.plain_writes() ? tarvex::detail::writev_plain(t.sockin, vector + indx, fr_left)
                   : c.waits_in_write              ? tarvex::detail::writev_waiting(t.sockin, vector + indx, fr_left)
                                                   : tarvex::detail::writev_nowait(t.sockin, vector + indx, fr_left);
        };
        auto waited_report = [](int) {};
        auto direct_report = [&](int err) {
            log_system_error(text::kWritev4Failed, err);
            log_outf(text::kWritevParams, fr_left, t.sockin,
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(vector)) + indx);
        };
        while (c.rtr > 0) {
            Attempt a = body_attempt(c, op, waited_report, direct_report);
            if (a.kind == Attempt::Stop) return a.status;
            if (a.kind == Attempt::Again) continue;
            c.sent_total += static_cast<uint32_t>(a.n);
            if (a.n == step_length) break;
            c.socket_full();  // the socket took less than it was given
            int next = indx + tarvex::detail::advance_iovec(vector + indx, fr_left, a.n);
            fr_left -= next - indx;
            if (fr_left < 0) log_outf(text::kNegativeFrLeft, fr_left, step_frs, next, s, kIovMax, frs);
            indx = next;
            step_length -= a.n;
        }
        // A step left with a hole must end the send: later steps would put
        // their bytes behind the hole and corrupt every record after it.
        if (c.rtr <= 0) return retries_exceeded(c);
    }
    return 0;
}

// `n` bytes from `p` (a converted record, or a part of one), with a budget
// of its own.
int TarvexSender::send_buffer(Call& c, const char* p, size_t n) {
    Link& t = c.link;
    size_t sent = 0;
    c.rtr = t.retrs;
    auto op = [&] {
        return !t.no_delay && c.plain_writes() ? tarvex::detail::write_plain(t.sockin, p + sent, n - sent)
               : c.waits_in_write              ? tarvex::detail::write_waiting(t.sockin, p + sent, n - sent)
                                               : tarvex::detail::write_nowait(t.sockin, p + sent, n - sent);
    };
    auto waited_report = [](int err) { log_system_error(text::kWritev1Failed, err); };
    auto direct_report = [](int err) { log_system_error(text::kWritev2Failed, err); };
    int status = 0;
    while (sent < n && c.rtr > 0) {
        Attempt a = body_attempt(c, op, waited_report, direct_report);
        if (a.kind == Attempt::Stop) {
            status = a.status;
            break;
        }
        if (a.kind != Attempt::Wrote) continue;
        sent += a.n;
        if (sent < n) c.socket_full();  // the socket took less than it was given
    }
    c.sent_total += static_cast<uint32_t>(sent);
    return status;
}

int TarvexSender::verdict(const Call& c) {
    if (c.sent_total == c.event_length) return 0;
    if (c.rtr <= 0) return retries_exceeded(c);
    log_outf(text::kCheckFail, c.sent_total, c.event_length);
    return ERR_CHECK;
}

int TarvexSender::retries_exceeded(const Call& c) {
    log_outf(text::kRetriesExceeded, c.rtr, c.link.retrs);
    return ERR_RETRIES;
}

// ---------------------------------------------------------------------------
// SendRequest

int Link::SendRequest(char* buf, int sz) {
    if (connected == 0) {
        log_err(text::kRequestNotConnected);
        return ERR_NOT_CONNECTED;
    }
    if (sz == 0) return 0;
    // A negative size would become a huge count and send whatever memory
    // follows the block; a null block has nothing to send.
    if (sz < 0 || buf == nullptr) {
        log_err(text::kRequestBadBlock);
        return ERR_BAD_VALUE;
    }
    return TarvexSender::send_request(*this, buf, sz);
}

int TarvexSender::send_request(Link& t, const char* buf, int sz) {
    int hd_len = 0;
    int rtr = kRequestFirstBudget;
    for (;;) {
        Readiness r = tarvex::detail::wait_100ms(t.sockin, true, rtr);
        // The count select() would have returned: Other woke without our
        // socket but still counted a descriptor.
        const int ret = r == Readiness::Failed ? -1 : r == Readiness::TimedOut ? 0 : 1;
        log_outf(text::kRequestWaitResult, ret);
        if (r == Readiness::Failed) {
            int err = errno;
            log_out(text::kError);
            log_system_error(text::kRequestWaitFailed, err);
            if (err != EAGAIN) return ERR_SEND;
        } else if (r == Readiness::Other) {
            log_out(text::kRequestNotOurSocket);
        } else if (r == Readiness::Ready) {
            ssize_t n = tarvex::detail::write_nowait(t.sockin, buf + hd_len, static_cast<size_t>(sz - hd_len));
            if (n < 0) {
                int err = errno;
                log_system_error(text::kRequestSendFailed, err);
                if (err == EAGAIN) continue;
                return ERR_SEND;
            }
            if (n > 0) {
                rtr = t.retrs;
                hd_len += static_cast<int>(n);
            }
        }
        if (hd_len == sz) return 0;
        // Part of the block is still unsent: that is a failure, not a success.
        if (rtr <= 0) return ERR_RETRIES;
    }
}

// ---------------------------------------------------------------------------
// Answers nobody asked for

// A receiver given a ring buffer answers every event and slow-data header,
// whether or not the sender asked.  A sender that did not ask takes those
// answers off the stream as they come, so that they never pile up in its
// socket (where, at the close, they would turn the end of the connection
// into a reset that throws away records the receiver has not read yet).
// Only answers still owed are taken, and only from the head of the stream:
// the bytes there are the peer's, in order, and an answer word is no record
// pattern in either byte order.
void Link::take_unasked_answers(bool probe) {
    if (sockin < 0 || owed.still_owed() == 0 || mid_record || stream.holds_kept()) return;
    if (probe) stream.fill_nowait(sockin);
    uint32_t word;
    while (owed.still_owed() > 0 && stream.peek(sockin, &word, sizeof word) && is_answer_word(word)) {
        stream.drop(sizeof word);
        count_unasked_answer(word);
    }
}

void Link::count_unasked_answer(uint32_t word) {
    ++owed.answers;
    owed.peer_answers = true;
    if (!owed.told_answers) {
        owed.told_answers = true;
        log_err(text::kUnaskedAnswers);
    }
    if (word == 0) return;
    ++no_room_answers;
    if (!owed.told_no_room) {
        owed.told_no_room = true;
        log_err(text::kUnaskedNoRoom);
    }
}
