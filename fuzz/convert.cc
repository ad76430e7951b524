// Fuzzes every conversion of the event-utility library.  Each record is put
// into a block of exactly the size the function is allowed to touch, so
// that AddressSanitizer catches a read or write past it, and every result
// is compared with a reference conversion written here from the rules in
// event_util.h: header fields reversed one by one, body words reversed,
// trailing bytes, pixels and everything behind the record left alone, and
// a refused call writing nothing at all.
//
// Input: an operation byte, an option byte, then the record bytes.
//   option bit 0-1  generation: legacy, 2010, 2024 (3 is 2024 too)
//   option bit 2    the result goes to a separate destination block
//   option bit 3    kbr7_convert_event_hton gets the block size as its
//                   bound (else -1); the slow-data body conversion gets the
//                   header's own pattern (else a word from the input)
//   option bit 4    whole records: the length field is rewritten to the
//                   record bytes' own count plus the offset of bits 5-7
//                   (-4..3), so that lengths right around the end of the
//                   block, where overruns live, come up all the time
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "FuzzSupport.h"
#include "event_util.h"

namespace {

using Block = std::vector<uint8_t>;

// Records longer than this are not built (the blocks are exact-size heap
// copies of the input, padded with zeros up to the record length).
constexpr uint32_t kMaxRecord = 1u << 20;

struct Options {
    unsigned generation;
    bool separate;
    bool alt;  // bit 3, meaning per operation
    bool fit;
    int delta;
};

// ---- Reference conversions ----------------------------------------------

void reverse(uint8_t* p, size_t n) { std::reverse(p, p + n); }

// Field widths of each header, in order.
using Widths = std::initializer_list<uint8_t>;
const Widths kEvent36 = {4, 4, 4, 4, 4, 4, 4, 4, 4};
const Widths kEvent48 = {4, 4, 8, 8, 4, 4, 4, 4, 4, 4};
const Widths kSlow = {4, 4, 4};
const Widths kImageHead = {4, 4};
const Widths kFrame = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4};
const Widths kSpectIntro = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4};

size_t total(const Widths& w) {
    size_t n = 0;
    for (uint8_t k : w) n += k;
    return n;
}

void ref_fields(uint8_t* p, const Widths& w) {
    for (uint8_t k : w) {
        reverse(p, k);
        p += k;
    }
}

// Whole 32-bit words of [p, p + n); 1 to 3 trailing bytes stay.
void ref_words(uint8_t* p, size_t n) {
    for (size_t k = 0; k + 4 <= n; k += 4) reverse(p + k, 4);
}

uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint32_t load32_reversed(const uint8_t* p) { return __builtin_bswap32(load32(p)); }

// Low 32 bits of a 2024 event length, read in host or in the other order.
uint32_t load64_low(const uint8_t* p, bool reversed) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<uint32_t>(reversed ? __builtin_bswap64(v) : v);
}

// An exact-size copy of the input's first `n` bytes, zeros past its end.
Block block_of(const fz::Input& in, size_t n) {
    Block b(n, 0);
    const size_t copied = std::min(n, in.size);
    if (copied > 0) std::memcpy(b.data(), in.data, copied);
    return b;
}

// The record bytes, with the length field rewritten when the fit option
// asks for it.  `in` views `bytes`.
struct Fitted {
    Block bytes;
    fz::Input in;
};

// The length field is `width` bytes at `offset`, in the host's order or,
// when `reversed`, in the other one.
Fitted fit(const fz::Input& raw, const Options& o, size_t offset, size_t width, bool reversed) {
    Fitted f{Block(raw.data, raw.data + raw.size), raw};
    if (o.fit && raw.size >= offset + width) {
        const int64_t want = std::max<int64_t>(0, static_cast<int64_t>(raw.size) + o.delta);
        uint8_t field[8];
        if (width == 8) {
            const uint64_t v = static_cast<uint64_t>(want);
            std::memcpy(field, &v, 8);
        } else {
            const uint32_t v = static_cast<uint32_t>(want);
            std::memcpy(field, &v, 4);
        }
        if (reversed) reverse(field, width);
        std::memcpy(f.bytes.data() + offset, field, width);
    }
    f.in.data = f.bytes.data();
    f.in.size = f.bytes.size();
    return f;
}

// ---- Checks ------------------------------------------------------------------

