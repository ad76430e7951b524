// Sending: one record from a caller's gather list (SendEvent) and a raw
// request block (SendRequest).
//
// SendEvent tells the record kind by the size of entry 0, takes the record
// length from the header, selects the data-format generation from the
// pattern and, when the link converts, sends a converted copy.  Without
// conversion the record goes out of the caller's own fragments (no copy);
// with conversion it goes out of one whole-record buffer converted in place.
// Every wait is at most 100 ms and counts against a budget that starts at
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
#include "event_util.h"

namespace {

using tarvex::detail::error_line;
using tarvex::detail::out_line;
using tarvex::detail::Readiness;

constexpr int kIovMax = 1024;            // most entries handed to one writev (DEF_IOV_MAX)
constexpr int kAnswerEmptyLimit = 1000;  // empty reads tolerated while waiting for the answer
constexpr int kRequestFirstBudget = 10;  // SendRequest's budget before its first byte

// perror for an error number saved earlier: printing in between may have
// changed errno.
void report_errno(const char* msg, int err) {
    errno = err;
    tarvex::detail::report_system_error(msg);
}

bool is_pattern(uint32_t word, uint32_t pattern, uint32_t swapped) { return word == pattern || word == swapped; }

// What the sender needs to know about each record kind: its code `what`, its
// length field, the generation its pattern selects, and its conversions.
template <class Head>
struct RecordKind;

template <>
struct RecordKind<kbr7_image_head> {
    static constexpr int what = 1;
    static uint32_t length(const kbr7_image_head& h) { return h.length; }
    // Images keep the generation of the record before them.
    static void select_format(const kbr7_image_head&) {}
    static int convert_head(const kbr7_image_head& h, kbr7_image_head* out) { return kbr7_convert_image_head(&h, out); }
    static void head_failed(int) { out_line("Failed to convert image header"); }
    static int convert_record(char* rec, const kbr7_image_head&) {
        auto* head = reinterpret_cast<kbr7_image_head*>(rec);
        const int hdsz = sizeof(kbr7_image_head);
        return kbr7_convert_image_head(head, head) + kbr7_convert_data(rec + hdsz, rec + hdsz, KBR7_BLOCK_IMAGE, hdsz);
    }
};

template <>
struct RecordKind<kbr7_image_ext_frame_head> {
    static constexpr int what = 2;
    static uint32_t length(const kbr7_image_ext_frame_head& h) { return static_cast<uint32_t>(h.length); }
    static void select_format(const kbr7_image_ext_frame_head&) {}
    static int convert_head(const kbr7_image_ext_frame_head& h, kbr7_image_ext_frame_head* out) {
        return kbr7_convert_image_ext_head(&h, out);
    }
    static void head_failed(int) { out_line("Failed to convert image ext header"); }
    static int convert_record(char* rec, const kbr7_image_ext_frame_head&) {
        auto* head = reinterpret_cast<kbr7_image_ext_frame_head*>(rec);
        const int hdsz = sizeof(kbr7_image_ext_frame_head);
        return kbr7_convert_image_ext_head(head, head) +
               kbr7_convert_data(rec + hdsz, rec + hdsz, KBR7_BLOCK_IMAGE_EXT, hdsz);
    }
};

// Event headers of both layouts report a failed header conversion alike.
void event_head_failed(int err) { std::printf("Failed to convert event header error: %d\n", err); }

template <>
struct RecordKind<kbr7_eventheader> {
    static constexpr int what = 0;
    static uint32_t length(const kbr7_eventheader& h) { return h.event_length; }
    static void select_format(const kbr7_eventheader& h) {
        if (is_pattern(h.pattern, KBR7_PATTERN_2010, KBR7_PATTERN_2010_SWAPPED))
            set_data_format_2010(1);
        else if (is_pattern(h.pattern, KBR7_PATTERN_2024, KBR7_PATTERN_2024_SWAPPED))
            set_data_format_2024(1);
        else
            set_data_format_2010(0);
    }
    static int convert_head(const kbr7_eventheader& h, kbr7_eventheader* out) {
        return kbr7_convert_event_head(&h, out);
    }
    static void head_failed(int err) { event_head_failed(err); }
    static int convert_record(char* rec, const kbr7_eventheader&) { return kbr7_convert_event_hton(rec, rec, -1); }
};

template <>
struct RecordKind<kbr7_eventheader_2024> {
    static constexpr int what = 6;
    // Lengths are 32-bit on the send side: the upper half is ignored.
    static uint32_t length(const kbr7_eventheader_2024& h) { return static_cast<uint32_t>(h.event_length); }
    static void select_format(const kbr7_eventheader_2024& h) {
        if (is_pattern(h.pattern, KBR7_PATTERN_2024, KBR7_PATTERN_2024_SWAPPED))
            set_data_format_2024(1);
        else
            set_data_format_2010(0);
    }
    static int convert_head(const kbr7_eventheader_2024& h, kbr7_eventheader_2024* out) {
        return kbr7_convert_event_head(&h, out);
    }
    static void head_failed(int err) { event_head_failed(err); }
    static int convert_record(char* rec, const kbr7_eventheader_2024&) { return kbr7_convert_event_hton(rec, rec, -1); }
};

template <>
struct RecordKind<kbr7_daq_slow_data_header> {
    static constexpr int what = 5;
    static uint32_t length(const kbr7_daq_slow_data_header& h) { return h.data_length; }
    static void select_format(const kbr7_daq_slow_data_header& h) {
        if (is_pattern(h.pattern, KBR7_PATTERN_SLOW_2024, KBR7_PATTERN_SLOW_2024_SWAPPED))
            set_data_format_2024(1);
        else
            set_data_format_2010(0);
    }
    static int convert_head(const kbr7_daq_slow_data_header& h, kbr7_daq_slow_data_header* out) {
        return kbr7_convert_slow_data_head(&h, out);
    }
    static void head_failed(int) { out_line("Failed to convert slow data header"); }
    // The body converter finds its extent in the header in front of it, which
    // must still be in host order: body first, header after.
    static int convert_record(char* rec, const kbr7_daq_slow_data_header& h) {
        auto* head = reinterpret_cast<kbr7_daq_slow_data_header*>(rec);
        char* body = rec + sizeof(kbr7_daq_slow_data_header);
        return kbr7_convert_slow_data_block_hton(body, body, h.channels_number, h.pattern) +
               kbr7_convert_slow_data_head(head, head);
    }
};

}  // namespace

