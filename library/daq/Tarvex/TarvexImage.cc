// Receiving images and spectra into caller buffers.  Both records are an
// intro found by an unbounded pattern scan, followed by an opaque body; the
// two receivers differ only in the intro's size and conversion and in the
// wording of their messages, so one procedure serves both.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "Tarvex.h"
#include "detail/Kinds.h"
#include "detail/Log.h"
#include "detail/Receiver.h"
#include "event_util.h"

namespace tarvex {
namespace detail {

namespace {

// The kind of one intro record and the messages of its receiver.
struct IntroKind {
    const kinds::KindRow& row;  // size, conversion and counting of the intro record
    const char* operation;      // for the refusal of a bad switch
    const char* bad_swap;
    const char* scan_read_failed;
    const char* scan_empty;
    const char* header_empty;
    const char* body_empty;
    const char* size_mismatch;  // a format: the bytes received plus the intro, and the length
    const char* alloc_failed;   // a format: the body length
    const char* too_long;       // a format: the length, and the limit
    const char* timed_out;      // a format: the limit in milliseconds
};

constexpr int kEmptyLimit = 1000;  // consecutive empty reads that end the scan or the intro

const IntroKind kImage{
    kinds::row(kinds::Kind::Image), "ReceiveImage",          text::kImageBadSwap,   text::kImageScanReadFailed,
    text::kImageScanEmpty,          text::kImageHeaderEmpty, text::kImageBodyEmpty, text::kImageSizeMismatch,
    text::kImageAllocFailed,        text::kImageTooLong,     text::kImageTimedOut,
};

const IntroKind kSpect{
    kinds::row(kinds::Kind::Spectrum),
    "ReceiveSpect",
    text::kSpectBadSwap,
    text::kSpectScanReadFailed,
    text::kSpectScanEmpty,
    text::kSpectHeaderEmpty,
    text::kSpectBodyEmpty,
    text::kSpectSizeMismatch,
    text::kSpectAllocFailed,
    text::kSpectTooLong,
    text::kSpectTimedOut,
};

// The wait before every read: budget `retrs`, no time limit; with a
// deadline, the wait ends there (ERR_TIMEOUT).
int wait_readable(Connection& c, const Deadline& d = Deadline()) {
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
    return r < 0 ? ERR_READ : r;
}

// Scans until the last four bytes form an intro pattern; there is no limit
// on the bytes passed over.  A byte is waited for only when none is
// buffered; reads at the end of the stream count as empty, and a run of
// them ends the scan.
int scan_intro_pattern(Connection& c, const IntroKind& k) {
    const bool swap = c.get_swap();
    auto match = [swap](uint32_t value) {
        if (swap) kbr7_swap4(&value, &value, 1);
        return kinds::starts_intro(value);
    };
    int empty = 0;
    auto next = [&c, &k, &empty]() -> Next {
        if (empty >= kEmptyLimit) {
            log_system_error(k.scan_empty);
            return {Next::Stop, 0, ERR_READ};
        }
        unsigned char byte;
        ssize_t n = c.stream.read_nowait(&byte, 1);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Nothing there yet: only now is it worth a wait.
            const int w = wait_readable(c);
            if (w != 0) return {Next::Stop, 0, w};
            n = c.stream.read_nowait(&byte, 1);
        }
        if (n < 0) {
            log_system_error(k.scan_read_failed);
            return {Next::Stop, 0, ERR_READ};
        }
        if (n == 0) {
            ++empty;
            return {Next::Skip, 0, 0};
        }
        empty = 0;
        return {Next::Byte, byte, 0};
    };
    unsigned long long skipped = 0;  // the intro scan keeps no count
    return c.scanner.scan(c.stream, match, next, ~0ul - 1, ERR_TIMEOUT, skipped);
}

int receive_intro(Connection& c, const Switches& s, const IntroKind& k, void* intro) {
    if (!c.connected) {
        log_err(text::kIntroNotConnected);
        return ERR_NOT_CONNECTED;
    }
    if (intro == nullptr) return ERR_BAD_VALUE;
    // Without a data socket nothing can ever arrive: fail instead of waiting.
    if (c.fd() < 0) return ERR_READ;
    if (int bad = c.take_receive_limits(s, k.operation)) return bad;

    c.mid_record = false;
    int st = scan_intro_pattern(c, k);
    if (st != 0) return st;
    const Deadline deadline = c.record_deadline();

    // The pattern is not kept: the intro's first word stays 0.
    char* p = static_cast<char*>(intro);
    std::memset(p, 0, k.row.header);
    size_t have = sizeof(uint32_t);
    const ReadResult rr = c.stream.read_missing(p, k.row.header, have, kEmptyLimit,
                                                [&c, &deadline] { return wait_readable(c, deadline); });
    switch (rr.outcome) {
        case ReadResult::Complete: break;
        case ReadResult::WaitStopped:
            if (rr.status == ERR_TIMEOUT) log_errf(k.timed_out, c.limits.record_timeout.ms);
            return rr.status;
        case ReadResult::TooManyEmpty: log_system_error(k.header_empty); return ERR_READ;
        case ReadResult::ReadFailed: return ERR_READ;
    }

    if (c.get_swap() && k.row.convert_header(intro) != 0) {
        log_out(k.bad_swap);
        return ERR_SWAP;
    }
    c.mid_record = true;  // the body is next in the stream
    return 0;
}

int receive_intro_body(Connection& c, RecordStore& store, const Switches& s, const IntroKind& k, void* intro,
                       char** buf, int sz) {
    // Whatever this call leaves of the body in the stream is skipped by the
    // next scan.
    c.mid_record = false;
    if (intro == nullptr || buf == nullptr) return ERR_BAD_VALUE;
    if (c.fd() < 0) return ERR_READ;
    if (int bad = c.take_receive_limits(s, k.operation)) return bad;

    // Image and spectrum intros both start with {pattern, length}.
    uint32_t length;
    std::memcpy(&length, static_cast<const char*>(intro) + sizeof(uint32_t), sizeof length);
    // A length below the intro size would make the body length negative:
    // refused before anything is allocated or read.  The body length is kept
    // in 64 bits, so a length beyond what `sz` can express is simply too long.
    if (length < k.row.header) return ERR_BAD_VALUE;
    // Longer than the site takes: refused the same way; the body stays in
    // the stream and the next header call scans through it.
    if (c.limits.max_record.set && length > c.limits.max_record.bytes) {
        log_errf(k.too_long, length, c.limits.max_record.bytes);
        return ERR_BAD_VALUE;
    }
    const int64_t body = static_cast<int64_t>(length) - static_cast<int64_t>(k.row.header);
    if (body > sz) return ERR_NO_SPACE;

    if (k.row.counted && store.owncntr) ++store.eventn;
    if (*buf == nullptr) {
        // A hostile length must not end the program: no memory for the body
        // is a status.
        *buf = new (std::nothrow) char[static_cast<size_t>(body)];
        if (*buf == nullptr) {
            log_errf(k.alloc_failed, static_cast<long long>(body));
            return ERR_ALLOC;
        }
    }

    const tarvex::detail::Deadline deadline = c.record_deadline();
    size_t have = 0;
    ReadResult rr = c.stream.read_missing(*buf, static_cast<size_t>(body), have, k.row.body_empty_limit,
                                          [&c, &deadline] { return wait_readable(c, deadline); });
    if (rr.outcome == ReadResult::WaitStopped && rr.status == ERR_TIMEOUT) {
        log_errf(k.timed_out, c.limits.record_timeout.ms);
        return ERR_TIMEOUT;
    }
    if (rr.outcome == ReadResult::TooManyEmpty) log_system_error(k.body_empty);
    if (rr.outcome != ReadResult::Complete) return ERR_READ;

    if (have + k.row.header != length) {
        log_errf(k.size_mismatch, have + k.row.header, length);
        return ERR_SIZE_MISMATCH;
    }
    return 0;
}

}  // namespace

int receive_image_header(Connection& c, const Switches& s, kbr7_image_ext_intro* intro) {
    return receive_intro(c, s, kImage, intro);
}

int receive_image_data(Connection& c, RecordStore& store, const Switches& s, kbr7_image_ext_intro* intro, char** buf,
                       int sz) {
    return receive_intro_body(c, store, s, kImage, intro, buf, sz);
}

int receive_spect_header(Connection& c, const Switches& s, kbr7_spect_intro* intro) {
    return receive_intro(c, s, kSpect, intro);
}

int receive_spect_data(Connection& c, RecordStore& store, const Switches& s, kbr7_spect_intro* intro, char** buf,
                       int sz) {
    return receive_intro_body(c, store, s, kSpect, intro, buf, sz);
}

}  // namespace detail
}  // namespace tarvex
