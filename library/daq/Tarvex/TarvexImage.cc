// Receiving images and spectra into caller buffers.  Both records are an
// intro found by an unbounded pattern scan, followed by an opaque body; the
// two receivers differ only in the intro's size and conversion and in the
// wording of their messages, so one procedure serves both.
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
using tarvex::detail::log_system_error;
using tarvex::detail::ReadResult;
namespace text = tarvex::detail::text;

struct TarvexReceiver::IntroKind {
    const tarvex::kinds::KindRow& row;  // size, conversion and counting of the intro record
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

namespace {

constexpr int kEmptyLimit = 1000;  // consecutive empty reads that end the scan or the intro

const TarvexReceiver::IntroKind kImage{
    tarvex::kinds::row(tarvex::kinds::Kind::Image),
    text::kImageBadSwap,
    text::kImageScanReadFailed,
    text::kImageScanEmpty,
    text::kImageHeaderEmpty,
    text::kImageBodyEmpty,
    text::kImageSizeMismatch,
    text::kImageAllocFailed,
    text::kImageTooLong,
    text::kImageTimedOut,
};

const TarvexReceiver::IntroKind kSpect{
    tarvex::kinds::row(tarvex::kinds::Kind::Spectrum),
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

}  // namespace

// Reads one byte at a time, each after a readiness wait, until the last four
// bytes form a pattern; there is no limit on the bytes passed over.
int TarvexReceiver::scan_intro_pattern(Link& t, const IntroKind& k) {
    unsigned char window[4] = {0, 0, 0, 0};  // in arrival order
    int empty = 0;
    for (;;) {
        uint32_t value;
        std::memcpy(&value, window, sizeof value);
        if (t.get_swap()) kbr7_swap4(&value, &value, 1);
        if (tarvex::kinds::starts_intro(value)) return 0;
        if (empty >= kEmptyLimit) {
            log_system_error(k.scan_empty);
            return ERR_READ;
        }
        unsigned char c;
        ssize_t n = t.stream.read_nowait(t.sockin, &c, 1);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Nothing there yet: only now is it worth a wait.
            const int w = wait_readable(t);
            if (w != 0) return w;
            n = t.stream.read_nowait(t.sockin, &c, 1);
        }
        if (n < 0) {
            log_system_error(k.scan_read_failed);
            return ERR_READ;
        }
        if (n == 0) {
            ++empty;
            continue;
        }
        empty = 0;
        std::memmove(window, window + 1, 3);
        window[3] = c;
    }
}

int TarvexReceiver::receive_intro(Link& t, const IntroKind& k, void* intro) {
    if (!t.connected) {
        log_err(text::kIntroNotConnected);
        return ERR_NOT_CONNECTED;
    }
    if (intro == nullptr) return ERR_BAD_VALUE;
    // Without a data socket nothing can ever arrive: fail instead of waiting.
    if (t.sockin < 0) return ERR_READ;
    if (int bad = t.take_receive_limits(k.row.kind == tarvex::kinds::Kind::Image ? "ReceiveImage" : "ReceiveSpect"))
        return bad;

    t.mid_record = false;
    int st = scan_intro_pattern(t, k);
    if (st != 0) return st;
    const tarvex::detail::Deadline deadline = t.record_deadline();

    // The pattern is not kept: the intro's first word stays 0.
    char* p = static_cast<char*>(intro);
    std::memset(p, 0, k.row.header);
    size_t have = sizeof(uint32_t);
    ReadResult rr = t.stream.read_missing(t.sockin, p, k.row.header, have, kEmptyLimit,
                                          [&t, &deadline] { return wait_readable(t, deadline); });
    switch (rr.outcome) {
        case ReadResult::Complete: break;
        case ReadResult::WaitStopped:
            if (rr.status == ERR_TIMEOUT) log_errf(k.timed_out, t.limits.record_timeout.ms);
            return rr.status;
        case ReadResult::TooManyEmpty: log_system_error(k.header_empty); return ERR_READ;
        case ReadResult::ReadFailed: return ERR_READ;
    }

    if (t.get_swap() && k.row.convert_header(intro) != 0) {
        log_out(k.bad_swap);
        return ERR_SWAP;
    }
    t.mid_record = true;  // the body is next in the stream
    return 0;
}

int TarvexReceiver::receive_intro_body(Link& t, const IntroKind& k, void* intro, char** buf, int sz) {
    // Whatever this call leaves of the body in the stream is skipped by the
    // next scan.
    t.mid_record = false;
    if (intro == nullptr || buf == nullptr) return ERR_BAD_VALUE;
    if (t.sockin < 0) return ERR_READ;
    if (int bad = t.take_receive_limits(k.row.kind == tarvex::kinds::Kind::Image ? "ReceiveImage" : "ReceiveSpect"))
        return bad;

    // Image and spectrum intros both start with {pattern, length}.
    uint32_t length;
    std::memcpy(&length, static_cast<const char*>(intro) + sizeof(uint32_t), sizeof length);
    // A length below the intro size would make the body length negative:
    // refused before anything is allocated or read.  The body length is kept
    // in 64 bits, so a length beyond what `sz` can express is simply too long.
    if (length < k.row.header) return ERR_BAD_VALUE;
    // Longer than the site takes: refused the same way; the body stays in
    // the stream and the next header call scans through it.
    if (t.limits.max_record.set && length > t.limits.max_record.bytes) {
        log_errf(k.too_long, length, t.limits.max_record.bytes);
        return ERR_BAD_VALUE;
    }
    const int64_t body = static_cast<int64_t>(length) - static_cast<int64_t>(k.row.header);
    if (body > sz) return ERR_NO_SPACE;

    if (k.row.counted && t.owncntr) ++t.eventn;
    if (*buf == nullptr) {
        // A hostile length must not end the program: no memory for the body
        // is a status.
        *buf = new (std::nothrow) char[static_cast<size_t>(body)];
        if (*buf == nullptr) {
            log_errf(k.alloc_failed, static_cast<long long>(body));
            return ERR_ALLOC;
        }
    }

    const tarvex::detail::Deadline deadline = t.record_deadline();
    size_t have = 0;
    ReadResult rr = t.stream.read_missing(t.sockin, *buf, static_cast<size_t>(body), have, k.row.body_empty_limit,
                                          [&t, &deadline] { return wait_readable(t, deadline); });
    if (rr.outcome == ReadResult::WaitStopped && rr.status == ERR_TIMEOUT) {
        log_errf(k.timed_out, t.limits.record_timeout.ms);
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

int Link::ReceiveImageHeader(kbr7_image_ext_intro* im_fr_hd) {
    return TarvexReceiver::receive_intro(*this, kImage, im_fr_hd);
}

int Link::ReceiveImageData(kbr7_image_ext_intro* im_fr_hd, char** buf, int sz) {
    return TarvexReceiver::receive_intro_body(*this, kImage, im_fr_hd, buf, sz);
}

int Link::ReceiveImage(kbr7_image_ext_intro* im_fr_hd, char** buf, int sz) {
    int st = ReceiveImageHeader(im_fr_hd);
    return st != 0 ? st : ReceiveImageData(im_fr_hd, buf, sz);
}

int Link::ReceiveSpectHeader(kbr7_spect_intro* im_fr_hd) {
    return TarvexReceiver::receive_intro(*this, kSpect, im_fr_hd);
}

int Link::ReceiveSpectData(kbr7_spect_intro* im_fr_hd, char** buf, int sz) {
    return TarvexReceiver::receive_intro_body(*this, kSpect, im_fr_hd, buf, sz);
}

int Link::ReceiveSpect(kbr7_spect_intro* im_fr_hd, char** buf, int sz) {
    int st = ReceiveSpectHeader(im_fr_hd);
    return st != 0 ? st : ReceiveSpectData(im_fr_hd, buf, sz);
}
