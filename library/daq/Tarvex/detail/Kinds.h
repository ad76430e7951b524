// The record kinds a link carries: one row per kind, and everything the
// sender, the receivers, the record store, the tools, the Python binding and
// the test programs know about a kind is read from its row.  Header-only and
// free of any link's state; reached by the programs of this tree through the
// internal target Tarvex::internal, never installed.
//
// A kind is known by two things: the first word of its header (the
// pattern), which is how a receiver finds it in the stream, and the size of
// the first piece of a sender's gather list, which is how SendEvent tells
// it.  Images and spectra start with one of the event patterns; their kind
// is known to the receiver the caller picked.
//
// Adding a kind: a row here (with its conversions in the event utilities,
// both ways), and a test that moves it across a link.
#ifndef TARVEX_DETAIL_KINDS_H
#define TARVEX_DETAIL_KINDS_H

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "event.h"
#include "event_util.h"

namespace tarvex {
namespace kinds {

enum class Kind { Event2010, Legacy, Event2024, Slow, Slow2024, Image, Spectrum, Frame };

// Which receiver takes the kind.  A bare frame header starts with no
// pattern: no receiver finds it, and it is sent only.
enum class Family { Event, Slow, Image, Spectrum, Frame };

// The data-format generation of the event utilities that the kind's pattern
// selects; images and spectra leave it as it is.
enum class Generation { Legacy, G2010, G2024, Unchanged };

// A sender's conversion of bytes [from, from + count) of a record, host to
// wire order, gathered from the header and the body fragments in one pass;
// the cursor carries the record's checks and the place in the gather list
// from one window to the next.
using ConvertWindow = int (*)(const void* head, const iovec* body, int n, char* dst, uint32_t length, uint32_t from,
                              uint32_t count, kbr7_gather_cursor* cursor);

struct KindRow {
    Kind kind;
    const char* name;   // as the tools name it: "event2010", "slow2024", ...
    const char* label;  // "event", "slow", "image", "spectrum", "frame"
    const char* generation_name;
    Family family;
    uint32_t pattern;       // host order; the pattern a sender of images and spectra writes
    size_t header;          // what a receiver reads before the body: header or intro (0: no receiver)
    size_t first_piece;     // entry 0 of a sender's gather list; 0: no send operation frames it
    size_t also_sent_as;    // a first piece of another size whose sender honours this kind's pattern
    size_t length_offset;   // the field that counts the whole record, header included
    size_t length_width;    // 4, or 8 for the 2024 event header
    Generation generation;  // selected by the pattern
    bool counted;           // counted in the link's own record counter
    bool scan_reversed;     // the event scan also stops at the pattern read in the other byte order
    int body_empty_limit;   // consecutive empty reads that end a body read
    int what;               // the kind code a sender's diagnostic prints

    // --- wire to host: the receivers ---
    // A received header (the intro of an image or spectrum, its pattern
    // word 0), converted in place to host order; 0 on success.
    int (*convert_header)(void* head);
    // A whole received record, stored as it travelled, converted in place
    // to host order; null for kinds that are not stored whole.
    int (*convert_record)(void* record);
    // The same, piece by piece as the record arrives: the header fields and
    // body words whose last byte lies in [from, to); pieces covering the
    // record give what one convert_record gives.  Null like convert_record.
    int (*convert_record_part)(void* record, uint32_t length, uint32_t from, uint32_t to);

    // --- host to wire: the sender (null: not sent) ---
    // The first piece of a gather list converted into `out`; 0 on success.
    int (*convert_first_piece)(const void* head, void* out);
    ConvertWindow convert_window;
    const char* first_piece_failed;  // the line of a failed first-piece conversion
    bool failure_shows_error;        // it takes the conversion's result (%d)