// Runs `convert(src, dst)` on `b`, in place or into a separate block of the
// same size, and compares the outcome with `expect_ok` and `reference`.
template <class Convert>
void check_conversion(Block& b, size_t offset, const Options& o, bool expect_ok, const Block& reference,
                      Convert&& convert) {
    const Block before = b;
    Block other(b.size(), 0xa5);
    Block& out = o.separate ? other : b;
    const Block out_before = out;
    const int r = convert(b.data() + offset, out.data() + offset);
    if (!expect_ok) {
        FZ_CHECK(r != 0);
        FZ_CHECK(out == out_before);  // a refused call writes nothing
        FZ_CHECK(b == before);
        return;
    }
    FZ_CHECK(r == 0);
    if (o.separate) FZ_CHECK(b == before);  // the source stays as it was
    FZ_CHECK(out == reference);
}

// A header conversion: exactly one header, and its reference.
template <class H>
void header_op(const fz::Input& in, const Options& o, const Widths& w, bool expect_ok, int (*convert)(const H*, H*)) {
    static_assert(sizeof(H) <= 108, "headers are small");
    FZ_CHECK(total(w) == sizeof(H));
    if (in.size < sizeof(H)) return;
    Block b = block_of(in, sizeof(H));
    Block ref = b;
    ref_fields(ref.data(), w);
    check_conversion(b, 0, o, expect_ok, ref, [&](uint8_t* s, uint8_t* d) {
        return convert(reinterpret_cast<const H*>(s), reinterpret_cast<H*>(d));
    });
}

// The expected block after a whole-record conversion of `length` bytes:
// header fields and body words reversed, bytes past the record untouched
// (in place) or left as the destination held them.
Block record_reference(const Block& b, const Options& o, const Widths& w, size_t length) {
    Block ref = o.separate ? Block(b.size(), 0xa5) : b;
    std::memcpy(ref.data(), b.data(), length);
    ref_fields(ref.data(), w);
    ref_words(ref.data() + total(w), length - total(w));
    return ref;
}

// ---- Operations ------------------------------------------------------------------

void op_swap4(const fz::Input& in, const Options& o) {
    const int count = static_cast<int>(std::min<size_t>(in.size, kMaxRecord) / 4);
    if (count == 0) return;
    Block b = block_of(in, 4 * static_cast<size_t>(count));
    Block ref = b;
    ref_words(ref.data(), ref.size());
    check_conversion(b, 0, o, true, ref, [&](uint8_t* s, uint8_t* d) {
        kbr7_swap4(s, d, count);
        return 0;
    });
}

// The two event-header layouts convert only under their own generation.
void op_event_head36(const fz::Input& in, const Options& o) {
    header_op<kbr7_eventheader>(in, o, kEvent36, !is_data_format_2024(), kbr7_convert_event_head);
}
void op_event_head48(const fz::Input& in, const Options& o) {
    header_op<kbr7_eventheader_2024>(in, o, kEvent48, is_data_format_2024(), kbr7_convert_event_head);
}
void op_slow_head(const fz::Input& in, const Options& o) {
    header_op<kbr7_daq_slow_data_header>(in, o, kSlow, true, kbr7_convert_slow_data_head);
}
void op_image_head(const fz::Input& in, const Options& o) {
    header_op<kbr7_image_head>(in, o, kImageHead, true, kbr7_convert_image_head);
}
void op_frame_head(const fz::Input& in, const Options& o) {
    header_op<kbr7_image_ext_frame_head>(in, o, kFrame, true, kbr7_convert_image_head);
}
void op_image_ext_head(const fz::Input& in, const Options& o) {
    header_op<kbr7_image_ext_frame_head>(in, o, kFrame, true, kbr7_convert_image_ext_head);
}
void op_spect_head(const fz::Input& in, const Options& o) {
    header_op<kbr7_spect_intro>(in, o, kSpectIntro, true, kbr7_convert_spect_head);
}

