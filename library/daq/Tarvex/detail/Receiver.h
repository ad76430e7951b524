// Inner steps of the link's receivers: events and slow data (TarvexReceive.cc)
// and the image/spectrum twin (TarvexImage.cc).  One definition of the friend
// struct for both files, so that each can reach the link's fields.  Not
// installed.
#ifndef TARVEX_DETAIL_RECEIVER_H
#define TARVEX_DETAIL_RECEIVER_H

#include <cstddef>

#include "Tarvex.h"
#include "detail/Link.h"
#include "detail/RecordKinds.h"

struct TarvexReceiver {
    using Link = tarvex::detail::Link;
    // --- shared by every receiver ---

    // The wait before every header and body read: budget `retrs`, no time
    // limit.  Returns 0 (read now) or the wait's status.
    // With a deadline, the wait ends there: ERR_TIMEOUT.
    static int wait_readable(Link& t, const tarvex::detail::Deadline& d = tarvex::detail::Deadline());

    // --- events and slow data (TarvexReceive.cc) ---

    using KindRow = tarvex::kinds::KindRow;
    struct Window;  // the last four bytes taken from the stream
    struct Found;   // the pattern the scan stopped at, and its kind
    struct Header;  // the header being read, and its copy as received

    static int receive_event(Link& t, RNG_RingBuffer* rb, int trs, int sec, int usec);
    static int first_four(Link& t, Window& w, int trs, int sec, int usec);
    static int scan(Link& t, Window& w, Found& found);
    static int keep_window(Link& t, const Window& w, int status);
    static int read_header(Link& t, const Found& f, Header& h, const tarvex::detail::Deadline& d);
    static int settle_byte_order(Link& t, const Found& f, Header& h);
    static int acknowledge(Link& t, const KindRow& k, const Header& h, RNG_RingBuffer& rb, bool& fits);
    static int store_record(Link& t, const KindRow& k, const Header& h);
    struct Pieces;  // the stored record's conversion, made as its body arrives
    static int read_body(Link& t, const KindRow& k, const tarvex::detail::Deadline& d, Pieces& pieces);
    // The kind whose conversion the stored record needs, or null; and the
    // report of a conversion that failed (ERR_SWAP).
    static const KindRow* converted_kind(const Link& t);
    static int swap_failed(const KindRow& k);
    static void release_record(Link& t);

    // --- images and spectra (TarvexImage.cc) ---

    struct IntroKind;  // the kind of one intro record and the messages of its receiver

    static int receive_intro(Link& t, const IntroKind& k, void* intro);
    static int receive_intro_body(Link& t, const IntroKind& k, void* intro, char** buf, int sz);
    static int scan_intro_pattern(Link& t, const IntroKind& k);
};

#endif