    constexpr bool receivable() const { return header != 0; }
    constexpr bool sendable() const { return first_piece != 0; }
};

namespace detail {

// Receiving: conversions in place.
inline int convert_event_head(void* h) {
    auto* e = static_cast<kbr7_eventheader*>(h);
    return kbr7_convert_event_head(e, e);
}
inline int convert_event_head_2024(void* h) {
    auto* e = static_cast<kbr7_eventheader_2024*>(h);
    return kbr7_convert_event_head(e, e);
}
inline int convert_slow_head(void* h) {
    auto* s = static_cast<kbr7_daq_slow_data_header*>(h);
    return kbr7_convert_slow_data_head(s, s);
}
// The image intro's length comes separately; the event utilities convert
// only the frame header behind it.
inline int convert_image_intro(void* p) {
    auto* im = static_cast<kbr7_image_ext_intro*>(p);
    kbr7_swap4(&im->intro.length, &im->intro.length, 1);
    return kbr7_convert_image_head(&im->head, &im->head);
}
inline int convert_spect_intro(void* p) {
    auto* sp = static_cast<kbr7_spect_intro*>(p);
    return kbr7_convert_spect_head(sp, sp);
}
inline int convert_event(void* r) { return kbr7_convert_event(r, r); }
inline int convert_slow(void* r) { return kbr7_convert_slow_data(r, r); }

// Sending: the caller's header is copied first (it may be unaligned and
// stays the caller's).
template <class Head, int (*Convert)(const Head*, Head*)>
int convert_out(const void* head, void* out) {
    Head h;
    std::memcpy(&h, head, sizeof h);
    return Convert(&h, static_cast<Head*>(out));
}
template <class Head,
          int (*Gather)(const Head*, const iovec*, int, void*, uint32_t, uint32_t, uint32_t, kbr7_gather_cursor*)>
int convert_window(const void* head, const iovec* body, int n, char* dst, uint32_t length, uint32_t from,
                   uint32_t count, kbr7_gather_cursor* cursor) {
    Head h;
    std::memcpy(&h, head, sizeof h);
    return Gather(&h, body, n, dst, length, from, count, cursor);
}

// The texts of a failed header conversion on the send side.  EXACT TEXTS
// (see detail/Log.h).
constexpr const char* kImageHeadFailed = "Failed to convert image header";
constexpr const char* kImageExtHeadFailed = "Failed to convert image ext header";
constexpr const char* kEventHeadFailed = "Failed to convert event header error: %d";
constexpr const char* kSlowHeadFailed = "Failed to convert slow data header";

}  // namespace detail

constexpr int kEventBodyEmptyLimit = 10000;
constexpr int kOtherEmptyLimit = 1000;

#define TARVEX_EVENT36_OUT                                          \
    detail::convert_out<kbr7_eventheader, kbr7_convert_event_head>, \
        detail::convert_window<kbr7_eventheader, kbr7_convert_event_gather_hton_part>, detail::kEventHeadFailed, true
#define TARVEX_SLOW_OUT                                                                             \
    detail::convert_out<kbr7_daq_slow_data_header, kbr7_convert_slow_data_head>,                    \
        detail::convert_window<kbr7_daq_slow_data_header, kbr7_convert_slow_data_gather_hton_part>, \
        detail::kSlowHeadFailed, false

// The rows.  The legacy event pattern read in the other byte order is no
// pattern of the scan: only conversion in force makes it one.  A sender of
// a 36-byte event header also honours the 2024 pattern (also_sent_as); the
// 48-byte sender honours only its own.
inline constexpr KindRow kRows[] = {
    {Kind::Event2010,
     "event2010",
     "event",
     "2010",
     Family::Event,
     KBR7_PATTERN_2010,
     sizeof(kbr7_eventheader),
     sizeof(kbr7_eventheader),
     0,
     offsetof(kbr7_eventheader, event_length),
     4,
     Generation::G2010,
     true,
     true,
     kEventBodyEmptyLimit,
     0,
     detail::convert_event_head,
     detail::convert_event,
     kbr7_convert_event_part,
     TARVEX_EVENT36_OUT},
    {Kind::Legacy,
     "legacy",
     "event",
     "legacy",
     Family::Event,
     KBR7_PATTERN_LEGACY,
     sizeof(kbr7_eventheader),
     sizeof(kbr7_eventheader),
     0,
     offsetof(kbr7_eventheader, event_length),
     4,
     Generation::Legacy,
     true,
     false,
     kEventBodyEmptyLimit,
     0,
     detail::convert_event_head,
     detail::convert_event,
     kbr7_convert_event_part,
     TARVEX_EVENT36_OUT},
    {Kind::Event2024,
     "event2024",
     "event",
     "2024",
     Family::Event,
     KBR7_PATTERN_2024,
     sizeof(kbr7_eventheader_2024),
     sizeof(kbr7_eventheader_2024),
     sizeof(kbr7_eventheader),
     offsetof(kbr7_eventheader_2024, event_length),
     8,
     Generation::G2024,
     true,
     true,
     kEventBodyEmptyLimit,
     6,
     detail::convert_event_head_2024,
     detail::convert_event,
     kbr7_convert_event_part,
     detail::convert_out<kbr7_eventheader_2024, kbr7_convert_event_head>,
     detail::convert_window<kbr7_eventheader_2024, kbr7_convert_event_gather_hton_part>,
     detail::kEventHeadFailed,
     true},
    {Kind::Slow,
     "slow",
     "slow",
     "legacy",
     Family::Slow,
     KBR7_PATTERN_SLOW,
     sizeof(kbr7_daq_slow_data_header),
     sizeof(kbr7_daq_slow_data_header),
     0,
     offsetof(kbr7_daq_slow_data_header, data_length),
     4,
     Generation::Legacy,
     false,
     true,
     kOtherEmptyLimit,
     5,
     detail::convert_slow_head,
     detail::convert_slow,
     kbr7_convert_slow_data_part,
     TARVEX_SLOW_OUT},
    {Kind::Slow2024,
     "slow2024",
     "slow",
     "2024",
     Family::Slow,
     KBR7_PATTERN_SLOW_2024,
     sizeof(kbr7_daq_slow_data_header),
     sizeof(kbr7_daq_slow_data_header),
     0,
     offsetof(kbr7_daq_slow_data_header, data_length),
     4,
     Generation::G2024,
     false,
     true,
     kOtherEmptyLimit,
     5,
     detail::convert_slow_head,
     detail::convert_slow,
     kbr7_convert_slow_data_part,
     TARVEX_SLOW_OUT},
    {Kind::Image,
     "image",
     "image",
     "2010",
     Family::Image,
     KBR7_PATTERN_2010,
     sizeof(kbr7_image_ext_intro),
     sizeof(kbr7_image_head),
     0,
     offsetof(kbr7_image_head, length),
     4,
     Generation::Unchanged,
     true,
     false,
     kOtherEmptyLimit,
     1,
     detail::convert_image_intro,
     nullptr,
     nullptr,
     detail::convert_out<kbr7_image_head, kbr7_convert_image_head>,
     detail::convert_window<kbr7_image_head, kbr7_convert_image_gather_hton_part>,
     detail::kImageHeadFailed,
     false},
    {Kind::Spectrum,
     "spectrum",
     "spectrum",
     "2010",
     Family::Spectrum,
     KBR7_PATTERN_2010,
     sizeof(kbr7_spect_intro),
     0,
     0,
     offsetof(kbr7_spect_head, length),
     4,
     Generation::Unchanged,
     true,
     false,
     kOtherEmptyLimit,
     -1,
     detail::convert_spect_intro,
     nullptr,
     nullptr,
     nullptr,
     nullptr,
     nullptr,
     false},
    // An image sent without its intro: the 100-byte frame header first.  It
    // starts with no pattern, so that no receiver finds it.
    {Kind::Frame,
     "frame",
     "frame",
     "2010",
     Family::Frame,
     0,
     0,
     sizeof(kbr7_image_ext_frame_head),
     0,
     offsetof(kbr7_image_ext_frame_head, length),
     4,
     Generation::Unchanged,
     false,
     false,
     kOtherEmptyLimit,
     2,
     nullptr,
     nullptr,
     nullptr,
     detail::convert_out<kbr7_image_ext_frame_head, kbr7_convert_image_ext_head>,
     detail::convert_window<kbr7_image_ext_frame_head, kbr7_convert_image_ext_gather_hton_part>,
     detail::kImageExtHeadFailed,
     false},
};

#undef TARVEX_EVENT36_OUT
#undef TARVEX_SLOW_OUT

// The rows of the records a receiver takes, in the order of Kind (every
// row but the bare frame header): what the tools and test programs list.
struct Rows {
    const KindRow* first;
    const KindRow* last;
    const KindRow* begin() const { return first; }
    const KindRow* end() const { return last; }
};
constexpr Rows record_kinds() { return {kRows, kRows + (sizeof kRows / sizeof kRows[0]) - 1}; }

constexpr const KindRow& row(Kind k) {
    for (const KindRow& r : kRows)
        if (r.kind == k) return r;
    return kRows[0];
}

constexpr uint32_t reversed(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

// The event or slow-data kind whose pattern `value` is, in host order, or
// read in the other byte order (`*other_order`); null for any other word.
// The legacy event pattern in the other byte order is one only with
// `any_order` (see above).
constexpr const KindRow* event_kind_of(uint32_t value, bool* other_order = nullptr, bool any_order = false) {
    for (const KindRow& r : kRows) {
        if (r.family != Family::Event && r.family != Family::Slow) continue;
        const bool same = value == r.pattern;
        if (!same && !((r.scan_reversed || any_order) && value == reversed(r.pattern))) continue;
        if (other_order != nullptr) *other_order = !same;
        return &r;
    }
    return nullptr;
}

// The row a sender's gather list stands for, told by the size of its
// first piece; null for a size no kind has.
constexpr const KindRow* sent_kind_of(size_t first_piece) {
    for (const KindRow& r : kRows)
        if (r.sendable() && r.first_piece == first_piece) return &r;
    return nullptr;
}

// The generation must be in force before a header is converted: the
// conversions choose the event-header layout by it.
inline void select_generation(Generation g) {
    switch (g) {
        case Generation::Legacy: set_data_format_2010(0); return;  // clears the 2024 flag too
        case Generation::G2010: set_data_format_2010(1); return;
        case Generation::G2024: set_data_format_2024(1); return;
        case Generation::Unchanged: return;
    }
}

// What a sender's header selects: the generation of the kind (sent with a
// first piece of this size) whose pattern it carries, in either byte order;
// the legacy generation for any other pattern.  Images keep the
// generation of the record before them.
inline Generation sent_generation(const KindRow& sent, uint32_t pattern) {
    if (sent.generation == Generation::Unchanged) return Generation::Unchanged;
    for (const KindRow& r : kRows) {
        if (r.first_piece != sent.first_piece && r.also_sent_as != sent.first_piece) continue;
        if (pattern == r.pattern || pattern == reversed(r.pattern)) return r.generation;
    }
    return Generation::Legacy;
}

// The record length in a header of the kind, in host order.
inline int64_t record_length(const KindRow& r, const void* head) {
    const unsigned char* p = static_cast<const unsigned char*>(head) + r.length_offset;
    if (r.length_width == 8) {
        int64_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Images and spectra start with one of the three event patterns, in host
// order.
constexpr bool starts_intro(uint32_t value) {
    return value == KBR7_PATTERN_2010 || value == KBR7_PATTERN_LEGACY || value == KBR7_PATTERN_2024;
}

}  // namespace kinds
}  // namespace tarvex

#endif