struct TarvexSender {
    // State of one SendEvent call.
    struct Call {
        Tarvex& link;
        iovec* vec;
        int frsin;
        bool ack;
        bool convert;  // decided once: get_swap() cannot change during the call
        int hdsz = 0;
        int what = 0;
        uint32_t event_length = 0;
        uint32_t sent_total = 0;
        int rtr = 0;
    };

    // Outcome of one attempt of a body loop.
    struct Attempt {
        enum Kind { Wrote, Again, Stop } kind;
        size_t n;    // bytes written, for Wrote
        int status;  // the call's status, for Stop
    };

    template <class Head>
    static int send_record(Call& c);
    template <class Head>
    static int build_record(Call& c, const Head& copy, std::unique_ptr<char[]>& event_buf);
    static int append_body(const Call& c, char* event_buf);

    static int exchange_header(Call& c, const char* hd);
    static int send_header(Call& c, const char* hd);
    static int await_answer(Call& c);

    static int send_gather(Call& c, iovec* vector, int frs);
    static int send_buffer(Call& c, const char* event_buf);
    template <class Op, class WaitedReport, class DirectReport>
    static Attempt body_attempt(Call& c, Op&& op, WaitedReport&& waited_report, DirectReport&& direct_report);
    static Attempt body_failure(Tarvex& t, int err);
    static int verdict(const Call& c);
    static int retries_exceeded(const Call& c);

    static int send_request(Tarvex& t, const char* buf, int sz);
};

// ---------------------------------------------------------------------------
// SendEvent

