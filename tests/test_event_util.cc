// Record conversion and data-format generation of the event utilities.
//
// Buffers are std::vector<unsigned char> of exactly the record's size, so
// AddressSanitizer reports any byte touched beyond a record.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Bytes.h"
#include "event_util.h"

namespace {

using tt::Bytes;
using tt::host_is_little_endian;

// A field whose bytes are reversed on the wire.
struct Span {
    size_t offset;
    size_t width;
};

// Distinct neighbouring bytes, so reversing any word changes it.
Bytes filled(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 37 + 11);
    return b;
}

void put32(Bytes& b, size_t off, uint32_t v) { std::memcpy(&b[off], &v, 4); }
void put64(Bytes& b, size_t off, uint64_t v) { std::memcpy(&b[off], &v, 8); }

std::vector<Span> words(size_t from, size_t to) {
    std::vector<Span> s;
    for (size_t off = from; off + 4 <= to; off += 4) s.push_back({off, 4});
    return s;
}

std::vector<Span> operator+(std::vector<Span> a, const std::vector<Span>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What a record looks like in the other byte order, by the test's own
// reckoning of which fields are reversed.
Bytes reversed_spans(Bytes b, const std::vector<Span>& spans) {
    for (const Span& s : spans) std::reverse(b.begin() + s.offset, b.begin() + s.offset + s.width);
    return b;
}

void select_generation(kbr7_data_format g) {
    switch (g) {
        case KBR7_FORMAT_LEGACY: set_data_format_2010(0); break;
        case KBR7_FORMAT_2010: set_data_format_2010(1); break;
        case KBR7_FORMAT_2024: set_data_format_2024(1); break;
    }
}

const char* generation_name(kbr7_data_format g) {
    switch (g) {
        case KBR7_FORMAT_LEGACY: return "legacy";
        case KBR7_FORMAT_2010: return "2010";
        default: return "2024";
    }
}

const std::vector<kbr7_data_format> kAllGenerations = {KBR7_FORMAT_LEGACY, KBR7_FORMAT_2010, KBR7_FORMAT_2024};

// Calls a typed header conversion on byte images.
template <typename Head, typename Fn>
int convert_head_bytes(Fn fn, const unsigned char* src, unsigned char* dst) {
    Head in;
    std::memcpy(&in, src, sizeof in);
    auto out = std::make_unique<Head>();  // exactly one header on the heap
    int rc = fn(&in, out.get());
    std::memcpy(dst, out.get(), sizeof(Head));
    return rc;
}

// ---- Records -------------------------------------------------------------------

Bytes event_record(uint32_t pattern, uint32_t length) {
    Bytes b = filled(length);
    put32(b, offsetof(kbr7_eventheader, pattern), pattern);
    put32(b, offsetof(kbr7_eventheader, event_length), length);
    return b;
}

Bytes event_2024_record(uint32_t length, uint32_t high_length_bits) {
    Bytes b = filled(length);
    put32(b, offsetof(kbr7_eventheader_2024, pattern), KBR7_PATTERN_2024);
    put64(b, offsetof(kbr7_eventheader_2024, event_length), (uint64_t{high_length_bits} << 32) | length);
    return b;
}

Bytes slow_record(uint32_t pattern, uint32_t length, uint32_t channels) {
    Bytes b = filled(length);
    put32(b, offsetof(kbr7_daq_slow_data_header, pattern), pattern);
    put32(b, offsetof(kbr7_daq_slow_data_header, data_length), length);
    put32(b, offsetof(kbr7_daq_slow_data_header, channels_number), channels);
    return b;
}

// 8-byte intro, 100-byte frame header, pixels.
Bytes image_record(uint32_t length) {
    Bytes b = filled(length);
    put32(b, offsetof(kbr7_image_head, pattern), KBR7_PATTERN_2010);
    put32(b, offsetof(kbr7_image_head, length), length);
    put32(b, offsetof(kbr7_image_ext_intro, head.length), length);
    return b;
}

// 100-byte frame header, pixels.
Bytes image_ext_record(uint32_t length) {
    Bytes b = filled(length);
    put32(b, offsetof(kbr7_image_ext_frame_head, length), length);
    return b;
}

Bytes spect_intro() {
    Bytes b = filled(sizeof(kbr7_spect_intro));
    put32(b, offsetof(kbr7_spect_intro, intro.pattern), KBR7_PATTERN_2024);
    put32(b, offsetof(kbr7_spect_intro, intro.length), 56 + 40);
    return b;
}

const std::vector<Span> kEvent2024Spans = std::vector<Span>{{0, 4}, {4, 4}, {8, 8}, {16, 8}} + words(24, 48);

// ---- Sender and receiver steps, as the link makes them ---------------------

using RecordStep = int (*)(unsigned char* record);
using HeadStep = int (*)(const unsigned char* host, unsigned char* out);

int send_event(unsigned char* r) { return kbr7_convert_event_hton(r, r, -1); }
int receive_event(unsigned char* r) { return kbr7_convert_event(r, r); }

int event_head(const unsigned char* h, unsigned char* out) {
    return convert_head_bytes<kbr7_eventheader>(
        [](const kbr7_eventheader* s, kbr7_eventheader* d) { return kbr7_convert_event_head(s, d); }, h, out);
}

int event_2024_head(const unsigned char* h, unsigned char* out) {
    return convert_head_bytes<kbr7_eventheader_2024>(
        [](const kbr7_eventheader_2024* s, kbr7_eventheader_2024* d) { return kbr7_convert_event_head(s, d); }, h, out);
}

int send_slow(unsigned char* r) {
    kbr7_daq_slow_data_header copy;
    std::memcpy(&copy, r, sizeof copy);
    auto* head = reinterpret_cast<kbr7_daq_slow_data_header*>(r);
    return kbr7_convert_slow_data_block_hton(r + 12, r + 12, copy.channels_number, copy.pattern) +
           kbr7_convert_slow_data_head(head, head);
}

int receive_slow(unsigned char* r) { return kbr7_convert_slow_data(r, r); }

int slow_head(const unsigned char* h, unsigned char* out) {
    return convert_head_bytes<kbr7_daq_slow_data_header>(kbr7_convert_slow_data_head, h, out);
}

int send_image(unsigned char* r) {
    auto* intro = reinterpret_cast<kbr7_image_head*>(r);
    return kbr7_convert_image_head(intro, intro) + kbr7_convert_data(r + 8, r + 8, KBR7_BLOCK_IMAGE, 8);
}

// The image receiver reverses the pattern while scanning and the length with
// kbr7_swap4, then converts the frame header behind the intro.
int receive_image(unsigned char* r) {
    kbr7_swap4(r, r, 2);
    auto* frame = reinterpret_cast<kbr7_image_ext_frame_head*>(r + 8);
    return kbr7_convert_image_head(frame, frame);
}

int image_head(const unsigned char* h, unsigned char* out) {
    return convert_head_bytes<kbr7_image_head>(
        [](const kbr7_image_head* s, kbr7_image_head* d) { return kbr7_convert_image_head(s, d); }, h, out);
}

int send_image_ext(unsigned char* r) {
    auto* frame = reinterpret_cast<kbr7_image_ext_frame_head*>(r);
    return kbr7_convert_image_ext_head(frame, frame) + kbr7_convert_data(r + 100, r + 100, KBR7_BLOCK_IMAGE_EXT, 100);
}

int receive_image_ext(unsigned char* r) {
    auto* frame = reinterpret_cast<kbr7_image_ext_frame_head*>(r);
    return kbr7_convert_image_head(frame, frame);
}

int image_ext_head(const unsigned char* h, unsigned char* out) {
    return convert_head_bytes<kbr7_image_ext_frame_head>(kbr7_convert_image_ext_head, h, out);
}

int convert_spect(unsigned char* r) {
    auto* intro = reinterpret_cast<kbr7_spect_intro*>(r);
    return kbr7_convert_spect_head(intro, intro);
}

struct RecordCase {
    std::string name;
    std::vector<kbr7_data_format> generations;
    Bytes host;
    std::vector<Span> wire_spans;  // fields reversed on the wire
    HeadStep head;                 // sender's separate header copy, if any
    size_t head_size;
    RecordStep send;
    RecordStep receive;
};

std::vector<RecordCase> record_cases() {
    return {
        {"legacy event, word body",
         {KBR7_FORMAT_LEGACY},
         event_record(KBR7_PATTERN_LEGACY, 36 + 20),
         words(0, 56),
         event_head,
         36,
         send_event,
         receive_event},
        {"2010 event, 3 trailing bytes",
         {KBR7_FORMAT_2010},
         event_record(KBR7_PATTERN_2010, 36 + 23),
         words(0, 56),
         event_head,
         36,
         send_event,
         receive_event},
        {"2010 event, header only",
         {KBR7_FORMAT_2010},
         event_record(KBR7_PATTERN_2010, 36),
         words(0, 36),
         event_head,
         36,
         send_event,
         receive_event},
        {"2024 event, 2 trailing bytes",
         {KBR7_FORMAT_2024},
         event_2024_record(48 + 18, 0),
         kEvent2024Spans + words(48, 64),
         event_2024_head,
         48,
         send_event,
         receive_event},
        {"2024 event, length beyond 32 bits",
         {KBR7_FORMAT_2024},
         event_2024_record(48 + 16, 7),
         kEvent2024Spans + words(48, 64),
         event_2024_head,
         48,
         send_event,
         receive_event},
        {"legacy slow data, 2 trailing bytes", kAllGenerations, slow_record(KBR7_PATTERN_SLOW, 12 + 26, 6),
         words(0, 36), slow_head, 12, send_slow, receive_slow},
        {"2024 slow data", kAllGenerations, slow_record(KBR7_PATTERN_SLOW_2024, 12 + 32, 8), words(0, 44), slow_head,
         12, send_slow, receive_slow},
        {"image: intro, frame header, raw pixels", kAllGenerations, image_record(8 + 100 + 13), words(0, 108),
         image_head, 8, send_image, receive_image},
        {"image behind a frame header, raw pixels", kAllGenerations, image_ext_record(100 + 10), words(0, 100),
         image_ext_head, 100, send_image_ext, receive_image_ext},
        {"spectrum intro", kAllGenerations, spect_intro(), words(0, 56), nullptr, 0, convert_spect, convert_spect},
    };
}

// Host -> peer with the sender's calls gives the expected wire image; the
// sender's separate header conversion agrees with it; peer -> host with the
// receiver's calls restores the record.
TEST(EventUtilRoundTrip, EveryRecordKindInEveryGeneration) {
    for (const RecordCase& c : record_cases()) {
        for (kbr7_data_format g : c.generations) {
            SCOPED_TRACE(c.name + " / " + generation_name(g));
            select_generation(g);
            Bytes wire = c.host;
            ASSERT_EQ(0, c.send(wire.data()));
            EXPECT_EQ(reversed_spans(c.host, c.wire_spans), wire);
            if (c.head != nullptr) {
                Bytes head(c.head_size);
                ASSERT_EQ(0, c.head(c.host.data(), head.data()));
                EXPECT_TRUE(std::equal(head.begin(), head.end(), wire.begin()));
            }
            ASSERT_EQ(0, c.receive(wire.data()));
            EXPECT_EQ(c.host, wire);
        }
    }
}

// With distinct source and destination the record is copied through and
// converted there; the source stays as it was.
TEST(EventUtilRoundTrip, SeparateDestinationMatchesInPlace) {
    struct Case {
        const char* name;
        kbr7_data_format generation;
        Bytes record;
        size_t skip;  // bytes before the converted part (a header already done)
        int (*convert)(void* src, void* dst);
    };
    const std::vector<Case> cases = {
        {"event hton", KBR7_FORMAT_2024, event_2024_record(48 + 22, 0), 0,
         [](void* s, void* d) { return kbr7_convert_event_hton(s, d, -1); }},
        {"received event", KBR7_FORMAT_2010, reversed_spans(event_record(KBR7_PATTERN_2010, 36 + 9), words(0, 36)), 0,
         kbr7_convert_event},
        {"received slow data", KBR7_FORMAT_LEGACY,
         reversed_spans(slow_record(KBR7_PATTERN_SLOW, 12 + 9, 2), words(0, 12)), 0, kbr7_convert_slow_data},
        {"slow-data body", KBR7_FORMAT_LEGACY, slow_record(KBR7_PATTERN_SLOW, 12 + 9, 2), 12,
         [](void* s, void* d) { return kbr7_convert_slow_data_block_hton(s, d, 2, KBR7_PATTERN_SLOW); }},
        {"image data", KBR7_FORMAT_LEGACY, reversed_spans(image_record(8 + 100 + 5), words(0, 8)), 8,
         [](void* s, void* d) { return kbr7_convert_data(s, d, KBR7_BLOCK_IMAGE, 8); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        select_generation(c.generation);
        Bytes src = c.record;
        Bytes dst(c.record.size() - c.skip, 0);
        ASSERT_EQ(0, c.convert(src.data() + c.skip, dst.data()));
        EXPECT_EQ(c.record, src);
        Bytes in_place = c.record;
        ASSERT_EQ(0, c.convert(in_place.data() + c.skip, in_place.data() + c.skip));
        EXPECT_TRUE(std::equal(dst.begin(), dst.end(), in_place.begin() + c.skip));
    }
}

// ---- Known byte images -------------------------------------------------------

template <typename T>
Bytes bytes_of(const T& v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

kbr7_eventheader_2024 sample_2024_header() {
    kbr7_eventheader_2024 h{};
    h.pattern = KBR7_PATTERN_2024;
    h.event_type = KBR7_EV_IMAGE;
    h.event_length = 0x0000000100000040;
    h.event_number = 0x0102030405060708;
    h.event_time = {0x11223344, 0x55667788};
    h.tmask = -2;
    h.status = 0x0a0b0c0d;
    h.num_svr_block = 3;
    h.alignment = 0xdeadbeef;
    return h;
}

kbr7_eventheader sample_2010_header() {
    kbr7_eventheader h{};
    h.pattern = KBR7_PATTERN_2010;
    h.event_length = 0x24;
    h.event_number = 0x01020304;
    h.event_type = KBR7_EV_NORMAL;
    h.event_time = {1, 0x80000002};
    h.tmask = 0x10203040;
    h.status = -1;
    h.num_svr_block = 5;
    return h;
}

kbr7_spect_intro sample_spect_intro() {
    kbr7_spect_intro s{};
    s.intro.length = 0x100;
    s.head.i = 7;
    s.head.f1 = 1.0f;
    s.head.inc = -2.0f;
    s.head.error = -3;
    return s;
}

// The big-endian member of each (host, converted) pair equals the image
// written out by hand from the field offsets: the converted one on a
// little-endian host, the host one on a big-endian host.
TEST(EventUtilByteImage, HeadersMatchHandWrittenBigEndian) {
    struct Case {
        const char* name;
        kbr7_data_format generation;
        Bytes host;
        Bytes expected;
        HeadStep convert;
    };
    const std::vector<Case> cases = {
        {"2024 event header",
         KBR7_FORMAT_2024,
         bytes_of(sample_2024_header()),
         {0xff, 0xcc, 0xff, 0xcc, 0x00, 0x00, 0x00, 0x06,   // pattern, type
          0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40,   // event_length
          0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,   // event_number
          0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,   // event_time
          0xff, 0xff, 0xff, 0xfe, 0x0a, 0x0b, 0x0c, 0x0d,   // tmask, status
          0x00, 0x00, 0x00, 0x03, 0xde, 0xad, 0xbe, 0xef},  // blocks, alignment
         event_2024_head},
        {"2010 event header",
         KBR7_FORMAT_2010,
         bytes_of(sample_2010_header()),
         {0xff, 0xee, 0xff, 0xdd, 0x00, 0x00, 0x00, 0x24,  // pattern, length
          0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x01,  // number, type
          0x00, 0x00, 0x00, 0x01, 0x80, 0x00, 0x00, 0x02,  // event_time
          0x10, 0x20, 0x30, 0x40, 0xff, 0xff, 0xff, 0xff,  // tmask, status
          0x00, 0x00, 0x00, 0x05},                         // num_svr_block
         event_head},
        {"slow-data header",
         KBR7_FORMAT_LEGACY,
         bytes_of(kbr7_daq_slow_data_header{KBR7_PATTERN_SLOW_2024, 44, 8}),
         {0xff, 0xee, 0xff, 0xff, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x08},
         slow_head},
        {"spectrum intro",
         KBR7_FORMAT_LEGACY,
         bytes_of(sample_spect_intro()),
         {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,   // pattern, length
          0x00, 0x00, 0x00, 0x07, 0x3f, 0x80, 0x00, 0x00,   // i, f1
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,   // f2, f3
          0x00, 0x00, 0x00, 0x00, 0xc0, 0x00, 0x00, 0x00,   // start, inc
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,   // usec, sec
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,   // bnum, bnum_req
          0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xfd},  // event_nm, error
         [](const unsigned char* h, unsigned char* out) {
             return convert_head_bytes<kbr7_spect_intro>(kbr7_convert_spect_head, h, out);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        select_generation(c.generation);
        Bytes out(c.host.size());
        ASSERT_EQ(0, c.convert(c.host.data(), out.data()));
        EXPECT_EQ(c.expected, host_is_little_endian() ? out : c.host);
        EXPECT_NE(c.host, out);
    }
}

TEST(EventUtilByteImage, Swap4ReversesEachWordAtAnyAlignment) {
    Bytes b = {0xaa, 1, 2, 3, 4, 5, 6, 7, 8, 0xbb};
    kbr7_swap4(b.data() + 1, b.data() + 1, 2);
    EXPECT_EQ((Bytes{0xaa, 4, 3, 2, 1, 8, 7, 6, 5, 0xbb}), b);
    Bytes out(4, 0);
    kbr7_swap4(b.data() + 1, out.data(), 1);
    EXPECT_EQ((Bytes{1, 2, 3, 4}), out);

    const Bytes before = b;
    kbr7_swap4(b.data(), b.data(), 0);
    kbr7_swap4(b.data(), b.data(), -1);
    kbr7_swap4(nullptr, b.data(), 1);
    kbr7_swap4(b.data(), nullptr, 1);
    EXPECT_EQ(before, b);
}

// ---- Refusals -----------------------------------------------------------------

// Fields of records that arrive are in the peer's order.
uint32_t peer32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t peer64(uint64_t v) { return __builtin_bswap64(v); }

Bytes with32(Bytes b, size_t off, uint32_t v) {
    put32(b, off, v);
    return b;
}

Bytes with64(Bytes b, size_t off, uint64_t v) {
    put64(b, off, v);
    return b;
}

int hton_unbounded(unsigned char* b, int) { return kbr7_convert_event_hton(b, b, -1); }
int hton_bounded(unsigned char* b, int n) { return kbr7_convert_event_hton(b, b, n); }
int received_event(unsigned char* b, int) { return kbr7_convert_event(b, b); }
int received_slow(unsigned char* b, int) { return kbr7_convert_slow_data(b, b); }
int slow_body(unsigned char* b, int) { return kbr7_convert_slow_data_block_hton(b + 12, b + 12, 2, KBR7_PATTERN_SLOW); }
int image_data(unsigned char* b, int) { return kbr7_convert_data(b + 8, b + 8, KBR7_BLOCK_IMAGE, 8); }
int image_ext_data(unsigned char* b, int) { return kbr7_convert_data(b + 100, b + 100, KBR7_BLOCK_IMAGE_EXT, 100); }

// An 8-byte intro already in the peer's order, followed by `n` - 8 bytes.
Bytes converted_intro(uint32_t n, uint32_t length) {
    return with32(with32(filled(n), 0, peer32(KBR7_PATTERN_2010)), 4, peer32(length));
}

constexpr size_t kLen = offsetof(kbr7_eventheader, event_length);
constexpr size_t kLen2024 = offsetof(kbr7_eventheader_2024, event_length);
constexpr size_t kSlowLen = offsetof(kbr7_daq_slow_data_header, data_length);
constexpr size_t kFrameLen = offsetof(kbr7_image_ext_frame_head, length);

// Every refusal writes nothing; buffers are exactly as large as the caller
// says, so a read or write past them is caught by AddressSanitizer.
TEST(EventUtilRefusal, HostileLengthsAndArgumentsTouchNothing) {
    struct Case {
        const char* name;
        kbr7_data_format generation;
        Bytes buffer;
        int (*call)(unsigned char* buffer, int size);
        int expected;
    };
    const int kShort = KBR7_CONV_ERR_SHORT_LENGTH;
    const std::vector<Case> cases = {
        {"event, length 0", KBR7_FORMAT_LEGACY, with32(event_record(KBR7_PATTERN_LEGACY, 36), kLen, 0), hton_unbounded,
         kShort},
        {"event, length below header", KBR7_FORMAT_2010, with32(event_record(KBR7_PATTERN_2010, 36), kLen, 35),
         hton_unbounded, kShort},
        {"2024 event, length below header", KBR7_FORMAT_2024, with64(event_2024_record(48, 0), kLen2024, 47),
         hton_unbounded, kShort},
        {"2024 event, length only in the high 32 bits", KBR7_FORMAT_2024,
         with64(event_2024_record(48, 0), kLen2024, uint64_t{1} << 32), hton_unbounded, kShort},
        {"event, length beyond the caller's bound", KBR7_FORMAT_2010,
         with32(event_record(KBR7_PATTERN_2010, 60), kLen, 61), hton_bounded, KBR7_CONV_ERR_BEYOND_BOUND},
        {"2024 event, bound below header", KBR7_FORMAT_2024, with32(filled(40), 0, KBR7_PATTERN_2024), hton_bounded,
         kShort},
        {"received event, length 0", KBR7_FORMAT_2010, with32(filled(36), kLen, 0), received_event, kShort},
        {"received 2024 event, length below header", KBR7_FORMAT_2024, with64(filled(48), kLen2024, peer64(20)),
         received_event, kShort},
        {"slow-data body, length below header", KBR7_FORMAT_LEGACY,
         with32(slow_record(KBR7_PATTERN_SLOW, 20, 2), kSlowLen, 11), slow_body, kShort},
        {"slow-data body, pattern not its header's", KBR7_FORMAT_LEGACY, slow_record(KBR7_PATTERN_SLOW_2024, 20, 2),
         slow_body, KBR7_CONV_ERR_PATTERN},
        {"received slow data, length below header", KBR7_FORMAT_LEGACY, with32(filled(12), kSlowLen, peer32(8)),
         received_slow, kShort},
        {"image, record too short for the frame header", KBR7_FORMAT_LEGACY, converted_intro(107, 107), image_data,
         kShort},
        {"image, intro length below intro", KBR7_FORMAT_LEGACY, converted_intro(112, 4), image_data, kShort},
        {"image ext, frame length below header", KBR7_FORMAT_LEGACY, with32(filled(110), kFrameLen, peer32(99)),
         image_ext_data, kShort},
        {"image ext, negative frame length", KBR7_FORMAT_LEGACY, with32(filled(110), kFrameLen, peer32(0xffffff00u)),
         image_ext_data, kShort},
        {"data of an unknown block type", KBR7_FORMAT_LEGACY, converted_intro(120, 120),
         [](unsigned char* b, int) { return kbr7_convert_data(b + 8, b + 8, KBR7_BLOCK_BPM, 8); },
         KBR7_CONV_ERR_BLOCK_TYPE},
        {"image data with the wrong header length", KBR7_FORMAT_LEGACY, converted_intro(120, 120),
         [](unsigned char* b, int) { return kbr7_convert_data(b + 8, b + 8, KBR7_BLOCK_IMAGE, 100); },
         KBR7_CONV_ERR_HEADER_LENGTH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        select_generation(c.generation);
        Bytes buf = c.buffer;
        EXPECT_EQ(c.expected, c.call(buf.data(), static_cast<int>(buf.size())));
        EXPECT_EQ(c.buffer, buf);
    }
}

TEST(EventUtilRefusal, NullPointers) {
    using Call = int (*)();
    const std::vector<Call> calls = {
        [] {
            kbr7_eventheader h{};
            return kbr7_convert_event_head(&h, nullptr);
        },
        [] {
            kbr7_eventheader_2024 h{};
            return kbr7_convert_event_head(nullptr, &h);
        },
        [] {
            kbr7_daq_slow_data_header h{};
            return kbr7_convert_slow_data_head(nullptr, &h);
        },
        [] {
            kbr7_image_head h{};
            return kbr7_convert_image_head(&h, nullptr);
        },
        [] {
            kbr7_image_ext_frame_head h{};
            return kbr7_convert_image_head(nullptr, &h);
        },
        [] {
            kbr7_image_ext_frame_head h{};
            return kbr7_convert_image_ext_head(&h, nullptr);
        },
        [] {
            kbr7_spect_intro h{};
            return kbr7_convert_spect_head(nullptr, &h);
        },
        [] { return kbr7_convert_event_hton(nullptr, nullptr, -1); },
        [] { return kbr7_convert_event(nullptr, nullptr); },
        [] { return kbr7_convert_slow_data_block_hton(nullptr, nullptr, 0, 0); },
        [] { return kbr7_convert_slow_data(nullptr, nullptr); },
        [] { return kbr7_convert_data(nullptr, nullptr, KBR7_BLOCK_IMAGE, 8); },
    };
    for (kbr7_data_format g : kAllGenerations) {
        select_generation(g);
        for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(KBR7_CONV_ERR_NULL, calls[i]()) << "call " << i;
    }
}

// A header whose type is not the selected generation's (a 36-byte header
// carrying the 2024 pattern, say) is refused before a byte is written, so
// nothing can land beyond the caller's header.
TEST(EventUtilRefusal, EventHeaderOfTheOtherLayoutWritesNothing) {
    auto src36 = std::make_unique<kbr7_eventheader>();
    src36->pattern = KBR7_PATTERN_2024;
    auto dst36 = std::make_unique<kbr7_eventheader>();
    std::memset(dst36.get(), 0x5a, sizeof *dst36);
    const Bytes before36 = bytes_of(*dst36);

    set_data_format_2024(1);
    EXPECT_EQ(KBR7_CONV_ERR_LAYOUT, kbr7_convert_event_head(src36.get(), dst36.get()));
    EXPECT_EQ(before36, bytes_of(*dst36));

    auto src48 = std::make_unique<kbr7_eventheader_2024>();
    auto dst48 = std::make_unique<kbr7_eventheader_2024>();
    std::memset(dst48.get(), 0x5a, sizeof *dst48);
    const Bytes before48 = bytes_of(*dst48);
    for (int flag2010 : {0, 1}) {
        set_data_format_2010(flag2010);
        EXPECT_EQ(KBR7_CONV_ERR_LAYOUT, kbr7_convert_event_head(src48.get(), dst48.get()));
        EXPECT_EQ(before48, bytes_of(*dst48));
    }
}

TEST(EventUtilRefusal, EveryErrorHasItsOwnText) {
    const std::string generic = kbr7_get_convert_error(12345);
    EXPECT_STREQ("no error", kbr7_get_convert_error(KBR7_CONV_OK));
    std::vector<std::string> texts;
    for (int code : {KBR7_CONV_ERR_NULL, KBR7_CONV_ERR_SHORT_LENGTH, KBR7_CONV_ERR_LAYOUT, KBR7_CONV_ERR_BLOCK_TYPE,
                     KBR7_CONV_ERR_HEADER_LENGTH, KBR7_CONV_ERR_BEYOND_BOUND, KBR7_CONV_ERR_PATTERN}) {
        EXPECT_NE(0, code);
        texts.push_back(kbr7_get_convert_error(code));
        EXPECT_NE(generic, texts.back());
    }
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts.end(), std::unique(texts.begin(), texts.end()));
}

// ---- Word runs -------------------------------------------------------------------

// Long enough for the vector loops' main part and tail, at every alignment,
// in place and into a separate buffer.
TEST(EventUtilByteImage, Swap4MatchesWordByWordReversalAtAnyLengthAndAlignment) {
    for (int count = 0; count <= 70; ++count) {
        for (size_t offset = 0; offset < 4; ++offset) {
            SCOPED_TRACE("count " + std::to_string(count) + " offset " + std::to_string(offset));
            const Bytes original = filled(offset + 4 * count + 3);
            const Bytes expected = reversed_spans(original, words(offset, offset + 4 * count));
            Bytes in_place = original;
            kbr7_swap4(in_place.data() + offset, in_place.data() + offset, count);
            EXPECT_EQ(expected, in_place);
            Bytes apart = original;
            kbr7_swap4(original.data() + offset, apart.data() + offset, count);
            EXPECT_EQ(expected, apart);
        }
    }
}

// ---- Gathered records ------------------------------------------------------------

// The two-step path a sender takes: header and fragments copied into a
// buffer of exactly `length` bytes, the rest zero-filled, then converted in
// place. Events are bounded by `length`, which changes nothing unless the
// header's layout is not the selected generation's (there -1 would let the
// call run past the buffer).
int send_event_bounded(unsigned char* r, uint32_t length) {
    return kbr7_convert_event_hton(r, r, static_cast<int>(length));
}
int send_slow_record(unsigned char* r, uint32_t) { return send_slow(r); }
int send_image_record(unsigned char* r, uint32_t) { return send_image(r); }
int send_image_ext_record(unsigned char* r, uint32_t) { return send_image_ext(r); }

using GatherFn = int (*)(const unsigned char* head, const iovec* body, int fragments, void* dst, uint32_t length);

// Calls a typed gather on a header byte image, handing it exactly one header
// on the heap.
template <typename Head, int (*Fn)(const Head*, const iovec*, int, void*, uint32_t)>
int gather_as(const unsigned char* head, const iovec* body, int fragments, void* dst, uint32_t length) {
    auto h = std::make_unique<Head>();
    std::memcpy(h.get(), head, sizeof(Head));
    return Fn(h.get(), body, fragments, dst, length);
}

using GatherPartFn = int (*)(const unsigned char* head, const iovec* body, int fragments, void* dst, uint32_t length,
                             uint32_t from, uint32_t count, kbr7_gather_cursor* cursor);

// Calls a typed windowed gather on a header byte image; the image itself is
// handed over, so that it stays at one address over a record's windows (the
// functions read headers bytewise).
template <typename Head,
          int (*Fn)(const Head*, const iovec*, int, void*, uint32_t, uint32_t, uint32_t, kbr7_gather_cursor*)>
int gather_part_as(const unsigned char* head, const iovec* body, int fragments, void* dst, uint32_t length,
                   uint32_t from, uint32_t count, kbr7_gather_cursor* cursor) {
    return Fn(reinterpret_cast<const Head*>(head), body, fragments, dst, length, from, count, cursor);
}

// Replaces the low 32 bits of a 64-bit field (a 2024 event length).
void put_low32(Bytes& b, size_t off, uint32_t v) {
    uint64_t field;
    std::memcpy(&field, &b[off], 8);
    put64(b, off, (field & ~uint64_t{0xffffffff}) | v);
}

struct GatherKindCase {
    const char* name;
    size_t head_size;
    void (*set_length)(Bytes& head, uint32_t length);  // the header's own length field
    // The length field of the other event layout (the one the generation
    // may impose on this header); nullptr for other kinds.
    void (*set_other_length)(Bytes& head, uint32_t length);
    GatherFn gather;
    int (*two_step_convert)(unsigned char* record, uint32_t length);
    GatherPartFn gather_part;
};

const std::vector<GatherKindCase>& gather_kinds() {
    static const std::vector<GatherKindCase> kinds = {
        {"36-byte event", 36, [](Bytes& h, uint32_t n) { put32(h, kLen, n); },
         [](Bytes& h, uint32_t n) { put_low32(h, kLen2024, n); },
         gather_as<kbr7_eventheader, kbr7_convert_event_gather_hton>, send_event_bounded,
         gather_part_as<kbr7_eventheader, kbr7_convert_event_gather_hton_part>},
        {"48-byte event", 48, [](Bytes& h, uint32_t n) { put_low32(h, kLen2024, n); },
         [](Bytes& h, uint32_t n) { put32(h, kLen, n); },
         gather_as<kbr7_eventheader_2024, kbr7_convert_event_gather_hton>, send_event_bounded,
         gather_part_as<kbr7_eventheader_2024, kbr7_convert_event_gather_hton_part>},
        {"slow data", 12, [](Bytes& h, uint32_t n) { put32(h, kSlowLen, n); }, nullptr,
         gather_as<kbr7_daq_slow_data_header, kbr7_convert_slow_data_gather_hton>, send_slow_record,
         gather_part_as<kbr7_daq_slow_data_header, kbr7_convert_slow_data_gather_hton_part>},
        {"image", 8, [](Bytes& h, uint32_t n) { put32(h, offsetof(kbr7_image_head, length), n); }, nullptr,
         gather_as<kbr7_image_head, kbr7_convert_image_gather_hton>, send_image_record,
         gather_part_as<kbr7_image_head, kbr7_convert_image_gather_hton_part>},
        {"image ext", 100, [](Bytes& h, uint32_t n) { put32(h, kFrameLen, n); }, nullptr,
         gather_as<kbr7_image_ext_frame_head, kbr7_convert_image_ext_gather_hton>, send_image_ext_record,
         gather_part_as<kbr7_image_ext_frame_head, kbr7_convert_image_ext_gather_hton_part>},
    };
    return kinds;
}

// A record as a sender holds it: header, fragments (each its own exact-size
// heap block), and the length taken from the header.
struct GatheredRecord {
    const GatherKindCase* kind;
    kbr7_data_format generation;
    Bytes head;
    std::vector<Bytes> fragments;
    uint32_t length;

    std::vector<iovec> iov() const {
        std::vector<iovec> v;
        for (const Bytes& f : fragments)
            v.push_back({f.empty() ? nullptr : const_cast<unsigned char*>(f.data()), f.size()});
        return v;
    }

    size_t body_size() const {
        size_t n = 0;
        for (const Bytes& f : fragments) n += f.size();
        return n;
    }

    std::string describe() const {
        std::string s = std::string(kind->name) + " / " + generation_name(generation) + " / length " +
                        std::to_string(length) + " / fragments";
        for (const Bytes& f : fragments) s += " " + std::to_string(f.size());
        return s;
    }
};

// Destination of exactly `length` bytes (one byte for an empty record, so
// that "nothing written" can be seen), filled with a marker.
struct Destination {
    explicit Destination(uint32_t length)
        : size(std::max<size_t>(length, 1)), bytes(std::make_unique<unsigned char[]>(size)) {
        std::memset(bytes.get(), 0xa5, size);
    }
    Bytes contents() const { return Bytes(bytes.get(), bytes.get() + size); }
    size_t size;
    std::unique_ptr<unsigned char[]> bytes;
};

struct Outcome {
    int result;
    Bytes dst;
};

bool operator==(const Outcome& a, const Outcome& b) { return a.result == b.result && a.dst == b.dst; }

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << "result " << o.result << ", " << o.dst.size() << " bytes";
}

// What the sender's two-step path gives; a record it refuses before
// converting (length below the header, fragments beyond the length) leaves
// the destination untouched.
Outcome two_step(const GatheredRecord& r) {
    Destination d(r.length);
    if (r.length < r.kind->head_size) return {KBR7_CONV_ERR_SHORT_LENGTH, d.contents()};
    if (r.body_size() > r.length - r.kind->head_size) return {KBR7_CONV_ERR_FRAGMENTS, d.contents()};
    Bytes record = r.head;
    for (const Bytes& f : r.fragments) record.insert(record.end(), f.begin(), f.end());
    record.resize(r.length, 0);
    std::memcpy(d.bytes.get(), record.data(), record.size());
    int result = r.kind->two_step_convert(d.bytes.get(), r.length);
    return {result, d.contents()};
}

Outcome one_pass(const GatheredRecord& r) {
    Destination d(r.length);
    std::vector<iovec> iov = r.iov();
    int result = r.kind->gather(r.head.data(), iov.data(), static_cast<int>(iov.size()), d.bytes.get(), r.length);
    return {result, d.contents()};
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<unsigned char>(rng());
    return b;
}

size_t pick(std::mt19937& rng, size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); }

// Random kind, generation, length (below the header now and then, a long
// record now and then), body cut at random points into fragments of any
// size, empty ones included; the body falls short of the length, and now and
// then overflows it.
GatheredRecord random_record(std::mt19937& rng) {
    GatheredRecord r;
    r.kind = &gather_kinds()[pick(rng, 0, gather_kinds().size() - 1)];
    r.generation = kAllGenerations[pick(rng, 0, kAllGenerations.size() - 1)];
    const size_t head_size = r.kind->head_size;
    // Sizes where a conversion changes its mind: the headers, and the image
    // intro with its frame header.
    static const size_t kEdges[] = {8, 12, 36, 48, 100, 108};
    size_t roll = pick(rng, 0, 99);
    if (roll < 8)
        r.length = static_cast<uint32_t>(pick(rng, 0, head_size - 1));
    else if (roll < 30)
        r.length = static_cast<uint32_t>(std::max(head_size, kEdges[pick(rng, 0, 5)] + pick(rng, 0, 8) - 4));
    else if (roll < 32)
        r.length = static_cast<uint32_t>(head_size + pick(rng, 20000, 70000));
    else
        r.length = static_cast<uint32_t>(head_size + pick(rng, 0, 300));

    r.head = random_bytes(rng, head_size);
    if (r.kind->set_other_length != nullptr && pick(rng, 0, 1) == 1)
        r.kind->set_other_length(
            r.head, static_cast<uint32_t>(std::max<long>(0, long{r.length} + long(pick(rng, 0, 40)) - 20)));
    r.kind->set_length(r.head, r.length);

    size_t room = r.length > head_size ? r.length - head_size : 0;
    size_t body = room;
    roll = pick(rng, 0, 99);
    if (roll < 20)
        body = pick(rng, 0, room);
    else if (roll < 25)
        body = room + pick(rng, 1, 9);
    const Bytes content = random_bytes(rng, body);
    std::vector<size_t> cuts = {0, body};
    for (size_t n = pick(rng, 0, 6); n > 0; --n) cuts.push_back(pick(rng, 0, body));
    std::sort(cuts.begin(), cuts.end());
    for (size_t i = 0; i + 1 < cuts.size(); ++i)
        r.fragments.emplace_back(content.begin() + cuts[i], content.begin() + cuts[i + 1]);
    return r;
}

// The one-pass gather writes the same bytes and returns the same result as
// the two-step path, for every kind, generation, length and fragmentation,
// failures included.
TEST(EventUtilGather, OnePassEqualsTwoStepOnRandomRecords) {
    std::mt19937 rng(20240611);
    for (int i = 0; i < 3000; ++i) {
        const GatheredRecord r = random_record(rng);
        SCOPED_TRACE("record " + std::to_string(i) + ": " + r.describe());
        select_generation(r.generation);
        ASSERT_EQ(two_step(r), one_pass(r));
    }
    set_data_format_2010(0);
}

// Refusals of the gather write nothing.
TEST(EventUtilGather, RefusalsWriteNothing) {
    struct Case {
        const char* name;
        int expected;
        int (*call)(void* dst);
    };
    static const kbr7_eventheader head{KBR7_PATTERN_2010, 36 + 8, 1, KBR7_EV_NORMAL, {0, 0}, 0, 0, 0};
    static const unsigned char body[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    static const iovec one{const_cast<unsigned char*>(body), sizeof body};
    static const iovec null_base[2] = {{nullptr, 0}, {nullptr, 1}};
    static const iovec too_long[2] = {{const_cast<unsigned char*>(body), 4}, {const_cast<unsigned char*>(body), 5}};
    const std::vector<Case> cases = {
        {"null header", KBR7_CONV_ERR_NULL,
         [](void* d) {
             return kbr7_convert_event_gather_hton(static_cast<kbr7_eventheader*>(nullptr), &one, 1, d, 44);
         }},
        {"null destination", KBR7_CONV_ERR_NULL,
         [](void*) { return kbr7_convert_event_gather_hton(&head, &one, 1, nullptr, 44); }},
        {"null fragment list", KBR7_CONV_ERR_NULL,
         [](void* d) { return kbr7_convert_event_gather_hton(&head, nullptr, 1, d, 44); }},
        {"null fragment with bytes", KBR7_CONV_ERR_NULL,
         [](void* d) { return kbr7_convert_event_gather_hton(&head, null_base, 2, d, 44); }},
        {"length not the header's", KBR7_CONV_ERR_LENGTH,
         [](void* d) { return kbr7_convert_event_gather_hton(&head, &one, 1, d, 43); }},
        {"fragments beyond the length", KBR7_CONV_ERR_FRAGMENTS,
         [](void* d) { return kbr7_convert_event_gather_hton(&head, too_long, 2, d, 44); }},
    };
    set_data_format_2010(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Destination d(44);
        const Bytes before = d.contents();
        EXPECT_EQ(c.expected, c.call(d.bytes.get()));
        EXPECT_EQ(before, d.contents());
    }
    set_data_format_2010(0);

    const std::string generic = kbr7_get_convert_error(12345);
    for (int code : {KBR7_CONV_ERR_FRAGMENTS, KBR7_CONV_ERR_LENGTH}) {
        for (int other = KBR7_CONV_ERR_LENGTH; other <= KBR7_CONV_OK; ++other) {
            if (other == code) continue;
            EXPECT_STRNE(kbr7_get_convert_error(other), kbr7_get_convert_error(code));
        }
        EXPECT_NE(generic, kbr7_get_convert_error(code));
    }
}

// ---- Records in pieces -------------------------------------------------------------

// Cut points 0 = c0 <= c1 <= ... <= cn = length: the record at once, pieces
// of one size (a byte, odd sizes, whole words, 64 KiB), or random cuts with
// empty pieces now and then.
std::vector<size_t> random_cuts(std::mt19937& rng, size_t length) {
    std::vector<size_t> cuts = {0};
    size_t roll = pick(rng, 0, 9);
    if (roll >= 1 && roll <= 4) {
        static const size_t kSizes[] = {1, 2, 3, 4, 5, 7, 13, 36, 64, 1000, 65536};
        // At most 2000 pieces, so that long records stay quick.
        size_t size = std::max(kSizes[pick(rng, 0, 10)], length / 2000);
        for (size_t at = size; at < length; at += size) cuts.push_back(at);
    } else if (roll >= 5) {
        for (size_t n = pick(rng, 1, 12); n > 0; --n) cuts.push_back(pick(rng, 0, length));
        std::sort(cuts.begin(), cuts.end());
    }
    cuts.push_back(length);
    return cuts;
}

// The body cut again into fragments of 1 to 3 bytes, so that words straddle
// fragments and window edges at once.
GatheredRecord shredded(GatheredRecord r, std::mt19937& rng) {
    Bytes body;
    for (const Bytes& f : r.fragments) body.insert(body.end(), f.begin(), f.end());
    r.fragments.clear();
    for (size_t at = 0; at < body.size();) {
        size_t n = std::min(body.size() - at, pick(rng, 1, 3));
        r.fragments.emplace_back(body.begin() + at, body.begin() + at + n);
        at += n;
    }
    return r;
}

constexpr int kWindowsDisagree = 12345;

// Gathers `r` window by window, each window into its own block of exactly
// its size (filled with the same marker as a Destination), in the given
// order, and lays the blocks side by side. The result is the windows' common
// one, kWindowsDisagree when they differ.
Outcome in_windows(const GatheredRecord& r, const std::vector<size_t>& cuts, const std::vector<size_t>& order,
                   kbr7_gather_cursor* cursor) {
    std::vector<iovec> iov = r.iov();
    Outcome out{0, Destination(r.length).contents()};
    for (size_t k = 0; k < order.size(); ++k) {
        const size_t from = cuts[order[k]], count = cuts[order[k] + 1] - from;
        auto window = std::make_unique<unsigned char[]>(count);
        std::memset(window.get(), 0xa5, count);
        int result = r.kind->gather_part(r.head.data(), iov.data(), static_cast<int>(iov.size()), window.get(),
                                         r.length, static_cast<uint32_t>(from), static_cast<uint32_t>(count), cursor);
        std::copy(window.get(), window.get() + count, out.dst.begin() + static_cast<long>(from));
        if (k == 0) out.result = result;
        if (result != out.result) out.result = kWindowsDisagree;
    }
    return out;
}

// Windows that cover a record, in any sizes and order, with or without a
// cursor (one per record, or one for all records), write what the whole
// call writes and return its result, failures and refusals included.
TEST(EventUtilGatherParts, WindowsWriteWhatTheWholeCallWrites) {
    std::mt19937 rng(20240923);
    kbr7_gather_cursor shared{};
    for (int i = 0; i < 2000; ++i) {
        GatheredRecord r = random_record(rng);
        if (r.body_size() <= 400 && pick(rng, 0, 4) == 0) r = shredded(r, rng);
        const std::vector<size_t> cuts = random_cuts(rng, r.length);
        std::vector<size_t> order(cuts.size() - 1);
        for (size_t k = 0; k < order.size(); ++k) order[k] = k;
        kbr7_gather_cursor own{};
        kbr7_gather_cursor* cursor = nullptr;
        const char* how = "no cursor, in order";
        switch (pick(rng, 0, 4)) {
            case 0: break;
            case 1:
                std::shuffle(order.begin(), order.end(), rng);
                how = "no cursor, shuffled";
                break;
            case 2:
                cursor = &own;
                how = "own cursor, in order";
                break;
            case 3:
                std::shuffle(order.begin(), order.end(), rng);
                cursor = &own;
                how = "own cursor, shuffled";
                break;
            default: cursor = &shared; how = "cursor of every record, in order";
        }
        SCOPED_TRACE("record " + std::to_string(i) + ": " + r.describe() + " / " + std::to_string(order.size()) +
                     " windows, " + how);
        select_generation(r.generation);
        ASSERT_EQ(one_pass(r), in_windows(r, cuts, order, cursor));
    }
    set_data_format_2010(0);
}

// Windows outside the record are refused after the record's own refusals;
// a refused window writes nothing, and a cursor goes on after it.
TEST(EventUtilGatherParts, WindowsOutsideTheRecordWriteNothing) {
    static const kbr7_eventheader head{KBR7_PATTERN_2010, 36 + 8, 1, KBR7_EV_NORMAL, {0, 0}, 0, 0, 0};
    static const unsigned char body[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    static const iovec one{const_cast<unsigned char*>(body), sizeof body};
    struct Case {
        const char* name;
        uint32_t length;
        uint32_t from;
        uint32_t count;
        int expected;
    };
    const std::vector<Case> cases = {
        {"start beyond the end", 44, 45, 0, KBR7_CONV_ERR_RANGE},
        {"one byte beyond the end", 44, 44, 1, KBR7_CONV_ERR_RANGE},
        {"longer than the record", 44, 0, 45, KBR7_CONV_ERR_RANGE},
        {"count wrapping around", 44, 1, UINT32_MAX, KBR7_CONV_ERR_RANGE},
        {"start wrapping around", 44, UINT32_MAX, 2, KBR7_CONV_ERR_RANGE},
        {"refused record first", 43, 50, 1, KBR7_CONV_ERR_LENGTH},
        {"empty window at the end", 44, 44, 0, KBR7_CONV_OK},
    };
    set_data_format_2010(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kbr7_gather_cursor cursor{};
        unsigned char first[4];
        ASSERT_EQ(0, kbr7_convert_event_gather_hton_part(&head, &one, 1, first, 44, 0, 4, &cursor));
        unsigned char window[64];
        std::memset(window, 0xa5, sizeof window);
        EXPECT_EQ(c.expected, kbr7_convert_event_gather_hton_part(&head, &one, 1, window, c.length, c.from, c.count,
                                                                  c.from % 2 == 0 ? &cursor : nullptr));
        EXPECT_EQ(Bytes(sizeof window, 0xa5), Bytes(window, window + sizeof window));
        // The rest of the record, through the same cursor, still as a whole call writes it.
        Bytes whole(44), rest(40);
        ASSERT_EQ(0, kbr7_convert_event_gather_hton(&head, &one, 1, whole.data(), 44));
        ASSERT_EQ(0, kbr7_convert_event_gather_hton_part(&head, &one, 1, rest.data(), 44, 4, 40, &cursor));
        EXPECT_TRUE(std::equal(rest.begin(), rest.end(), whole.begin() + 4));
    }
    EXPECT_EQ(KBR7_CONV_ERR_NULL, kbr7_convert_event_gather_hton_part(&head, &one, 1, nullptr, 44, 4, 4));
    set_data_format_2010(0);

    const std::string range = kbr7_get_convert_error(KBR7_CONV_ERR_RANGE);
    EXPECT_NE(std::string(kbr7_get_convert_error(12345)), range);
    for (int other = KBR7_CONV_ERR_LENGTH; other <= KBR7_CONV_OK; ++other)
        EXPECT_NE(std::string(kbr7_get_convert_error(other)), range);
}

// Received records, converted in place as their pieces arrive.
struct ReceivedKindCase {
    const char* name;
    bool event;  // else slow data
    int (*part)(void* record, uint32_t length, uint32_t from, uint32_t to);
    int (*whole)(void* src, void* dst);
};

const ReceivedKindCase kReceivedKinds[] = {
    {"event", true, kbr7_convert_event_part, kbr7_convert_event},
    {"slow data", false, kbr7_convert_slow_data_part, kbr7_convert_slow_data},
};

// A record as it travelled, as the receiver stores it: `length` bytes,
// whose header carries `header_length` (low 32 bits of a 2024 event's).
struct ReceivedRecord {
    const ReceivedKindCase* kind;
    kbr7_data_format generation;
    size_t head_size;
    uint32_t length;
    uint32_t header_length;
    Bytes bytes;  // at least a header, so that a whole call can read one

    std::string describe() const {
        return std::string(kind->name) + " / " + generation_name(generation) + " / length " + std::to_string(length) +
               " / header's length " + std::to_string(header_length);
    }
};

// Random length (below the header now and then, at the edges, long now and
// then), random content, the header's length in the peer's order; now and
// then a header whose length differs from the record's (but not so that
// the record's length is the field read in host order).
ReceivedRecord random_received(std::mt19937& rng) {
    ReceivedRecord r;
    r.kind = &kReceivedKinds[pick(rng, 0, 1)];
    r.generation = kAllGenerations[pick(rng, 0, kAllGenerations.size() - 1)];
    const bool is_2024 = r.kind->event && r.generation == KBR7_FORMAT_2024;
    r.head_size = !r.kind->event ? 12 : is_2024 ? 48 : 36;
    size_t roll = pick(rng, 0, 99);
    if (roll < 8)
        r.length = static_cast<uint32_t>(pick(rng, 0, r.head_size - 1));
    else if (roll < 25)
        r.length = static_cast<uint32_t>(r.head_size + pick(rng, 0, 8));
    else if (roll < 27)
        r.length = static_cast<uint32_t>(r.head_size + pick(rng, 20000, 70000));
    else
        r.length = static_cast<uint32_t>(r.head_size + pick(rng, 0, 300));
    // The bits of the field that a host-order read of a 2024 length takes.
    const uint32_t high = is_2024 ? static_cast<uint32_t>(rng()) : 0;
    r.header_length = r.length;
    if (r.length >= r.head_size && pick(rng, 0, 9) == 0) {
        do {
            r.header_length = static_cast<uint32_t>(pick(rng, 0, 2 * r.length + 10));
        } while (r.header_length == r.length || peer32(is_2024 ? high : r.header_length) == r.length);
    }
    r.bytes = random_bytes(rng, std::max<size_t>(r.length, r.head_size));
    if (is_2024)
        put64(r.bytes, kLen2024, peer64((uint64_t{high} << 32) | r.header_length));
    else
        put32(r.bytes, r.kind->event ? kLen : kSlowLen, peer32(r.header_length));
    return r;
}

// What each call returns by the rules of the piece-wise conversion.
int expected_piece_result(const ReceivedRecord& r, size_t to) {
    if (r.length < r.head_size) return KBR7_CONV_ERR_SHORT_LENGTH;
    if (to < r.head_size || r.header_length == r.length) return KBR7_CONV_OK;
    return r.header_length < r.head_size ? KBR7_CONV_ERR_SHORT_LENGTH : KBR7_CONV_ERR_LENGTH;
}

// Consecutive pieces, in any sizes, leave the bytes of the whole in-place
// call, and each returns what the rules say: the whole call's result for a
// record whose header carries its length, a refusal that writes nothing
// from the header's last byte on otherwise.
TEST(EventUtilReceivedParts, PiecesLeaveWhatTheWholeCallLeaves) {
    std::mt19937 rng(20240924);
    for (int i = 0; i < 2000; ++i) {
        const ReceivedRecord r = random_received(rng);
        const std::vector<size_t> cuts = random_cuts(rng, r.length);
        SCOPED_TRACE("record " + std::to_string(i) + ": " + r.describe() + " / " + std::to_string(cuts.size() - 1) +
                     " pieces");
        select_generation(r.generation);

        // The stored record, exactly `length` bytes (one for an empty one).
        const size_t size = std::max<size_t>(r.length, 1);
        auto stored = std::make_unique<unsigned char[]>(size);
        std::memcpy(stored.get(), r.bytes.data(), size);
        std::vector<int> results, expected;
        for (size_t k = 0; k + 1 < cuts.size(); ++k) {
            results.push_back(r.kind->part(stored.get(), r.length, static_cast<uint32_t>(cuts[k]),
                                           static_cast<uint32_t>(cuts[k + 1])));
            expected.push_back(expected_piece_result(r, cuts[k + 1]));
        }
        EXPECT_EQ(expected, results);

        // The whole call, on a copy that holds at least a header; it can be
        // made unless the header's length would take it past the record.
        Bytes whole = r.bytes;
        const bool header_refused = r.header_length < r.head_size;
        if (r.header_length == r.length || header_refused) {
            const int result = r.kind->whole(whole.data(), whole.data());
            EXPECT_EQ(header_refused ? KBR7_CONV_ERR_SHORT_LENGTH : KBR7_CONV_OK, result);
            if (r.length >= r.head_size) {
                EXPECT_EQ(expected.back(), result);
            }
        }
        EXPECT_TRUE(std::equal(stored.get(), stored.get() + r.length, whole.begin()));
    }
    set_data_format_2010(0);
}

// The refusals one by one, on a 2010 event of 36 + 8 bytes.
TEST(EventUtilReceivedParts, RefusalsWriteNothing) {
    const Bytes good = with32(filled(44), kLen, peer32(44));
    const Bytes wrong = with32(filled(44), kLen, peer32(48));
    struct Step {
        uint32_t from;
        uint32_t to;
        int expected;
    };
    struct Case {
        const char* name;
        Bytes record;
        uint32_t length;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"range reversed", good, 44, {{10, 9, KBR7_CONV_ERR_RANGE}}},
        {"range beyond the record", good, 44, {{40, 45, KBR7_CONV_ERR_RANGE}, {0, UINT32_MAX, KBR7_CONV_ERR_RANGE}}},
        {"length below the header",
         with32(filled(44), kLen, peer32(30)),
         30,
         {{0, 10, KBR7_CONV_ERR_SHORT_LENGTH}, {10, 30, KBR7_CONV_ERR_SHORT_LENGTH}}},
        {"header's length below the header",
         with32(filled(44), kLen, peer32(30)),
         44,
         {{0, 35, KBR7_CONV_OK}, {35, 36, KBR7_CONV_ERR_SHORT_LENGTH}, {36, 44, KBR7_CONV_ERR_SHORT_LENGTH}}},
        {"header's length not the record's",
         wrong,
         44,
         {{0, 10, KBR7_CONV_OK},
          {10, 40, KBR7_CONV_ERR_LENGTH},
          {40, 41, KBR7_CONV_ERR_LENGTH},
          {41, 44, KBR7_CONV_ERR_LENGTH}}},
    };
    set_data_format_2010(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes record = c.record;
        for (const Step& s : c.steps)
            EXPECT_EQ(s.expected, kbr7_convert_event_part(record.data(), c.length, s.from, s.to));
        EXPECT_EQ(c.record, record);
    }
    EXPECT_EQ(KBR7_CONV_ERR_NULL, kbr7_convert_event_part(nullptr, 44, 0, 44));
    EXPECT_EQ(KBR7_CONV_ERR_NULL, kbr7_convert_slow_data_part(nullptr, 44, 0, 44));
    set_data_format_2010(0);
}

// ---- Generation ----------------------------------------------------------------

TEST(EventUtilGeneration, SettersFollowTheFlagRules) {
    struct Step {
        void (*set)(int);
        int flag;
        kbr7_data_format expected;
    };
    const Step steps[] = {
        {set_data_format_2010, 0, KBR7_FORMAT_LEGACY}, {set_data_format_2024, 1, KBR7_FORMAT_2024},
        {set_data_format_2010, 1, KBR7_FORMAT_2010},  // clears 2024
        {set_data_format_2024, 1, KBR7_FORMAT_2024},  // 2024 wins over 2010
        {set_data_format_2024, 0, KBR7_FORMAT_2010},  // 2010 flag survived
        {set_data_format_2024, 1, KBR7_FORMAT_2024},   {set_data_format_2010, 0, KBR7_FORMAT_LEGACY},  // clears both
        {set_data_format_2024, 0, KBR7_FORMAT_LEGACY},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        steps[i].set(steps[i].flag);
        EXPECT_EQ(steps[i].expected, kbr7_get_data_format());
        EXPECT_EQ(steps[i].expected == KBR7_FORMAT_2024, is_data_format_2024());
        EXPECT_EQ(steps[i].expected == KBR7_FORMAT_2010, is_data_format_2010());
    }
}

// Two threads flipping the setting while a third reads it: every read sees
// one of the three generations (and ThreadSanitizer sees no race).
TEST(EventUtilGeneration, ConcurrentSettersAndReaders) {
    constexpr int kRounds = 20000;
    std::atomic<bool> bad{false};
    std::thread flip2010([] {
        for (int i = 0; i < kRounds; ++i) set_data_format_2010(i & 1);
    });
    std::thread flip2024([] {
        for (int i = 0; i < kRounds; ++i) set_data_format_2024(i & 1);
    });
    std::thread reader([&bad] {
        for (int i = 0; i < kRounds; ++i) {
            kbr7_data_format f = kbr7_get_data_format();
            if (f != KBR7_FORMAT_LEGACY && f != KBR7_FORMAT_2010 && f != KBR7_FORMAT_2024) bad = true;
            (void)is_data_format_2024();
        }
    });
    flip2010.join();
    flip2024.join();
    reader.join();
    EXPECT_FALSE(bad);
    set_data_format_2010(0);
    EXPECT_EQ(KBR7_FORMAT_LEGACY, kbr7_get_data_format());
}

}  // namespace
