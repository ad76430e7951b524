// Byte-order conversion of records and the process-wide data-format
// generation. The rules are described at the top of event_util.h.
//
// All field access goes through memcpy on byte pointers: records arrive in
// char buffers at arbitrary offsets, so no typed load may assume alignment.
#include "event_util.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace {

// ---- Generation ------------------------------------------------------------

constexpr unsigned kFlag2010 = 1u;
constexpr unsigned kFlag2024 = 2u;

// Both flags live in one word so that a setter that touches both (the 2010
// setter clears 2024) is a single atomic step and a reader never sees a
// half-applied change.
std::atomic<unsigned> g_format_flags{0};

// ---- Byte access -----------------------------------------------------------

using byte = unsigned char;

uint32_t load32(const byte* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint64_t load64(const byte* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store32(byte* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
void store64(byte* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

uint32_t reversed32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t reversed64(uint64_t v) { return __builtin_bswap64(v); }

// ---- Word runs -----------------------------------------------------------------
//
// Record bodies are where conversions spend their time, so the two word loops
// are written for the compiler's vectorizer:
// * one loop per aliasing case (in place, or distinct buffers marked
//   __restrict), so no run-time overlap check sends the in-place conversion
//   of a received record to the scalar loop;
// * on x86-64, clones for AVX2 and SSSE3 beside the baseline one, picked once
//   at load time: reversing bytes inside each lane needs a byte shuffle
//   (pshufb), which baseline SSE2 lacks and GCC does not emulate;
// * GCC's default -O2 cost model refuses loops of unknown trip count, so
//   lib/CMakeLists.txt compiles this file with the dynamic one.
// Other targets (s390x) get the plain loops.
#if defined(__x86_64__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define TARVEX_WORD_LOOP __attribute__((target_clones("avx2", "ssse3", "default")))
#endif
#endif
#ifndef TARVEX_WORD_LOOP
#define TARVEX_WORD_LOOP
#endif

TARVEX_WORD_LOOP void swap_words_in_place(byte* p, size_t count) {
    for (size_t i = 0; i < count; ++i) store32(p + 4 * i, reversed32(load32(p + 4 * i)));
}

TARVEX_WORD_LOOP void swap_words_apart(const byte* __restrict src, byte* __restrict dst, size_t count) {
    for (size_t i = 0; i < count; ++i) store32(dst + 4 * i, reversed32(load32(src + 4 * i)));
}

// `dst` equals `src` or does not overlap it (the rule of every conversion).
void swap_words(const byte* src, byte* dst, size_t count) {
    if (src == dst)
        swap_words_in_place(dst, count);
    else
        swap_words_apart(src, dst, count);
}

// ---- Header layouts ----------------------------------------------------------

// Widths of a header's fields in wire order; only the 2024 event header has
// 64-bit fields, every other header is a run of 32-bit words.
struct HeadLayout {
    const uint8_t* widths;
    size_t fields;
    size_t size;
};

// Enough 32-bit fields for the longest all-word header, the frame header.
constexpr uint8_t kWords[25] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4};
constexpr uint8_t kEvent2024Widths[] = {4, 4, 8, 8, 4, 4, 4, 4, 4, 4};

constexpr HeadLayout words_layout(size_t size) { return HeadLayout{kWords, size / 4, size}; }

constexpr HeadLayout kEventLayout = words_layout(sizeof(kbr7_eventheader));
constexpr HeadLayout kEvent2024Layout{kEvent2024Widths, sizeof kEvent2024Widths, sizeof(kbr7_eventheader_2024)};
constexpr HeadLayout kSlowLayout = words_layout(sizeof(kbr7_daq_slow_data_header));
constexpr HeadLayout kImageHeadLayout = words_layout(sizeof(kbr7_image_head));
constexpr HeadLayout kFrameLayout = words_layout(sizeof(kbr7_image_ext_frame_head));
constexpr HeadLayout kSpectIntroLayout = words_layout(sizeof(kbr7_spect_intro));

constexpr size_t width_sum(const uint8_t* w, size_t n) { return n == 0 ? 0 : w[0] + width_sum(w + 1, n - 1); }

constexpr bool layout_complete(const HeadLayout& l) {
    return l.fields <= sizeof kWords && width_sum(l.widths, l.fields) == l.size;
}

static_assert(layout_complete(kEventLayout), "36-byte event header");
static_assert(layout_complete(kEvent2024Layout), "48-byte event header");
static_assert(layout_complete(kSlowLayout), "slow-data header");
static_assert(layout_complete(kImageHeadLayout), "image intro");
static_assert(layout_complete(kFrameLayout), "frame header");
static_assert(layout_complete(kSpectIntroLayout), "spectrum intro");

// Converts the fields in place at `p`.
void swap_fields(byte* p, const HeadLayout& l) {
    for (size_t i = 0; i < l.fields; ++i) {
        if (l.widths[i] == 8)
            store64(p, reversed64(load64(p)));
        else
            store32(p, reversed32(load32(p)));
        p += l.widths[i];
    }
}

// Header conversion through a local copy, so that src and dst may be the
// same header and nothing is written until the whole header is converted.
int convert_head(const void* src, void* dst, const HeadLayout& l) {
    if (src == nullptr || dst == nullptr) return KBR7_CONV_ERR_NULL;
    byte tmp[sizeof(kbr7_image_ext_frame_head)];
    static_assert(sizeof tmp >= sizeof(kbr7_spect_intro) && sizeof tmp >= sizeof(kbr7_eventheader_2024),
                  "scratch holds every header");
    std::memcpy(tmp, src, l.size);
    swap_fields(tmp, l);
    std::memcpy(dst, tmp, l.size);
    return KBR7_CONV_OK;
}

// Puts the record's `extent` bytes at dst (when it differs) and converts the
// header and the whole body words there.
void convert_record(const byte* src, byte* dst, size_t extent, const HeadLayout& l) {
    if (src != dst) std::memmove(dst, src, extent);
    swap_fields(dst, l);
    swap_words(dst + l.size, dst + l.size, (extent - l.size) / 4);
}

// ---- Event records -----------------------------------------------------------

bool generation_is_2024() { return (g_format_flags.load() & kFlag2024) != 0; }

// Record length from an event header; `peer_order` when the header still
// travels in the other byte order. A 2024 length counts by its low 32 bits.
uint32_t event_length(const byte* head, bool is_2024, bool peer_order) {
    if (is_2024) {
        uint64_t v = load64(head + offsetof(kbr7_eventheader_2024, event_length));
        return static_cast<uint32_t>(peer_order ? reversed64(v) : v);
    }
    uint32_t v = load32(head + offsetof(kbr7_eventheader, event_length));
    return peer_order ? reversed32(v) : v;
}

int convert_event_record(void* src, void* dst, long bound, bool peer_order) {
    if (src == nullptr || dst == nullptr) return KBR7_CONV_ERR_NULL;
    // One read of the generation decides both the layout and the length
    // field, even if another thread changes the setting meanwhile.
    bool is_2024 = generation_is_2024();
    const HeadLayout& l = is_2024 ? kEvent2024Layout : kEventLayout;
    // The length field itself must lie inside the bound before it is read.
    if (bound >= 0 && static_cast<size_t>(bound) < l.size) return KBR7_CONV_ERR_SHORT_LENGTH;
    auto* s = static_cast<const byte*>(src);
    uint32_t length = event_length(s, is_2024, peer_order);
    if (length < l.size) return KBR7_CONV_ERR_SHORT_LENGTH;
    if (bound >= 0 && length > static_cast<unsigned long>(bound)) return KBR7_CONV_ERR_BEYOND_BOUND;
    convert_record(s, static_cast<byte*>(dst), length, l);
    return KBR7_CONV_OK;
}

// ---- Image data --------------------------------------------------------------

// Whole-record length of an image whose header (`header_length` bytes before
// `data`) is already in the other byte order; 0 when the length is negative.
uint32_t converted_image_length(const byte* data, int header_length) {
    const byte* head = data - header_length;
    if (header_length == static_cast<int>(sizeof(kbr7_image_head)))
        return reversed32(load32(head + offsetof(kbr7_image_head, length)));
    uint32_t v = reversed32(load32(head + offsetof(kbr7_image_ext_frame_head, length)));
    // The frame header's length is signed: a negative one is no length at all.
    return v > static_cast<uint32_t>(INT32_MAX) ? 0 : v;
}

int expected_header_length(int block_type) {
    switch (block_type) {
        case KBR7_BLOCK_IMAGE: return sizeof(kbr7_image_head);
        case KBR7_BLOCK_IMAGE_EXT: return sizeof(kbr7_image_ext_frame_head);
        default: return -1;
    }
}

// ---- Gathered records ------------------------------------------------------------

// Writes the bytes [from, to) of a converted record into `out` (out[0] is the
// record's byte `from`) while the record's bytes are fed to it in order,
// starting at a word boundary at or before `from`: the 32-bit words that lie
// in [words_begin, words_end) are reversed, every other byte is copied. Both
// bounds are multiples of 4 counted from the record's start. A word that
// straddles pieces or an edge of the window is collected in a scratch word,
// and only its bytes inside the window are written.
class WindowWriter {
public:
    WindowWriter(byte* out, size_t from, size_t to, size_t words_begin, size_t words_end, size_t at)
        : out_(out), from_(from), to_(to), words_begin_(words_begin), words_end_(words_end), at_(at) {}

    void put(const byte* src, size_t n) {
        while (n > 0) {
            size_t done = put_some(src, n);
            at_ += done;
            src += done;
            n -= done;
        }
    }

    // Zeros stay zeros when reversed; only a word already begun has to be
    // finished through the scratch word.
    void zeros(size_t n) {
        static const byte kZeros[3] = {};
        size_t finish = std::min(n, (4 - at_ % 4) % 4);
        put(kZeros, finish);
        n -= finish;
        size_t lo = std::max(at_, from_), hi = std::min(at_ + n, to_);
        if (lo < hi) std::memset(out_ + (lo - from_), 0, hi - lo);
        at_ += n;
    }

private:
    // Writes the longest run of `src` that one rule covers; returns its size.
    size_t put_some(const byte* src, size_t n) {
        if (at_ < words_begin_ || at_ >= words_end_) {
            size_t run = at_ < words_begin_ ? std::min(n, words_begin_ - at_) : n;
            emit(src, at_, run);
            return run;
        }
        size_t in_word = at_ % 4;
        if (in_word == 0 && n >= 4 && at_ >= from_ && at_ + 4 <= to_) {
            size_t words = std::min({n, words_end_ - at_, to_ - at_}) / 4;
            swap_words(src, out_ + (at_ - from_), words);
            return 4 * words;
        }
        size_t part = std::min(n, 4 - in_word);
        std::memcpy(word_ + in_word, src, part);
        if (in_word + part == 4) emit_word(at_ - in_word);
        return part;
    }

    // The scratch word, complete now, reversed at the record's byte `pos`.
    void emit_word(size_t pos) {
        uint32_t v = reversed32(load32(word_));
        if (pos >= from_ && pos + 4 <= to_) {
            store32(out_ + (pos - from_), v);
            return;
        }
        store32(word_, v);
        emit(word_, pos, 4);
    }

    // The part of the record's bytes [pos, pos + n) that lies in the window.
    void emit(const byte* src, size_t pos, size_t n) {
        size_t lo = std::max(pos, from_), hi = std::min(pos + n, to_);
        if (lo < hi) std::memcpy(out_ + (lo - from_), src + (lo - pos), hi - lo);
    }

    byte* out_;
    size_t from_;
    size_t to_;
    size_t words_begin_;
    size_t words_end_;
    size_t at_;
    byte word_[4] = {};
};

// Where a walk through a gathered record stands: its piece (0 the header,
// 1.. the fragments, past them the zero fill) and the record offset at
// which that piece begins.
struct SourcePosition {
    int piece;
    size_t start;
};

// A record as the two-step path lays it out: the header, the fragments back
// to back, zeros up to the length. Walks forward through the pieces.
class GatheredSource {
public:
    GatheredSource(const byte* head, size_t head_size, const iovec* body, int fragments, SourcePosition at)
        : head_(head), head_size_(head_size), body_(body), fragments_(std::max(fragments, 0)), at_(at) {}

    // Moves to the piece that holds the record's byte `pos`, from the start
    // when `pos` lies before the current piece.
    void seek(size_t pos) {
        if (pos < at_.start) at_ = SourcePosition{0, 0};
        while (!is_fill(at_.piece) && at_.start + size(at_.piece) <= pos) {
            at_.start += size(at_.piece);
            ++at_.piece;
        }
    }

    // Feeds the record's bytes [begin, end) to `w`; the current piece must
    // not begin after `begin` (seek first).
    void feed(size_t begin, size_t end, WindowWriter& w) const {
        SourcePosition p = at_;
        size_t pos = begin;
        while (pos < end) {
            if (is_fill(p.piece)) {
                w.zeros(end - pos);
                return;
            }
            size_t stop = std::min(end, p.start + size(p.piece));
            if (stop > pos) {
                w.put(data(p.piece) + (pos - p.start), stop - pos);
                pos = stop;
            }
            p.start += size(p.piece);
            ++p.piece;
        }
    }

    SourcePosition position() const { return at_; }

private:
    bool is_fill(int piece) const { return piece > fragments_; }
    const byte* data(int piece) const {
        return piece == 0 ? head_ : static_cast<const byte*>(body_[piece - 1].iov_base);
    }
    size_t size(int piece) const { return piece == 0 ? head_size_ : body_[piece - 1].iov_len; }

    const byte* head_;
    size_t head_size_;
    const iovec* body_;
    int fragments_;
    SourcePosition at_;
};

// What the two-step path (gather, then convert in place) does to a record,
// decided from its header before a byte is moved: the result, the header
// layout converted at the record's start (none when nothing is converted),
// and where the run of body words behind that header ends.
struct GatherPlan {
    int result;
    const HeadLayout* head;
    size_t words_end;
};

GatherPlan converts_nothing(int result) { return GatherPlan{result, nullptr, 0}; }

// Header and the whole words behind it up to `extent`.
GatherPlan converts_up_to(int result, const HeadLayout& head, size_t extent) {
    return GatherPlan{result, &head, head.size + (extent - head.size) / 4 * 4};
}

GatherPlan converts_header(int result, const HeadLayout& head) { return converts_up_to(result, head, head.size); }

// The plans run after the common checks: `length` is the header's own
// record length and holds at least the header.

// kbr7_convert_event_hton(buf, buf, length). The layout is the selected
// generation's, whatever the caller's header is: with the other layout the
// length is read from another field and may differ from `length`.
GatherPlan event_plan(const byte* head, uint32_t length) {
    bool is_2024 = generation_is_2024();
    const HeadLayout& l = is_2024 ? kEvent2024Layout : kEventLayout;
    if (length < l.size) return converts_nothing(KBR7_CONV_ERR_SHORT_LENGTH);
    uint32_t extent = event_length(head, is_2024, /*peer_order=*/false);
    if (extent < l.size) return converts_nothing(KBR7_CONV_ERR_SHORT_LENGTH);
    if (extent > length) return converts_nothing(KBR7_CONV_ERR_BEYOND_BOUND);
    return converts_up_to(KBR7_CONV_OK, l, extent);
}

// The length field of either event layout lies inside the other header, so
// event_plan reads it from the caller's header alone.
static_assert(offsetof(kbr7_eventheader_2024, event_length) + 8 <= sizeof(kbr7_eventheader) &&
                  offsetof(kbr7_eventheader, event_length) + 4 <= sizeof(kbr7_eventheader_2024),
              "event length fields inside both headers");

// Body words, then the header; neither can fail once the length is checked.
GatherPlan slow_plan(const byte*, uint32_t length) { return converts_up_to(KBR7_CONV_OK, kSlowLayout, length); }

// The intro, then the frame header behind it (all 32-bit fields, so a run of
// words); a record too short for the frame gets its intro converted only.
GatherPlan image_plan(const byte*, uint32_t length) {
    constexpr size_t kIntroAndFrame = sizeof(kbr7_image_ext_intro);
    if (length < kIntroAndFrame) return converts_header(KBR7_CONV_ERR_SHORT_LENGTH, kImageHeadLayout);
    return converts_up_to(KBR7_CONV_OK, kImageHeadLayout, kIntroAndFrame);
}

// The frame header only; pixels travel as they are. A negative frame length
// (read as unsigned, beyond INT32_MAX) is no length at all.
GatherPlan image_ext_plan(const byte*, uint32_t length) {
    int result = length > static_cast<uint32_t>(INT32_MAX) ? KBR7_CONV_ERR_SHORT_LENGTH : KBR7_CONV_OK;
    return converts_header(result, kFrameLayout);
}

uint32_t event_own_length(const byte* head) { return event_length(head, false, false); }
uint32_t event_2024_own_length(const byte* head) { return event_length(head, true, false); }
uint32_t slow_own_length(const byte* head) { return load32(head + offsetof(kbr7_daq_slow_data_header, data_length)); }
uint32_t image_own_length(const byte* head) { return load32(head + offsetof(kbr7_image_head, length)); }
uint32_t image_ext_own_length(const byte* head) { return load32(head + offsetof(kbr7_image_ext_frame_head, length)); }

// What gathering needs to know about each record kind a sender converts.
struct GatherKind {
    size_t head_size;
    uint32_t (*own_length)(const byte* head);  // as the sender reads it
    GatherPlan (*plan)(const byte* head, uint32_t length);
};

constexpr GatherKind kEventGather{sizeof(kbr7_eventheader), event_own_length, event_plan};
constexpr GatherKind kEvent2024Gather{sizeof(kbr7_eventheader_2024), event_2024_own_length, event_plan};
constexpr GatherKind kSlowGather{sizeof(kbr7_daq_slow_data_header), slow_own_length, slow_plan};
constexpr GatherKind kImageGather{sizeof(kbr7_image_head), image_own_length, image_plan};
constexpr GatherKind kImageExtGather{sizeof(kbr7_image_ext_frame_head), image_ext_own_length, image_ext_plan};

// The refusals every kind shares, in the documented order; 0 when the record
// may be gathered.
int gather_refusal(const GatherKind& kind, const byte* head, const iovec* body, int fragments, const void* dst,
                   uint32_t length) {
    if (head == nullptr || dst == nullptr || (fragments > 0 && body == nullptr)) return KBR7_CONV_ERR_NULL;
    for (int i = 0; i < fragments; ++i)
        if (body[i].iov_base == nullptr && body[i].iov_len != 0) return KBR7_CONV_ERR_NULL;
    if (length != kind.own_length(head)) return KBR7_CONV_ERR_LENGTH;
    if (length < kind.head_size) return KBR7_CONV_ERR_SHORT_LENGTH;
    size_t room = length - kind.head_size;
    for (int i = 0; i < fragments; ++i) {
        if (body[i].iov_len > room) return KBR7_CONV_ERR_FRAGMENTS;
        room -= body[i].iov_len;
    }
    return KBR7_CONV_OK;
}

// All a window needs to know about its record, worked out by the first
// window and kept in a cursor for the next ones.
struct WindowState {
    const GatherKind* kind;  // null: nothing kept
    const byte* head;
    const iovec* body;
    int fragments;
    uint32_t length;
    GatherPlan plan;
    SourcePosition position;
};

static_assert(sizeof(WindowState) <= sizeof(kbr7_gather_cursor), "a cursor holds a window's state");
static_assert(std::is_trivially_copyable<WindowState>::value, "kept in a cursor by copying");

// The state a cursor kept for the same record, unless the window starts the
// record afresh (from 0) or the cursor belongs to another record.
bool resume(const kbr7_gather_cursor* cursor, const GatherKind& kind, const byte* head, const iovec* body,
            int fragments, uint32_t length, uint32_t from, WindowState& state) {
    if (cursor == nullptr || from == 0) return false;
    std::memcpy(&state, cursor->opaque, sizeof state);
    return state.kind == &kind && state.head == head && state.body == body && state.fragments == fragments &&
           state.length == length;
}

void keep(kbr7_gather_cursor* cursor, const WindowState& state) {
    if (cursor != nullptr) std::memcpy(cursor->opaque, &state, sizeof state);
}

// Writes the converted record's bytes [from, to) to dst. The header the plan
// converts is put together in a scratch copy and converted whole (with an
// event layout that is not the caller's it spans header and fragments); the
// bytes behind it are fed from the word boundary at or before `from` up to
// the end of the word that holds the window's last byte.
void write_window(WindowState& state, byte* dst, size_t from, size_t to) {
    const GatherKind& kind = *state.kind;
    const GatherPlan& plan = state.plan;
    const size_t head_end = plan.head != nullptr ? plan.head->size : 0;
    if (from < head_end) {
        byte head[sizeof(kbr7_image_ext_frame_head)];
        static_assert(sizeof head >= sizeof(kbr7_eventheader_2024), "scratch holds every converted header");
        GatheredSource whole(state.head, kind.head_size, state.body, state.fragments, SourcePosition{0, 0});
        WindowWriter copy(head, 0, head_end, 0, 0, 0);
        whole.feed(0, head_end, copy);
        swap_fields(head, *plan.head);
        std::memcpy(dst, head + from, std::min(to, head_end) - from);
    }
    const size_t begin = std::max(head_end, from / 4 * 4);
    if (begin >= to) return;
    const size_t end = to < plan.words_end ? (to + 3) / 4 * 4 : to;
    GatheredSource source(state.head, kind.head_size, state.body, state.fragments, state.position);
    source.seek(begin);
    state.position = source.position();
    WindowWriter writer(dst, from, to, head_end, plan.words_end, begin);
    source.feed(begin, end, writer);
}

int gather_part(const GatherKind& kind, const void* head_ptr, const iovec* body, int fragments, void* dst_ptr,
                uint32_t length, uint32_t from, uint32_t count, kbr7_gather_cursor* cursor) {
    auto* head = static_cast<const byte*>(head_ptr);
    WindowState state;
    if (!resume(cursor, kind, head, body, fragments, length, from, state)) {
        int refused = gather_refusal(kind, head, body, fragments, dst_ptr, length);
        if (refused != KBR7_CONV_OK) {
            keep(cursor, WindowState{});
            return refused;
        }
        state = WindowState{&kind, head, body, fragments, length, kind.plan(head, length), SourcePosition{0, 0}};
    }
    if (dst_ptr == nullptr) return KBR7_CONV_ERR_NULL;
    if (from > length || count > length - from) return KBR7_CONV_ERR_RANGE;
    write_window(state, static_cast<byte*>(dst_ptr), from, size_t{from} + count);
    keep(cursor, state);
    return state.plan.result;
}

int gather_hton(const GatherKind& kind, const void* head, const iovec* body, int fragments, void* dst,
                uint32_t length) {
    return gather_part(kind, head, body, fragments, dst, length, 0, length, nullptr);
}

// ---- Received records, piece by piece ------------------------------------------

// The header of a received record: its layout, and its record length read
// as it travelled (`peer_order`) or once converted.
struct ReceivedHead {
    const HeadLayout& layout;
    uint32_t (*length)(const byte* head, bool peer_order);
};

uint32_t event_36_length(const byte* head, bool peer_order) { return event_length(head, false, peer_order); }
uint32_t event_48_length(const byte* head, bool peer_order) { return event_length(head, true, peer_order); }
uint32_t slow_length(const byte* head, bool peer_order) {
    uint32_t v = load32(head + offsetof(kbr7_daq_slow_data_header, data_length));
    return peer_order ? reversed32(v) : v;
}

constexpr ReceivedHead kEventReceived{kEventLayout, event_36_length};
constexpr ReceivedHead kEvent2024Received{kEvent2024Layout, event_48_length};
constexpr ReceivedHead kSlowReceived{kSlowLayout, slow_length};

// What the whole conversion says of a header whose length differs from the
// caller's.
int header_refusal(const ReceivedHead& head, const byte* record) {
    return head.length(record, true) < head.layout.size ? KBR7_CONV_ERR_SHORT_LENGTH : KBR7_CONV_ERR_LENGTH;
}

// The header is one unit, converted by the call that holds its last byte
// once it has checked the length there; a body word is converted by the
// call that holds its last byte. A later call finds an accepted header in
// host order, a refused one as it travelled.
int convert_received_part(void* record, uint32_t length, uint32_t from, uint32_t to, const ReceivedHead& head) {
    if (record == nullptr) return KBR7_CONV_ERR_NULL;
    const size_t head_size = head.layout.size;
    if (length < head_size) return KBR7_CONV_ERR_SHORT_LENGTH;
    if (from > to || to > length) return KBR7_CONV_ERR_RANGE;
    if (to < head_size) return KBR7_CONV_OK;
    auto* r = static_cast<byte*>(record);
    const bool completes_head = from < head_size;
    if (head.length(r, completes_head) != length) return header_refusal(head, r);
    if (completes_head) swap_fields(r, head.layout);
    const size_t first_word = std::max<size_t>(from, head_size) / 4;
    const size_t end_word = to / 4;
    if (first_word < end_word) swap_words_in_place(r + 4 * first_word, end_word - first_word);
    return KBR7_CONV_OK;
}

}  // namespace

// ---- Public interface ----------------------------------------------------------

const char* kbr7_get_convert_error(int code) {
    switch (code) {
        case KBR7_CONV_OK: return "no error";
        case KBR7_CONV_ERR_NULL: return "null record pointer";
        case KBR7_CONV_ERR_SHORT_LENGTH: return "record length is zero or shorter than its header";
        case KBR7_CONV_ERR_LAYOUT: return "header type does not match the selected data format";
        case KBR7_CONV_ERR_BLOCK_TYPE: return "unknown block type";
        case KBR7_CONV_ERR_HEADER_LENGTH: return "header length does not match the block type";
        case KBR7_CONV_ERR_BEYOND_BOUND: return "record length exceeds the buffer";
        case KBR7_CONV_ERR_PATTERN: return "pattern does not match the record header";
        case KBR7_CONV_ERR_FRAGMENTS: return "body fragments exceed the record length";
        case KBR7_CONV_ERR_LENGTH: return "length differs from the record header";
        case KBR7_CONV_ERR_RANGE: return "range outside the record";
        default: return "unknown conversion error";
    }
}

void set_data_format_2010(int flag) { g_format_flags.store(flag != 0 ? kFlag2010 : 0u); }

void set_data_format_2024(int flag) {
    if (flag != 0)
        g_format_flags.fetch_or(kFlag2024);
    else
        g_format_flags.fetch_and(~kFlag2024);
}

kbr7_data_format kbr7_get_data_format() {
    unsigned flags = g_format_flags.load();
    if (flags & kFlag2024) return KBR7_FORMAT_2024;
    if (flags & kFlag2010) return KBR7_FORMAT_2010;
    return KBR7_FORMAT_LEGACY;
}

bool is_data_format_2024() { return kbr7_get_data_format() == KBR7_FORMAT_2024; }
bool is_data_format_2010() { return kbr7_get_data_format() == KBR7_FORMAT_2010; }

void kbr7_swap4(const void* src, void* dst, int count) {
    if (src == nullptr || dst == nullptr || count <= 0) return;
    swap_words(static_cast<const byte*>(src), static_cast<byte*>(dst), static_cast<size_t>(count));
}

int kbr7_convert_event_head(const kbr7_eventheader* src, kbr7_eventheader* dst) {
    if (src == nullptr || dst == nullptr) return KBR7_CONV_ERR_NULL;
    if (generation_is_2024()) return KBR7_CONV_ERR_LAYOUT;
    return convert_head(src, dst, kEventLayout);
}

int kbr7_convert_event_head(const kbr7_eventheader_2024* src, kbr7_eventheader_2024* dst) {
    if (src == nullptr || dst == nullptr) return KBR7_CONV_ERR_NULL;
    if (!generation_is_2024()) return KBR7_CONV_ERR_LAYOUT;
    return convert_head(src, dst, kEvent2024Layout);
}

int kbr7_convert_slow_data_head(const kbr7_daq_slow_data_header* src, kbr7_daq_slow_data_header* dst) {
    return convert_head(src, dst, kSlowLayout);
}

int kbr7_convert_image_head(const kbr7_image_head* src, kbr7_image_head* dst) {
    return convert_head(src, dst, kImageHeadLayout);
}

int kbr7_convert_image_head(const kbr7_image_ext_frame_head* src, kbr7_image_ext_frame_head* dst) {
    return convert_head(src, dst, kFrameLayout);
}

int kbr7_convert_image_ext_head(const kbr7_image_ext_frame_head* src, kbr7_image_ext_frame_head* dst) {
    return convert_head(src, dst, kFrameLayout);
}

int kbr7_convert_spect_head(const kbr7_spect_intro* src, kbr7_spect_intro* dst) {
    return convert_head(src, dst, kSpectIntroLayout);
}

int kbr7_convert_event_hton(void* src, void* dst, int len) {
    return convert_event_record(src, dst, len, /*peer_order=*/false);
}

int kbr7_convert_event(void* src, void* dst) { return convert_event_record(src, dst, -1, /*peer_order=*/true); }

int kbr7_convert_slow_data_block_hton(void* src, void* dst, uint32_t /*channels*/, uint32_t pattern) {
    if (src == nullptr || dst == nullptr) return KBR7_CONV_ERR_NULL;
    auto* body = static_cast<const byte*>(src);
    const byte* head = body - sizeof(kbr7_daq_slow_data_header);
    if (load32(head + offsetof(kbr7_daq_slow_data_header, pattern)) != pattern) return KBR7_CONV_ERR_PATTERN;
    uint32_t length = load32(head + offsetof(kbr7_daq_slow_data_header, data_length));
    if (length < sizeof(kbr7_daq_slow_data_header)) return KBR7_CONV_ERR_SHORT_LENGTH;
    size_t body_bytes = length - sizeof(kbr7_daq_slow_data_header);
    auto* out = static_cast<byte*>(dst);
    if (out != body) std::memmove(out, body, body_bytes);
    swap_words(out, out, body_bytes / 4);
    return KBR7_CONV_OK;
}

int kbr7_convert_slow_data(void* src, void* dst) {
    if (src == nullptr || dst == nullptr) return KBR7_CONV_ERR_NULL;
    auto* s = static_cast<const byte*>(src);
    uint32_t length = reversed32(load32(s + offsetof(kbr7_daq_slow_data_header, data_length)));
    if (length < sizeof(kbr7_daq_slow_data_header)) return KBR7_CONV_ERR_SHORT_LENGTH;
    convert_record(s, static_cast<byte*>(dst), length, kSlowLayout);
    return KBR7_CONV_OK;
}

int kbr7_convert_data(void* src, void* dst, int block_type, int header_length) {
    if (src == nullptr || dst == nullptr) return KBR7_CONV_ERR_NULL;
    int expected = expected_header_length(block_type);
    if (expected < 0) return KBR7_CONV_ERR_BLOCK_TYPE;
    if (header_length != expected) return KBR7_CONV_ERR_HEADER_LENGTH;

    auto* data = static_cast<const byte*>(src);
    uint32_t length = converted_image_length(data, header_length);
    if (length < static_cast<uint32_t>(header_length)) return KBR7_CONV_ERR_SHORT_LENGTH;
    size_t data_bytes = length - static_cast<uint32_t>(header_length);

    // Behind an 8-byte intro the frame header is part of the data and is what
    // the image receiver converts back; pixels are never converted.
    bool frame_in_data = block_type == KBR7_BLOCK_IMAGE;
    if (frame_in_data && data_bytes < sizeof(kbr7_image_ext_frame_head)) return KBR7_CONV_ERR_SHORT_LENGTH;

    auto* out = static_cast<byte*>(dst);
    if (out != data) std::memmove(out, data, data_bytes);
    if (frame_in_data) swap_fields(out, kFrameLayout);
    return KBR7_CONV_OK;
}

int kbr7_convert_event_gather_hton(const kbr7_eventheader* head, const iovec* body, int fragments, void* dst,
                                   uint32_t length) {
    return gather_hton(kEventGather, head, body, fragments, dst, length);
}

int kbr7_convert_event_gather_hton(const kbr7_eventheader_2024* head, const iovec* body, int fragments, void* dst,
                                   uint32_t length) {
    return gather_hton(kEvent2024Gather, head, body, fragments, dst, length);
}

int kbr7_convert_slow_data_gather_hton(const kbr7_daq_slow_data_header* head, const iovec* body, int fragments,
                                       void* dst, uint32_t length) {
    return gather_hton(kSlowGather, head, body, fragments, dst, length);
}

int kbr7_convert_image_gather_hton(const kbr7_image_head* head, const iovec* body, int fragments, void* dst,
                                   uint32_t length) {
    return gather_hton(kImageGather, head, body, fragments, dst, length);
}

int kbr7_convert_image_ext_gather_hton(const kbr7_image_ext_frame_head* head, const iovec* body, int fragments,
                                       void* dst, uint32_t length) {
    return gather_hton(kImageExtGather, head, body, fragments, dst, length);
}

int kbr7_convert_event_gather_hton_part(const kbr7_eventheader* head, const iovec* body, int fragments, void* dst,
                                        uint32_t length, uint32_t from, uint32_t count, kbr7_gather_cursor* cursor) {
    return gather_part(kEventGather, head, body, fragments, dst, length, from, count, cursor);
}

int kbr7_convert_event_gather_hton_part(const kbr7_eventheader_2024* head, const iovec* body, int fragments, void* dst,
                                        uint32_t length, uint32_t from, uint32_t count, kbr7_gather_cursor* cursor) {
    return gather_part(kEvent2024Gather, head, body, fragments, dst, length, from, count, cursor);
}

int kbr7_convert_slow_data_gather_hton_part(const kbr7_daq_slow_data_header* head, const iovec* body, int fragments,
                                            void* dst, uint32_t length, uint32_t from, uint32_t count,
                                            kbr7_gather_cursor* cursor) {
    return gather_part(kSlowGather, head, body, fragments, dst, length, from, count, cursor);
}

int kbr7_convert_image_gather_hton_part(const kbr7_image_head* head, const iovec* body, int fragments, void* dst,
                                        uint32_t length, uint32_t from, uint32_t count, kbr7_gather_cursor* cursor) {
    return gather_part(kImageGather, head, body, fragments, dst, length, from, count, cursor);
}

int kbr7_convert_image_ext_gather_hton_part(const kbr7_image_ext_frame_head* head, const iovec* body, int fragments,
                                            void* dst, uint32_t length, uint32_t from, uint32_t count,
                                            kbr7_gather_cursor* cursor) {
    return gather_part(kImageExtGather, head, body, fragments, dst, length, from, count, cursor);
}

int kbr7_convert_event_part(void* record, uint32_t length, uint32_t from, uint32_t to) {
    // One read of the generation decides the layout for this call.
    return convert_received_part(record, length, from, to, generation_is_2024() ? kEvent2024Received : kEventReceived);
}

int kbr7_convert_slow_data_part(void* record, uint32_t length, uint32_t from, uint32_t to) {
    return convert_received_part(record, length, from, to, kSlowReceived);
}