int Tarvex::SendEvent(iovec* vec, int frsin, int mode) {
    if (connected == 0) {
        error_line("SendEvent(): Unable to send event.  Not Connected.");
        return ERR_NOT_CONNECTED;
    }
    // Without a header there is nothing to classify; a null header would be
    // read from address 0.  Refused before anything is read or sent.
    if (frsin < 1 || vec == nullptr || vec[0].iov_base == nullptr) {
        error_line("SendEvent(): Empty gather list or no header.  No action taken.");
        return ERR_BAD_VALUE;
    }
    TarvexSender::Call c{*this, vec, frsin, mode != 0, get_swap()};
    // The kind is told by the size alone; the header buffer is allocated only
    // once the size is known to be one of ours.
    switch (vec[0].iov_len) {
        case sizeof(kbr7_image_head): return TarvexSender::send_record<kbr7_image_head>(c);
        case sizeof(kbr7_daq_slow_data_header): return TarvexSender::send_record<kbr7_daq_slow_data_header>(c);
        case sizeof(kbr7_eventheader): return TarvexSender::send_record<kbr7_eventheader>(c);
        case sizeof(kbr7_eventheader_2024): return TarvexSender::send_record<kbr7_eventheader_2024>(c);
        case sizeof(kbr7_image_ext_frame_head): return TarvexSender::send_record<kbr7_image_ext_frame_head>(c);
        default:
            std::printf("hdsz: %d (%d) (%d)\n", static_cast<int>(vec[0].iov_len),
                        static_cast<int>(sizeof(kbr7_eventheader)), static_cast<int>(sizeof(kbr7_eventheader)));
            out_line("SendEvent() unknown event header format");
            return ERR_PROTOCOL;
    }
}

template <class Head>
int TarvexSender::send_record(Call& c) {
    using Kind = RecordKind<Head>;
    c.hdsz = sizeof(Head);
    c.what = Kind::what;

    std::unique_ptr<Head> hdbuf;
    if (c.convert) {
        hdbuf.reset(new (std::nothrow) Head);
        if (!hdbuf) {
            out_line("Failed to allocate header");
            return ERR_ALLOC;
        }
    }
    Head copy;
    std::memcpy(&copy, c.vec[0].iov_base, sizeof copy);
    c.event_length = Kind::length(copy);
    Kind::select_format(copy);
    if (c.convert) {
        int err = Kind::convert_head(copy, hdbuf.get());
        if (err != 0) {
            Kind::head_failed(err);
            return ERR_SWAP;
        }
    }

    iovec* vector = c.vec;
    int frs = c.frsin;
    c.sent_total = 0;
    if (c.ack) {
        const void* hd = c.convert ? static_cast<const void*>(hdbuf.get()) : static_cast<const void*>(&copy);
        int status = exchange_header(c, static_cast<const char*>(hd));
        if (status != 0) return status;
        vector = c.vec + 1;
        frs = c.frsin - 1;
        c.sent_total = c.hdsz;
    }

    int status;
    if (c.convert) {
        std::unique_ptr<char[]> event_buf;
        status = build_record(c, copy, event_buf);
        if (status == 0) status = send_buffer(c, event_buf.get());
    } else {
        status = send_gather(c, vector, frs);
    }
    return status != 0 ? status : verdict(c);
}

// The whole record in one buffer, converted in place.  The header comes from
// the unconverted copy, the body from entries 1 onward in either mode.
template <class Head>
int TarvexSender::build_record(Call& c, const Head& copy, std::unique_ptr<char[]>& event_buf) {
    // A length below the header size (0 included) would not even hold the
    // header: refused before anything is copied.
    if (c.event_length < static_cast<uint32_t>(c.hdsz)) {
        std::printf("Something wrong (event_length:%d)\n", static_cast<int>(c.event_length));
        return ERR_BAD_VALUE;
    }
    event_buf.reset(new (std::nothrow) char[c.event_length]);
    if (!event_buf) {
        out_line("Failed to alloc event_buffer");
        return ERR_ALLOC;
    }
    std::memcpy(event_buf.get(), &copy, c.hdsz);
    int status = append_body(c, event_buf.get());
    if (status != 0) return status;

    int converr = RecordKind<Head>::convert_record(event_buf.get(), copy);
    if (converr != 0) {
        std::printf("Failed to convert event buffer error: %d  what: %d\n", converr, c.what);
        std::printf("Here we are BAD swap err: %d\n", converr);
        return ERR_SWAP;
    }
    return 0;
}

