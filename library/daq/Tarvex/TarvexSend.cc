// Sending: one record from a caller's gather list (SendEvent), a batch of
// records (SendEventBatch) and a raw request block (SendRequest).
//
// A record's kind is told by the size of entry 0; the header gives its
// length and its pattern selects the data-format generation.  Without
// conversion the record goes out of the caller's own fragments (no copy);
// with conversion it goes out of one whole-record buffer, converted there.
// Every write is tried at once; only a write that would block makes the
// sender wait, at most 100 ms a time, against a budget that starts at
// `retrs` and refills whenever the transport makes progress.  Every write is
// one call of the write engine (detail/Writer.h) with a policy of its own.
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "Tarvex.h"
#include "detail/Kinds.h"
#include "detail/Log.h"
#include "detail/Sender.h"
#include "detail/Writer.h"
#include "event_util.h"

namespace tarvex {
namespace detail {

namespace {

using kinds::KindRow;

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
// Unacknowledged sends between two looks at the transport for answers
// nobody asked for: often enough that they never fill it, rarely enough to
// cost nothing measurable.
constexpr unsigned kAnswerProbeEvery = 64;

constexpr size_t kMaxHead = sizeof(kbr7_image_ext_frame_head);

// Event and slow-data records are the ones a receiver given a ring buffer
// answers, asked or not; images and spectra have receivers that never do.
bool answered_by_ring_receivers(const KindRow& k) {
    return k.family == kinds::Family::Event || k.family == kinds::Family::Slow;
}

// A record checked and classified: its kind, its header as the caller gave
// it and, when the link converts, the converted header.
struct Prepared {
    const KindRow* kind = nullptr;
    uint32_t event_length = 0;
    alignas(8) unsigned char head[kMaxHead];
    alignas(8) unsigned char converted[kMaxHead];
};

// State of one send: a record, or a batch of them.
struct Call {
    Connection& c;
    bool convert;               // decided once: get_swap() cannot change during the call
    uint32_t event_length = 0;  // bytes the whole send puts on the wire
    uint32_t sent_total = 0;
    int rtr = 0;
    bool blocked = false;  // the last write found the transport full: wait before the next
    // On a blocking transport the waits happen inside the writes, 100 ms at
    // most each; the transport's own limit is put back at the end.
    bool waits_in_write = false;

    Call(Connection& conn, bool conv) : c(conn), convert(conv) {}
    ~Call() {
        if (waits_in_write) c.transport().set_send_wait(0);
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // The transport has been found full: from now on each write waits for
    // room (inside the write where the transport allows it and no answers
    // can come meanwhile, before it otherwise).
    void transport_full() {
        if (blocked) return;
        blocked = true;
        if (c.no_delay && !answers_may_come()) waits_in_write = c.transport().set_send_wait(kSendWaitMs);
    }

    // The peer may answer records that did not ask while this send waits
    // for room: a receiver given a ring buffer does.  Its answers are then
    // taken during the wait, or the peer, unable to write them, would stop
    // reading records.
    bool answers_may_come() const { return c.owed.still_owed() > 0; }

    // One wait for room, of `limit` (null: no limit).  Answers that arrive
    // meanwhile are taken and end the wait as readiness does; other bytes
    // from the peer are left to the receivers and the wait goes on for room
    // alone.
    Readiness wait_for_room(const timespec* limit) {
        if (!answers_may_come()) return c.wait(Direction::Write, limit);
        const Readiness r = c.wait(Direction::WriteOrRead, limit);
        if (r != Readiness::Other) return r;
        const unsigned long long before = c.owed.answers;
        c.take_unasked_answers(true);
        return c.owed.answers != before ? Readiness::Ready : c.wait(Direction::Write, limit);
    }
    Readiness wait_100ms_for_room() {
        const timespec t{0, kSendWaitMs * 1000 * 1000};
        const Readiness r = wait_for_room(&t);
        if (r == Readiness::TimedOut) --rtr;
        return r;
    }
    // Writes without waits: the transport's own mode decides, unless
    // answers may come, which a write blocked inside the system would leave
    // untaken.
    bool plain_writes() const { return !answers_may_come(); }
};

int retries_exceeded(const Call& call) {
    log_outf(text::kRetriesExceeded, call.rtr, call.c.retrs);
    return ERR_RETRIES;
}

int verdict(const Call& call) {
    if (call.sent_total == call.event_length) return 0;
    if (call.rtr <= 0) return retries_exceeded(call);
    log_outf(text::kCheckFail, call.sent_total, call.event_length);
    return ERR_CHECK;
}

// The end of a body write that failed: a broken pipe disconnects the link.
int body_failure(Connection& c, int err) {
    if (err == EAGAIN) return kWriteAgain;
    if (err == EPIPE) c.disconnect_link();
    return ERR_SEND;
}

// The policy of the body writes, of the caller's fragments (`Report`: the
// gather's texts) or of a converted buffer (the buffer's texts).  With
// no_delay the write is made at once and a 100 ms wait comes first only
// once the transport has been found full; without, the write is made at
// once always.  Progress refills the budget.
template <class Report>
struct BodyWrite {
    Call& call;
    Report report;

