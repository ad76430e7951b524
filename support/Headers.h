// The header of a record of each kind, as a sender lays it out in this
// machine's byte order: the one builder of every program of the tree that
// makes records (the tools' tagged records, the interop records, the tests'
// records).  The kind's row (detail/Kinds.h) gives the layout, the pattern
// and where the length goes; the caller chooses the other fields.
#ifndef TARVEX_SUPPORT_HEADERS_H
#define TARVEX_SUPPORT_HEADERS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Bytes.h"
#include "detail/Kinds.h"
#include "event.h"

namespace tt {

using tarvex::kinds::Kind;

// The fields of a header that the builder of a record chooses.  Each kind
// takes those its header has: events the event fields (the 36-byte header
// the low 32 bits of `number`, the 2024 header `alignment` as well), slow
// data `channels`, images `frame` (the frame header behind the 8-byte
// intro), spectra `spectrum`.
struct HeadFields {
    uint32_t pattern = 0;  // 0: the kind's own; images and spectra start with any event pattern
    uint64_t number = 0;
    KBR7_EVTYPE type = KBR7_EV_HB;
    time_stamp time{};
    int32_t tmask = 0;
    int32_t status = 0;
    int32_t num_svr_block = 0;
    uint32_t alignment = 0;
    uint32_t channels = 0;
    kbr7_image_ext_frame_head frame{};
    kbr7_spect_header spectrum{};
};

// The header (for images and spectra the whole intro) of a record of
// `kind` whose length field says `length`, cut to the field's width; empty
// for the bare frame header, which is sent only.
Bytes record_head(Kind kind, uint64_t length, const HeadFields& fields);

// Writes `length`, cut to the field's width, into the length field of the
// header of `kind` at `head`.
void put_record_length(Kind kind, unsigned char* head, uint64_t length);

// The pattern an image or spectrum starts with: the patterns of the event
// kinds in turn, picked by `index`.
uint32_t intro_pattern(uint32_t index);

// The fields of the header of `kind` by place, for reports that say where
// two records differ.
struct HeadField {
    size_t offset;
    size_t size;
    const char* name;
};
const std::vector<HeadField>& head_fields(Kind kind);

}  // namespace tt

#endif