int TarvexSender::append_body(const Call& c, char* event_buf) {
    uint32_t total_cp_left = c.event_length - c.hdsz;
    char* at = event_buf + c.hdsz;
    for (int i = 1; i < c.frsin; ++i) {
        const size_t clen = c.vec[i].iov_len;
        if (clen > total_cp_left) {
            std::printf("Incosistent event length i:%d total:%d clen:%d ev_len:%d\n", i, c.frsin,
                        static_cast<int>(total_cp_left - clen), static_cast<int>(c.event_length));
            return ERR_BAD_VALUE;
        }
        if (clen > 0) std::memcpy(at, c.vec[i].iov_base, clen);
        at += clen;
        total_cp_left -= static_cast<uint32_t>(clen);
    }
    // Bytes the entries do not fill go out as zeros: heap contents must never
    // reach the wire.
    std::memset(at, 0, total_cp_left);
    return 0;
}

// ---------------------------------------------------------------------------
// Acknowledged header exchange

int TarvexSender::exchange_header(Call& c, const char* hd) {
    int status = send_header(c, hd);
    return status != 0 ? status : await_answer(c);
}

// Always with the 100 ms wait, whatever no_delay says.
int TarvexSender::send_header(Call& c, const char* hd) {
    Tarvex& t = c.link;
    const size_t hdsz = static_cast<size_t>(c.hdsz);
    size_t hd_len = 0;
    c.rtr = t.retrs;
    while (hd_len != hdsz && c.rtr > 0) {
        switch (tarvex::detail::wait_100ms(t.sockin, true)) {
            case Readiness::Failed: {
                int err = errno;
                out_line("ERROR");
                report_errno("SendEvent(): select() failed for ACK", err);
                if (err == EPIPE) t.Disconnect();
                return ERR_READ;
            }
            case Readiness::TimedOut: --c.rtr; break;
            case Readiness::Other: out_line("SendEvent() select triggered but not our socket"); break;
            case Readiness::Ready: {
                ssize_t n = tarvex::detail::write_nowait(t.sockin, hd + hd_len, hdsz - hd_len);
                if (n < 0) {
                    int err = errno;
                    report_errno("Failed to send event header", err);
                    std::printf("ERRNO: %d\n", err);
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
                break;
            }
        }
    }
    // A peer holding part of a header has nothing to answer: waiting for its
    // answer could only end in the same failure later (or never, on a
    // blocking socket without waits), so the call ends here.
    return hd_len == hdsz ? 0 : ERR_RETRIES;
}

int TarvexSender::await_answer(Call& c) {
    using tarvex::detail::ReadResult;
    Tarvex& t = c.link;
    c.rtr = t.retrs;
    int32_t ack = 0;
    size_t have = 0;
    // Without waits the answer is read at once and the budget is not used.
    // On a non-blocking socket (an accepting end after SetDelay) that would
    // spend the 1000 empty reads in a millisecond and refuse almost every
    // acknowledged record, so there the answer is awaited as with waits.
    const bool read_at_once = !t.no_delay && !(::fcntl(t.sockin, F_GETFL) & O_NONBLOCK);
    auto wait = [&]() -> int {
        if (read_at_once) return tarvex::detail::kWaitReady;
        if (c.rtr <= 0) return ERR_RETRIES;
        switch (tarvex::detail::wait_100ms(t.sockin, false)) {
            case Readiness::Failed:
                if (errno == EPIPE) t.Disconnect();
                return ERR_READ;
            case Readiness::TimedOut: --c.rtr; return tarvex::detail::kWaitIdle;
            case Readiness::Other:
                out_line("SendEvent() select triggered but not our socket");
                return tarvex::detail::kWaitIdle;
            case Readiness::Ready: break;
        }
        return tarvex::detail::kWaitReady;
    };
    auto progress = [&] { c.rtr = t.retrs; };
    ReadResult r = tarvex::detail::read_missing(t.sockin, reinterpret_cast<char*>(&ack), sizeof ack, have,
                                                kAnswerEmptyLimit, wait, progress);
    switch (r.outcome) {
        case ReadResult::Complete: break;
        case ReadResult::WaitStopped: return r.status;
        case ReadResult::TooManyEmpty: return ERR_RETRIES;
        case ReadResult::ReadFailed:
            if (r.err == EPIPE) t.Disconnect();
            return ERR_SEND;
    }
    if (c.convert) kbr7_swap4(&ack, &ack, 1);
    return ack != 0 ? ERR_NO_SPACE : 0;
}

// ---------------------------------------------------------------------------
// Body transmission

// One attempt of a body loop: with no_delay, a 100 ms wait first; without,
// the call at once.
template <class Op, class WaitedReport, class DirectReport>
TarvexSender::Attempt TarvexSender::body_attempt(Call& c, Op&& op, WaitedReport&& waited_report,
                                                 DirectReport&& direct_report) {
    Tarvex& t = c.link;
    if (t.no_delay) {
        Readiness r = tarvex::detail::wait_100ms(t.sockin, true);
        if (r == Readiness::Failed) return body_failure(t, errno);
        if (r == Readiness::TimedOut) {
            --c.rtr;
            return {Attempt::Again, 0, 0};
        }
        c.rtr = t.retrs;  // any wake-up counts as readiness here
        ssize_t n = op();
        if (n < 0) {
            int err = errno;
            waited_report(err);
            return body_failure(t, err);
        }
        return {Attempt::Wrote, static_cast<size_t>(n), 0};
    }
    ssize_t n = op();
    if (n >= 0) {
        if (n > 0) c.rtr = t.retrs;
        return {Attempt::Wrote, static_cast<size_t>(n), 0};
    }
    int err = errno;
    direct_report(err);
    if (err == EAGAIN) {
        // A socket left non-blocking would otherwise make a stalled peer spin
        // this loop for ever: each would-block costs one unit of the budget,
        // and a pause of up to 100 ms makes that unit worth a wait, so a
        // moving peer is not dropped on a momentarily full socket buffer.
        if (--c.rtr > 0) tarvex::detail::wait_100ms(t.sockin, true);
        return {Attempt::Again, 0, 0};
    }
    return body_failure(t, err);
}

TarvexSender::Attempt TarvexSender::body_failure(Tarvex& t, int err) {
    if (err == EAGAIN) return {Attempt::Again, 0, 0};
    if (err == EPIPE) t.Disconnect();
    return {Attempt::Stop, 0, ERR_SEND};
}

// Straight from the caller's fragments, at most kIovMax entries per writev.
// A short write advances the caller's entries in place.
int TarvexSender::send_gather(Call& c, iovec* vector, int frs) {
    Tarvex& t = c.link;
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
            return t.no_delay ? tarvex::detail::writev_nowait(t.sockin, vector + indx, fr_left)
                              : ::writev(t.sockin, vector + indx, fr_left);
        };
        auto waited_report = [](int) {};
        auto direct_report = [&](int err) {
            report_errno("SendEvent(): Writev(4) failed", err);
            std::printf("PARAMS: fr_left: %d  sockin: %d   vector+indx: %lx\n", fr_left, t.sockin,
                        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(vector)) + indx);
            std::fflush(nullptr);
        };
        while (c.rtr > 0) {
            Attempt a = body_attempt(c, op, waited_report, direct_report);
            if (a.kind == Attempt::Stop) return a.status;
            if (a.kind == Attempt::Again) continue;
            c.sent_total += static_cast<uint32_t>(a.n);
            if (a.n == step_length) break;
            int next = indx + tarvex::detail::advance_iovec(vector + indx, fr_left, a.n);
            fr_left -= next - indx;
            if (fr_left < 0)
                std::printf("NEGATIVE fr_left: %d step_frs: %d indx: %d s: %d  DEF_IOV_MAX: %d frs: %d\n", fr_left,
                            step_frs, next, s, kIovMax, frs);
            indx = next;
            step_length -= a.n;
        }
        // A step left with a hole must end the send: later steps would put
        // their bytes behind the hole and corrupt every record after it.
        if (c.rtr <= 0) return retries_exceeded(c);
    }
    return 0;
}

