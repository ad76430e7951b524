// Deterministic records for the byte-order interop run.
//
// Both ends of an interop link build the same records from (kind, index,
// seed) as VALUES: every header field, every 32-bit word of an event or
// slow-data body, every frame-header field of an image, every pixel and
// spectrum byte.  Each end lays them out in its OWN host order, so a record
// that crossed the link intact compares byte for byte with the one the
// receiving end builds for itself:
//   * header fields are host-order integers (the 2024 event header's 64-bit
//     fields as 64-bit integers, its alignment word as a 32-bit one);
//   * event and slow-data bodies are host-order 32-bit words, followed by
//     0 to 3 tail bytes that are bytes, not parts of a word;
//   * image pixels and spectrum data are plain bytes, the same on both ends.
#ifndef TARVEX_INTEROP_RECORDS_H
#define TARVEX_INTEROP_RECORDS_H

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Bytes.h"
#include "detail/Kinds.h"

namespace interop {

using tt::Bytes;

// The link's own record kinds.
using Kind = tarvex::kinds::Kind;

// Every kind, in the order a plan moves them.  The 2010 event comes first: a
// receiver that has to switch conversion on by itself needs it first.
const std::vector<Kind>& all_kinds();
const char* kind_name(Kind k);
// Events and slow data: the kinds that ReceiveEvent takes and that may be
// acknowledged.
bool is_event_kind(Kind k);

// One record, host order.  `head` is the first gather piece (the 36-, 48- or
// 12-byte header, the 8-byte image intro) or, for a spectrum, the whole
// 56-byte intro; `frame` is the image's 100-byte frame header (empty for the
// other kinds); `payload` is the rest.
struct Record {
    Kind kind = Kind::Event2010;
    uint32_t index = 0;
    Bytes head;
    Bytes frame;
    Bytes payload;

    size_t length() const { return head.size() + frame.size() + payload.size(); }
    // The whole record as it lies in host order, header first.
    Bytes whole() const;
    // Fills `v` with head, frame and the payload cut into a few fragments;
    // returns the entry count.  The sender may rewrite the entries, so a
    // fresh list is made for every send; the bytes are never written.
    int gather(std::vector<iovec>& v) const;
};

Record make_record(Kind kind, uint32_t index, uint32_t seed);

// One step of an interop run.  Acknowledged steps are sent with
// SendEvent_ACK and received with a ring buffer; a refused step meets a ring
// buffer one byte too small, so both ends must end it with ERR_NO_SPACE.
struct Item {
    Kind kind;
    uint32_t index;
    bool ack;
    bool refuse;
};

// The steps both ends of a run follow: first every kind acknowledged (images
// and spectra have no acknowledgement and go between them unacknowledged),
// then every kind unacknowledged; each pass has every payload size class.
std::vector<Item> make_plan();

// Where the first difference between `got` and the expected record lies, in
// words a reader can act on ("event_length (offset 4)", "payload byte 17",
// "length 40, expected 44"); empty when they are equal.
std::string describe_difference(Kind kind, const Bytes& got, const Bytes& want);

}  // namespace interop

#endif