// Whole events.  `peer_order`: the header travels in the other order
// (kbr7_convert_event) instead of the host's (kbr7_convert_event_hton).
void event_record(const fz::Input& raw, const Options& o, bool peer_order) {
    const bool is_2024 = is_data_format_2024();
    const Widths& w = is_2024 ? kEvent48 : kEvent36;
    const size_t head = total(w);
    const Fitted f = fit(raw, o, is_2024 ? 8 : 4, is_2024 ? 8 : 4, peer_order);
    const fz::Input& in = f.in;
    const bool bounded = !peer_order && o.alt;
    // A bounded call gets the input as it is, even shorter than a header;
    // otherwise the block is the record, as the function relies on.
    if (in.size < head && !bounded) return;
    const bool whole_head = in.size >= head;
    uint32_t length = 0;
    if (whole_head)
        length = is_2024 ? load64_low(in.data + 8, peer_order)
                         : (peer_order ? load32_reversed(in.data + 4) : load32(in.data + 4));
    const size_t n =
        bounded ? std::max<size_t>(1, std::min<size_t>(in.size, kMaxRecord)) : std::max<size_t>(head, length);
    if (n > kMaxRecord) return;
    Block b = block_of(in, n);
    const bool ok = whole_head && length >= head && length <= n;
    const Block ref = ok ? record_reference(b, o, w, length) : Block();
    const int bound = bounded ? static_cast<int>(n) : -1;
    check_conversion(b, 0, o, ok, ref, [&](uint8_t* s, uint8_t* d) {
        return peer_order ? kbr7_convert_event(s, d) : kbr7_convert_event_hton(s, d, bound);
    });
    if (!ok || peer_order || o.separate) return;
    // What a sender converted, a receiver converts back.
    FZ_CHECK(kbr7_convert_event(b.data(), b.data()) == 0);
    FZ_CHECK(b == block_of(in, n));
}
void op_event_hton(const fz::Input& in, const Options& o) { event_record(in, o, false); }
void op_event(const fz::Input& in, const Options& o) { event_record(in, o, true); }

// The body behind a host-order slow-data header.  The destination, when
// separate, is a body-sized block with no header in front.
void op_slow_block_hton(const fz::Input& raw, const Options& o) {
    constexpr size_t head = sizeof(kbr7_daq_slow_data_header);
    const Fitted f = fit(raw, o, 4, 4, false);
    const fz::Input& in = f.in;
    if (in.size < head) return;
    const uint32_t length = load32(in.data + 4);
    const uint32_t pattern = o.alt ? load32(in.data) : load32(in.data + 8);
    const size_t body = length > head ? length - head : 0;
    if (body > kMaxRecord) return;
    Block b = block_of(in, head + body);
    // An empty separate block would have no address to pass.
    const bool separate = o.separate && body > 0;
    Block out(body, 0xa5);
    const Block b_before = b;
    const Block out_before = out;
    uint8_t* dst = separate ? out.data() : b.data() + head;
    const int r = kbr7_convert_slow_data_block_hton(b.data() + head, dst, load32(in.data + 8), pattern);
    const bool ok = length >= head && pattern == load32(in.data);
    if (!ok) {
        FZ_CHECK(r != 0);
        FZ_CHECK(b == b_before && out == out_before);
        return;
    }
    FZ_CHECK(r == 0);
    Block ref(b_before.begin() + head, b_before.end());
    ref_words(ref.data(), ref.size());
    FZ_CHECK(std::equal(ref.begin(), ref.end(), dst));
    FZ_CHECK(std::equal(b_before.begin(), b_before.begin() + head, b.begin()));
    if (separate) return;
    // Header after body, as a sender does; the receiver's conversion of the
    // whole record then gives back the original.
    auto* h = reinterpret_cast<kbr7_daq_slow_data_header*>(b.data());
    FZ_CHECK(kbr7_convert_slow_data_head(h, h) == 0);
    FZ_CHECK(kbr7_convert_slow_data(b.data(), b.data()) == 0);
    FZ_CHECK(b == b_before);
}

// A whole received slow-data record, its header in the other order.
void op_slow_data(const fz::Input& raw, const Options& o) {
    constexpr size_t head = sizeof(kbr7_daq_slow_data_header);
    const Fitted f = fit(raw, o, 4, 4, true);
    const fz::Input& in = f.in;
    if (in.size < head) return;
    const uint32_t length = load32_reversed(in.data + 4);
    const size_t n = std::max<size_t>(head, length);
    if (n > kMaxRecord) return;
    Block b = block_of(in, n);
    const bool ok = length >= head;
    const Block ref = ok ? record_reference(b, o, kSlow, length) : Block();
    check_conversion(b, 0, o, ok, ref, [](uint8_t* s, uint8_t* d) { return kbr7_convert_slow_data(s, d); });
}