// The converted whole-record buffer, from byte sent_total to its end.
int TarvexSender::send_buffer(Call& c, const char* event_buf) {
    Tarvex& t = c.link;
    size_t sent = c.sent_total;
    c.rtr = t.retrs;
    auto op = [&] {
        const size_t left = c.event_length - sent;
        return t.no_delay ? tarvex::detail::write_nowait(t.sockin, event_buf + sent, left)
                          : ::write(t.sockin, event_buf + sent, left);
    };
    auto waited_report = [](int err) { report_errno("SendEvent(): Writev(1) failed", err); };
    auto direct_report = [](int err) { report_errno("SendEvent(): Writev(2) failed", err); };
    int status = 0;
    while (sent < c.event_length && c.rtr > 0) {
        Attempt a = body_attempt(c, op, waited_report, direct_report);
        if (a.kind == Attempt::Stop) {
            status = a.status;
            break;
        }
        if (a.kind == Attempt::Wrote) sent += a.n;
    }
    c.sent_total = static_cast<uint32_t>(sent);
    return status;
}

int TarvexSender::verdict(const Call& c) {
    if (c.sent_total == c.event_length) return 0;
    if (c.rtr <= 0) return retries_exceeded(c);
    std::printf("CHECK_FAIL: sent_total: %u!=event_length:%u\n", c.sent_total, c.event_length);
    return ERR_CHECK;
}