    bool budget_left() const { return call.rtr > 0; }
    int out_of_budget() const { return kWriteStopped; }
    int before_write() {
        if (!call.c.no_delay || !call.blocked || call.waits_in_write) return kWriteNow;
        const Readiness r = call.wait_100ms_for_room();
        if (r == Readiness::Failed) return body_failure(call.c, errno);
        if (r == Readiness::TimedOut) return kWriteAgain;
        call.rtr = call.c.retrs;  // any wake-up counts as readiness here
        return kWriteNow;
    }
    WriteMode mode() const {
        if (call.c.no_delay) return call.waits_in_write ? WriteMode::Waiting : WriteMode::Now;
        return call.plain_writes() ? WriteMode::Plain : WriteMode::Now;
    }
    int on_error(int err) {
        if (call.c.no_delay) {
            if (err == EAGAIN && !call.blocked) {
                call.transport_full();  // found without waiting
                return kWriteAgain;
            }
            if (err == EAGAIN && call.waits_in_write) {
                --call.rtr;  // a whole wait went by without room
                return kWriteAgain;
            }
            report.waited(err);
            return body_failure(call.c, err);
        }
        if (err == EAGAIN && !call.plain_writes() && call.c.transport().blocking()) {
            // What the blocking write would have done: wait for room, however
            // long, only taking the peer's answers meanwhile.
            if (call.wait_for_room(nullptr) == Readiness::Failed) return body_failure(call.c, errno);
            return kWriteAgain;
        }
        report.direct(err);
        if (err == EAGAIN) {
            // A transport left non-blocking would otherwise make a stalled
            // peer spin this loop for ever: each would-block costs one unit
            // of the budget, and a pause of up to 100 ms makes that unit
            // worth a wait, so a moving peer is not dropped on a momentarily
            // full buffer.
            if (--call.rtr > 0) {
                const timespec pause{0, kSendWaitMs * 1000 * 1000};
                call.wait_for_room(&pause);
            }
            return kWriteAgain;
        }
        return body_failure(call.c, err);
    }
    int on_written(size_t n, bool short_write, int next) {
        if (n > 0) call.rtr = call.c.retrs;
        if (short_write) call.transport_full();  // the transport took less than it was given
        report.advanced(next);
        return kWriteNow;
    }
};

// The texts of the gather writes, with the step they belong to: `indx` is
// the first entry not yet written, counted from the start of the list.
struct GatherReport {
    Call& call;
    const iovec* vector;
    int step_start, step_frs, s, frs;
    int indx = step_start;
    int fr_left = step_frs;
    void waited(int) const {}
    void direct(int err) const {
        log_system_error(text::kWritev4Failed, err);
        log_outf(text::kWritevParams, fr_left, call.c.fd(),
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(vector)) + indx);
    }
    // `next` counts from the start of the step.
    void advanced(int next) {
        next += step_start;
        fr_left -= next - indx;
        if (fr_left < 0) log_outf(text::kNegativeFrLeft, fr_left, step_frs, next, s, kIovMax, frs);
        indx = next;
    }
};

struct BufferReport {
    void waited(int err) const { log_system_error(text::kWritev1Failed, err); }
    void direct(int err) const { log_system_error(text::kWritev2Failed, err); }
    void advanced(int) const {}
};

// Straight from the fragments, at most kIovMax entries per write, each step
// with a budget of its own.  A short write advances the entries in place.
int send_gather(Call& call, iovec* vector, int frs) {
    const int steps = frs / kIovMax + 1;
    for (int s = 0; s < steps; ++s) {
        call.rtr = call.c.retrs;
        const int indx = s * kIovMax;
        if (frs <= indx) continue;
        const int step_frs = std::min(frs - indx, kIovMax);
        size_t step_length = 0;
        for (int k = indx; k < indx + step_frs; ++k) step_length += vector[k].iov_len;
        if (step_length == 0) continue;

        BodyWrite<GatherReport> policy{call, {call, vector, indx, step_frs, s, frs}};
        size_t written = 0;
        const int status = write_gather(call.c.transport(), vector + indx, step_frs, step_length, written, policy);
        call.sent_total += static_cast<uint32_t>(written);
        // A step left with a hole must end the send: later steps would put
        // their bytes behind the hole and corrupt every record after it.
        if (status == kWriteStopped) return retries_exceeded(call);
        if (status != 0) return status;
    }
    return 0;
}

// `n` bytes from `p` (a converted record, or a part of one), with a budget
// of its own; a budget that runs out leaves the rest unsent, for the
// verdict to tell.
int send_buffer(Call& call, const char* p, size_t n) {
    call.rtr = call.c.retrs;
    BodyWrite<BufferReport> policy{call, {}};
    size_t written = 0;
    const int status = write_block(call.c.transport(), p, n, written, policy);
    call.sent_total += static_cast<uint32_t>(written);
    return status == kWriteStopped ? 0 : status;
}

// ---------------------------------------------------------------------------
// Preparing a record

// Classifies the record by the size of entry 0, takes its length, selects the
// generation and converts a copy of the header when the link converts.
int prepare(const iovec* vec, int frsin, bool convert, Prepared& p) {
    // Without a header there is nothing to classify; a null header would be
    // read from address 0.  Refused before anything is read or sent.
    if (frsin < 1 || vec == nullptr || vec[0].iov_base == nullptr) {
        log_err(text::kSendNoHeader);
        return ERR_BAD_VALUE;
    }
    p.kind = kinds::sent_kind_of(vec[0].iov_len);
    if (p.kind == nullptr) {
        log_outf(text::kUnknownHeaderSize, static_cast<int>(vec[0].iov_len), static_cast<int>(sizeof(kbr7_eventheader)),
                 static_cast<int>(sizeof(kbr7_eventheader)));
        log_out(text::kUnknownHeaderFormat);
        return ERR_PROTOCOL;
    }
    std::memcpy(p.head, vec[0].iov_base, p.kind->first_piece);
    // The upper half of a 64-bit length is ignored on the send side.
    p.event_length = static_cast<uint32_t>(kinds::record_length(*p.kind, p.head));
    uint32_t pattern;
    std::memcpy(&pattern, p.head, sizeof pattern);
    kinds::select_generation(kinds::sent_generation(*p.kind, pattern));
    if (convert) {
        const int err = p.kind->convert_first_piece(p.head, p.converted);
        if (err != 0) {
            if (p.kind->failure_shows_error)
                log_outf(p.kind->first_piece_failed, err);
            else
                log_out(p.kind->first_piece_failed);
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
int check_body(const Prepared& p, const iovec* vec, int frsin, bool convert) {
    const uint32_t hdsz = static_cast<uint32_t>(p.kind->first_piece);
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
int build_record(const Prepared& p, const iovec* vec, int frsin, char* dst, uint32_t from, uint32_t count,
                 kbr7_gather_cursor* cursor) {
    const int converr = p.kind->convert_window(p.head, vec + 1, frsin - 1, dst, p.event_length, from, count, cursor);
    if (converr != 0) {
        log_outf(text::kRecordConversionFailed, converr, p.kind->what);
        log_outf(text::kBadSwapErr, converr);
        return ERR_SWAP;
    }
    return 0;
}

// The converted record from byte sent_total on, one window at a time: each
// window is converted into a buffer the size of a cache, and written while
// it is still there, so a large record costs about what an unconverted one
// does.  A record no larger than a window goes out whole, as one write.
int send_converted(Call& call, const Prepared& p, const iovec* vec, int frsin) {
    // Records of a few windows go out whole: cut, they would cost writes
    // (and small segments) for little gain.
    const uint32_t window = p.event_length <= kWholeConverted ? p.event_length : kConvertWindow;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[window > 0 ? window : 1]);
    if (!buffer) {
        log_out(text::kEventBufferAllocFailed);
        return ERR_ALLOC;
    }
    kbr7_gather_cursor cursor{};
    for (uint32_t from = call.sent_total; from < p.event_length;) {
        const uint32_t count = std::min(window, p.event_length - from);
        int status = build_record(p, vec, frsin, buffer.get(), from, count, &cursor);
        if (status == 0) status = send_buffer(call, buffer.get(), count);
        if (status != 0) return status;
        if (call.sent_total != from + count) return 0;  // the budget ran out: the verdict says so
        from += count;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Acknowledged header exchange

// The policy of the acknowledged header: at once when the transport takes
// it; a transport that is full makes the sender wait for it, whatever
// no_delay says.  Only a write that would block right after a wait said
// writable is a failure.
struct HeaderWrite {
    Call& call;
    bool wait_first = false;

    bool budget_left() const { return call.rtr > 0; }
    // A peer holding part of a header has nothing to answer: waiting for its
    // answer could only end in the same failure later (or never, on a
    // blocking transport without waits), so the call ends here.
    int out_of_budget() const { return ERR_RETRIES; }
    int before_write() {
        if (!wait_first) return kWriteNow;
        const Readiness r = call.c.wait_100ms(Direction::Write, &call.rtr);
        if (r == Readiness::Failed) {
            const int err = errno;
            log_out(text::kError);
            log_system_error(text::kHeaderWaitFailed, err);
            if (err == EPIPE) call.c.disconnect_link();
            return ERR_READ;
        }
        if (r == Readiness::Other) log_out(text::kSendNotOurSocket);
        return r == Readiness::Ready ? kWriteNow : kWriteAgain;
    }
    WriteMode mode() const { return WriteMode::Now; }
    int on_error(int err) {
        if (err == EAGAIN && !wait_first) {
            wait_first = true;
            return kWriteAgain;
        }
        log_system_error(text::kHeaderSendFailed, err);
        log_outf(text::kErrno, err);
        if (err == EPIPE) {
            call.c.disconnect_link();
            return ERR_SEND;
        }
        return err == EAGAIN ? ERR_AGAIN : ERR_SEND;
    }
    int on_written(size_t n, bool short_write, int) {
        if (n > 0) call.rtr = call.c.retrs;
        wait_first = short_write;  // a short write: the transport is full
        return kWriteNow;
    }
};

// One 4-byte answer word, under the answer wait's budget.
int read_answer(Call& call, uint32_t& ack) {
    Connection& c = call.c;
    call.rtr = c.retrs;
    size_t have = 0;
    // Without waits the answer is read as a blocking read would, and the
    // budget is not used.  On a non-blocking transport (an accepting end
    // after SetDelay) that would spend the 1000 empty reads in a millisecond
    // and refuse almost every acknowledged record, so there the answer is
    // awaited as with waits.
    const bool read_at_once = !c.no_delay && c.transport().blocking();
    auto wait = [&]() -> int {
        if (read_at_once) return c.wait(Direction::Read, nullptr) == Readiness::Failed ? ERR_SEND : kWaitReady;
        if (call.rtr <= 0) return ERR_RETRIES;
        switch (c.wait_100ms(Direction::Read, &call.rtr)) {
            case Readiness::Failed:
                if (errno == EPIPE) c.disconnect_link();
                return ERR_READ;
            case Readiness::TimedOut: return kWaitIdle;
            case Readiness::Other: log_out(text::kSendNotOurSocket); return kWaitIdle;
            case Readiness::Ready: break;
        }
        return kWaitReady;
    };
    auto progress = [&] { call.rtr = c.retrs; };
    // The answer cannot have come before the header went out: unless bytes
    // are read ahead already, a read now would only find nothing.
    if (c.stream.buffered() == 0) {
        const int w = wait();
        if (w != kWaitReady && w != kWaitIdle) return w;
    }
    const ReadResult r =
        c.stream.read_missing(reinterpret_cast<char*>(&ack), sizeof ack, have, kAnswerEmptyLimit, wait, progress);
    switch (r.outcome) {
        case ReadResult::Complete: break;
        case ReadResult::WaitStopped: return r.status;
        case ReadResult::TooManyEmpty: return ERR_RETRIES;
        case ReadResult::ReadFailed:
            if (r.err == EPIPE) c.disconnect_link();
            return ERR_SEND;
    }
    return 0;
}

// The answer to the header just sent.  When the peer is known to answer
// records that did not ask, the answers it still owes them come first, in
// the order of their records.  (A peer not known to answer yet is taken to
// answer only what asks: a receiver may be given a ring buffer for some
// records and none for others.)
int await_answer(Call& call) {
    Connection& c = call.c;
    uint32_t ack = 0;
    while (c.owed.peer_answers && c.owed.still_owed() > 0) {
        if (int status = read_answer(call, ack)) return status;
        c.count_unasked_answer(ack);
    }
    if (int status = read_answer(call, ack)) return status;
    if (call.convert) kbr7_swap4(&ack, &ack, 1);
    if (ack == 0) return 0;
    ++c.no_room_answers;
    return ERR_NO_SPACE;
}

int exchange_header(Call& call, const char* hd, size_t hdsz) {
    // Answers to earlier records that did not ask, taken before this
    // header can have an answer of its own.
    call.c.take_unasked_answers(true);
    call.rtr = call.c.retrs;
    HeaderWrite policy{call};
    size_t written = 0;
    const int status = write_block(call.c.transport(), hd, hdsz, written, policy);
    return status != 0 ? status : await_answer(call);
}

// ---------------------------------------------------------------------------
// SendEvent

int send_event_body(Call& call, const Prepared& p, iovec* vec, int frsin, bool ack) {
    int status = 0;
    const size_t hdsz = p.kind->first_piece;
    if (ack) {
        status = exchange_header(call, reinterpret_cast<const char*>(call.convert ? p.converted : p.head), hdsz);
        if (status != 0) return status;
        call.sent_total = static_cast<uint32_t>(hdsz);
    }
    if (call.convert) {
        status = check_body(p, vec, frsin, true);
        if (status == 0) status = send_converted(call, p, vec, frsin);
    } else {
        // The header went out alone already in acknowledged mode.
        status = ack ? send_gather(call, vec + 1, frsin - 1) : send_gather(call, vec, frsin);
    }
    return status != 0 ? status : verdict(call);
}

// ---------------------------------------------------------------------------
// SendEventBatch

// The caller's fragments, gathered without copying into writes of at most
// kIovMax entries.  The entries are copied, so that the repair after a short
// write touches the copy and the caller's lists stay as they are.
int send_batch_gather(Call& call, const TarvexRecord* recs, int n) {
    std::vector<iovec> chunk;
    chunk.reserve(kIovMax);
    auto flush = [&call, &chunk] {
        int status = chunk.empty() ? 0 : send_gather(call, chunk.data(), static_cast<int>(chunk.size()));
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
int send_batch_converted(Call& call, const TarvexRecord* recs, const std::vector<Prepared>& prepared) {
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
            uint32_t pattern;
            std::memcpy(&pattern, p.head, sizeof pattern);
            kinds::select_generation(kinds::sent_generation(*p.kind, pattern));
            int status = build_record(p, recs[i].vec, recs[i].frsin, at, 0, p.event_length, nullptr);
            if (status != 0) return status;
            at += p.event_length;
        }
        const uint32_t before = call.sent_total;
        int status = send_buffer(call, buffer.data(), bytes);
        if (status != 0) return status;
        if (call.sent_total - before != bytes) return retries_exceeded(call);
        first = last;
    }
    return 0;
}

// How many of the records a receiver given a ring buffer answers.
unsigned long long answered_records(const TarvexRecord* recs, int n) {
    unsigned long long answered = 0;
    for (int i = 0; i < n; ++i)
        if (answered_by_ring_receivers(*kinds::sent_kind_of(recs[i].vec[0].iov_len))) ++answered;
    return answered;
}

int send_batch_records(Connection& c, const TarvexRecord* recs, int n, int& whole) {
    Call call(c, c.get_swap());
    // Every record is checked before the first byte goes out, so that a bad
    // one stops the batch with nothing of it on the wire.
    std::vector<Prepared> prepared(call.convert ? static_cast<size_t>(n) : 1);
    uint64_t total = 0;
    for (int i = 0; i < n; ++i) {
        Prepared& p = prepared[call.convert ? static_cast<size_t>(i) : 0];
        int status = prepare(recs[i].vec, recs[i].frsin, call.convert, p);
        if (status == 0) status = check_body(p, recs[i].vec, recs[i].frsin, call.convert);
        if (status != 0) return status;
        total += p.event_length;
    }
    if (total > UINT32_MAX) {
        log_err(text::kBatchTooLarge);
        return ERR_BAD_VALUE;
    }
    call.event_length = static_cast<uint32_t>(total);

    c.take_unasked_answers(true);
    // The answers the batch's records will get are owed from the start:
    // they come while the batch is still being written.
    c.owed.unasked += answered_records(recs, n);
    int status = call.convert ? send_batch_converted(call, recs, prepared) : send_batch_gather(call, recs, n);
    // The records whose last byte is on the wire.
    uint64_t end = 0;
    for (whole = 0; whole < n; ++whole) {
        if (call.convert)
            end += prepared[static_cast<size_t>(whole)].event_length;
        else
            for (int k = 0; k < recs[whole].frsin; ++k) end += recs[whole].vec[k].iov_len;
        if (end > call.sent_total) break;
    }
    return status != 0 ? status : verdict(call);
}

// ---------------------------------------------------------------------------
// SendRequest

// The policy of a request block: a 100 ms wait before every write, each
// wait's result printed, a first budget of its own.
struct RequestWrite {
    Connection& c;
    int rtr = kRequestFirstBudget;

    bool budget_left() const { return rtr > 0; }
    // Part of the block is still unsent: that is a failure, not a success.
    int out_of_budget() const { return ERR_RETRIES; }
    int before_write() {
        const Readiness r = c.wait_100ms(Direction::Write, &rtr);
        // The count select() would have returned: Other woke without our
        // socket but still counted a descriptor.
        const int ret = r == Readiness::Failed ? -1 : r == Readiness::TimedOut ? 0 : 1;
        log_outf(text::kRequestWaitResult, ret);
        if (r == Readiness::Failed) {
            const int err = errno;
            log_out(text::kError);
            log_system_error(text::kRequestWaitFailed, err);
            return err != EAGAIN ? ERR_SEND : kWriteAgain;
        }
        if (r == Readiness::Other) log_out(text::kRequestNotOurSocket);
        return r == Readiness::Ready ? kWriteNow : kWriteAgain;
    }
    WriteMode mode() const { return WriteMode::Now; }
    int on_error(int err) {
        log_system_error(text::kRequestSendFailed, err);
        return err == EAGAIN ? kWriteAgain : ERR_SEND;
    }
    int on_written(size_t n, bool, int) {
        if (n > 0) rtr = c.retrs;
        return kWriteNow;
    }
};

}  // namespace

int send_event(Connection& c, iovec* vec, int frsin, int mode) {
    if (c.connected == 0) {
        log_err(text::kSendNotConnected);
        return ERR_NOT_CONNECTED;
    }
    const bool ack = mode != 0;
    Call call(c, c.get_swap());
    Prepared p;
    int status = prepare(vec, frsin, call.convert, p);
    if (status != 0) return status;
    call.event_length = p.event_length;
    if (ack) return send_event_body(call, p, vec, frsin, true);

    c.take_unasked_answers(++c.owed.sends % kAnswerProbeEvery == 0);
    // A receiver given a ring buffer answers once it has the header, perhaps
    // while the body is still on its way.
    const bool answered = answered_by_ring_receivers(*p.kind);
    if (answered) ++c.owed.unasked;
    status = send_event_body(call, p, vec, frsin, false);
    if (answered && call.sent_total < p.kind->first_piece) --c.owed.unasked;
    return status;
}

int send_event_batch(Connection& c, const TarvexRecord* recs, int n, int* sent) {
    if (sent != nullptr) *sent = 0;
    if (n == 0) return 0;
    if (n < 0 || recs == nullptr) {
        log_err(text::kBatchNoRecords);
        return ERR_BAD_VALUE;
    }
    if (c.connected == 0) {
        log_err(text::kSendNotConnected);
        return ERR_NOT_CONNECTED;
    }
    const unsigned long long before = c.owed.unasked;
    int whole = 0;
    const int status = send_batch_records(c, recs, n, whole);
    if (sent != nullptr) *sent = whole;
    // What is owed in the end: the answers of the records that went out whole.
    c.owed.unasked = before + answered_records(recs, whole);
    return status;
}

int send_request(Connection& c, char* buf, int sz) {
    if (c.connected == 0) {
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
    RequestWrite policy{c};
    size_t written = 0;
    return write_block(c.transport(), buf, static_cast<size_t>(sz), written, policy);
}

}  // namespace detail
}  // namespace tarvex