// The data behind an already converted image header: behind the 8-byte
// intro its first 100 bytes are the frame header and are converted, behind
// the 100-byte frame header nothing is.  Pixels are never touched.
void image_data(const fz::Input& raw, const Options& o, int block_type, size_t head) {
    const Fitted f = fit(raw, o, head - 4, 4, true);
    const fz::Input& in = f.in;
    if (in.size < head) return;
    const uint32_t field = load32_reversed(in.data + head - 4);
    const bool frame_in_data = block_type == KBR7_BLOCK_IMAGE;
    // A negative frame-header length is no length at all.
    const uint32_t length = !frame_in_data && field > INT32_MAX ? 0 : field;
    const size_t data = length > head ? length - head : 0;
    if (data > kMaxRecord) return;
    Block b = block_of(in, head + data);
    const size_t frame = sizeof(kbr7_image_ext_frame_head);
    const bool ok = length >= head && (!frame_in_data || data >= frame);
    Block ref;
    if (ok) {
        ref = o.separate ? Block(b.size(), 0xa5) : b;
        std::copy(b.begin() + static_cast<long>(head), b.end(), ref.begin() + static_cast<long>(head));
        if (frame_in_data) ref_fields(ref.data() + head, kFrame);
    }
    check_conversion(b, head, o, ok, ref, [&](uint8_t* s, uint8_t* d) {
        return kbr7_convert_data(s, d, block_type, static_cast<int>(head));
    });
}
void op_image_data(const fz::Input& in, const Options& o) { image_data(in, o, KBR7_BLOCK_IMAGE, 8); }
void op_image_ext_data(const fz::Input& in, const Options& o) {
    image_data(in, o, KBR7_BLOCK_IMAGE_EXT, sizeof(kbr7_image_ext_frame_head));
}

// Any other block type or header length is refused before a byte is read
// in front of the data or written anywhere.
void op_data_refused(const fz::Input& in, const Options& o) {
    if (in.size < 8) return;
    const int block_type = static_cast<int>(load32(in.data));
    const int header_length = static_cast<int>(load32(in.data + 4));
    if ((block_type == KBR7_BLOCK_IMAGE && header_length == 8) ||
        (block_type == KBR7_BLOCK_IMAGE_EXT && header_length == 100))
        return;
    fz::Input rest{in.flags, in.data + 8, in.size - 8};
    // Never empty, so that there is a real address to pass.
    Block b = block_of(rest, std::max<size_t>(1, std::min<size_t>(rest.size, kMaxRecord)));
    check_conversion(b, 0, o, false, Block(),
                     [&](uint8_t* s, uint8_t* d) { return kbr7_convert_data(s, d, block_type, header_length); });
}

// Texts exist for every value; the generation flags follow their rules.
void op_texts_and_generation(const fz::Input& in, const Options&) {
    if (in.size >= 4) FZ_CHECK(std::strlen(kbr7_get_convert_error(static_cast<int>(load32(in.data)))) > 0);
    bool f2010 = is_data_format_2010(), f2024 = is_data_format_2024();
    for (size_t k = 0; k < in.size && k < 64; ++k) {
        const int flag = in.data[k] & 1;
        if (in.data[k] & 2) {
            set_data_format_2024(flag);
            f2024 = flag != 0;
        } else {
            set_data_format_2010(flag);
            f2010 = flag != 0;
            f2024 = false;
        }
        FZ_CHECK(is_data_format_2024() == f2024);
        FZ_CHECK(is_data_format_2010() == (f2010 && !f2024));
    }
}

using Op = void (*)(const fz::Input&, const Options&);
const Op kOps[] = {
    op_swap4,      op_event_head36,   op_event_head48,    op_slow_head,
    op_image_head, op_frame_head,     op_image_ext_head,  op_spect_head,
    op_event_hton, op_event,          op_slow_block_hton, op_slow_data,
    op_image_data, op_image_ext_data, op_data_refused,    op_texts_and_generation,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const unsigned op = data[0] % (sizeof kOps / sizeof kOps[0]);
    const unsigned opt = data[1];
    const Options o{opt & 3u, (opt & 4u) != 0, (opt & 8u) != 0, (opt & 16u) != 0, static_cast<int>(opt >> 5) - 4};
    set_data_format_2010(o.generation == 1 ? 1 : 0);
    set_data_format_2024(o.generation >= 2 ? 1 : 0);
    const fz::Input in{opt, data + 2, size - 2};
    kOps[op](in, o);
    return 0;
}