int TarvexSender::retries_exceeded(const Call& c) {
    std::printf("SendEvent():  Retries are exeeded:%d(%d)\n", c.rtr, c.link.retrs);
    return ERR_RETRIES;
}

// ---------------------------------------------------------------------------
// SendRequest

int Tarvex::SendRequest(char* buf, int sz) {
    if (connected == 0) {
        error_line("SendRequest(): Not connected.  No action taken.");
        return ERR_NOT_CONNECTED;
    }
    if (sz == 0) return 0;
    // A negative size would become a huge count and send whatever memory
    // follows the block; a null block has nothing to send.
    if (sz < 0 || buf == nullptr) {
        error_line("SendRequest(): Bad request block.  No action taken.");
        return ERR_BAD_VALUE;
    }
    return TarvexSender::send_request(*this, buf, sz);
}

int TarvexSender::send_request(Tarvex& t, const char* buf, int sz) {
    int hd_len = 0;
    int rtr = kRequestFirstBudget;
    for (;;) {
        Readiness r = tarvex::detail::wait_100ms(t.sockin, true);
        // The count select() would have returned: Other woke without our
        // socket but still counted a descriptor.
        const int ret = r == Readiness::Failed ? -1 : r == Readiness::TimedOut ? 0 : 1;
        std::printf("SendRequest() select() ret: %d\n", ret);
        if (r == Readiness::Failed) {
            int err = errno;
            out_line("ERROR");
            report_errno("SendRequest(): select() failed for ACK", err);
            if (err != EAGAIN) return ERR_SEND;
        } else if (r == Readiness::TimedOut) {
            --rtr;
        } else if (r == Readiness::Other) {
            out_line("SendRequest() select triggered but not our socket");
        } else {
            ssize_t n = tarvex::detail::write_nowait(t.sockin, buf + hd_len, static_cast<size_t>(sz - hd_len));
            if (n < 0) {
                int err = errno;
                report_errno("Failed to send request", err);
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
// SendEventBatch (first form: one SendEvent per record, on copies of the
// gather lists so that the caller's lists stay as they are)

int Tarvex::SendEventBatch(const TarvexRecord* recs, int n, int* sent) {
    if (sent != nullptr) *sent = 0;
    if (n == 0) return 0;
    if (n < 0 || recs == nullptr) return ERR_BAD_VALUE;
    for (int i = 0; i < n; ++i) {
        std::vector<iovec> copy(recs[i].vec, recs[i].vec + std::max(recs[i].frsin, 0));
        int st = SendEvent(copy.empty() ? nullptr : copy.data(), recs[i].frsin, SendEvent_NOACK);
        if (st != 0) return st;
        if (sent != nullptr) *sent = i + 1;
    }
    return 0;
}
