#include "records.h"

#include <algorithm>
#include <cstring>

#include "event.h"

namespace interop {

namespace {

// The value stream of one record: the same (seed, kind, index) gives the
// same values on every machine, whatever its byte order.
class Values {
public:
    Values(uint32_t seed, Kind kind, uint32_t index)
        : state_((uint64_t{seed} << 32) ^ (uint64_t(static_cast<int>(kind)) << 24) ^ index) {}

    uint32_t next() {
        state_ += 0x9e3779b97f4a7c15ull;
        uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 16);
    }
    uint32_t below(uint32_t n) { return next() % n; }
    // A float whose value is exact and finite on both ends.
    float real() { return static_cast<float>(static_cast<int32_t>(next() % 200001) - 100000) / 64.0f; }

private:
    uint64_t state_;
};

template <class T>
Bytes bytes_of(const T& v) {
    const auto* p = reinterpret_cast<const unsigned char*>(&v);
    return Bytes(p, p + sizeof v);
}

// Payload size by the index's place in a group of four: empty, small,
// medium, large.  Every size class shows up in each pass of a plan.
size_t payload_size(uint32_t index, Values& val) {
    switch (index % 4) {
        case 0: return 0;
        case 1: return 4 + val.below(60);
        case 2: return 1000 + val.below(3000);
        default: return 150 * 1024 + val.below(4000);
    }
}

// Host-order 32-bit words, then the 1 to 3 bytes that make no whole word.
Bytes word_payload(size_t n, Values& val) {
    Bytes out(n);
    size_t words = n / 4;
    for (size_t i = 0; i < words; ++i) {
        uint32_t w = val.next();
        std::memcpy(out.data() + 4 * i, &w, 4);
    }
    for (size_t i = 4 * words; i < n; ++i) out[i] = static_cast<unsigned char>(val.next());
    return out;
}

Bytes byte_payload(size_t n, Values& val) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<unsigned char>(val.next());
    return out;
}

// Images and spectra start with one of the three event patterns.
uint32_t intro_pattern(uint32_t index) {
    static const uint32_t patterns[] = {KBR7_PATTERN_2010, KBR7_PATTERN_LEGACY, KBR7_PATTERN_2024};
    return patterns[index % 3];
}

void fill_event(Record& r, uint32_t pattern, Values& val) {
    r.payload = word_payload(payload_size(r.index, val), val);
    kbr7_eventheader h{};
    h.pattern = pattern;
    h.event_length = static_cast<uint32_t>(sizeof h + r.payload.size());
    h.event_number = val.next();
    h.event_type = static_cast<KBR7_EVTYPE>(val.below(KBR7_EV_EVMAX));
    h.event_time = {val.next(), val.next()};
    h.tmask = static_cast<int32_t>(val.next());
    h.status = static_cast<int32_t>(val.next());
    h.num_svr_block = static_cast<int32_t>(val.next());
    r.head = bytes_of(h);
}

void fill_event_2024(Record& r, Values& val) {
    r.payload = word_payload(payload_size(r.index, val), val);
    kbr7_eventheader_2024 h{};
    h.pattern = KBR7_PATTERN_2024;
    h.event_type = static_cast<KBR7_EVTYPE>(val.below(KBR7_EV_EVMAX));
    h.event_length = static_cast<int64_t>(sizeof h + r.payload.size());
    // Both halves of the 64-bit number carry values, so that a field
    // converted as two 32-bit words instead of one 64-bit word shows.
    h.event_number = (uint64_t{val.next()} << 32) | val.next();
    h.event_time = {val.next(), val.next()};
    h.tmask = static_cast<int32_t>(val.next());
    h.status = static_cast<int32_t>(val.next());
    h.num_svr_block = static_cast<int32_t>(val.next());
    h.alignment = val.next();
    r.head = bytes_of(h);
}

void fill_slow(Record& r, uint32_t pattern, Values& val) {
    r.payload = word_payload(payload_size(r.index, val), val);
    kbr7_daq_slow_data_header h{};
    h.pattern = pattern;
    h.data_length = static_cast<uint32_t>(sizeof h + r.payload.size());
    h.channels_number = static_cast<uint32_t>(r.payload.size() / 4);
    r.head = bytes_of(h);
}

void fill_image(Record& r, Values& val) {
    r.payload = byte_payload(payload_size(r.index, val), val);
    kbr7_image_ext_frame_head f{};
    f.width = static_cast<int32_t>(val.below(4096));
    f.height = static_cast<int32_t>(val.below(4096));
    f.aoi_width = static_cast<int32_t>(val.next());
    f.aoi_height = static_cast<int32_t>(val.next());
    f.x_start = static_cast<int32_t>(val.next());
    f.y_start = static_cast<int32_t>(val.next());
    f.bpp = static_cast<int32_t>(1 + val.below(4));
    f.ebitpp = static_cast<int32_t>(val.below(33));
    f.hbin = static_cast<int32_t>(val.next());
    f.vbin = static_cast<int32_t>(val.next());
    f.source_format = static_cast<int32_t>(val.next());
    f.image_format = static_cast<int32_t>(val.next());
    f.frame = val.next();
    f.event = val.next();
    f.scale_x = val.real();
    f.scale_y = val.real();
    f.image_rotation = val.real();
    f.fspare2 = val.real();
    f.fspare3 = val.real();
    f.fspare4 = val.real();
    f.image_flags = static_cast<int32_t>(val.next());
    f.ispare2 = static_cast<int32_t>(val.next());
    f.ispare3 = static_cast<int32_t>(val.next());
    f.ispare4 = static_cast<int32_t>(val.next());
    f.length = static_cast<int32_t>(sizeof f + r.payload.size());
    r.frame = bytes_of(f);
    kbr7_image_head h{intro_pattern(r.index), static_cast<uint32_t>(sizeof h + sizeof f + r.payload.size())};
    r.head = bytes_of(h);
}

void fill_spectrum(Record& r, Values& val) {
    r.payload = byte_payload(payload_size(r.index, val), val);
    kbr7_spect_intro s{};
    s.intro.pattern = intro_pattern(r.index);
    s.intro.length = static_cast<uint32_t>(sizeof s + r.payload.size());
    s.head.i = static_cast<int32_t>(val.next());
    s.head.f1 = val.real();
    s.head.f2 = val.real();
    s.head.f3 = val.real();
    s.head.start = val.real();
    s.head.inc = val.real();
    s.head.usec = val.below(1000000);
    s.head.sec = val.next();
    s.head.bnum = val.next();
    s.head.bnum_req = val.next();
    s.head.event_nm = val.next();
    s.head.error = static_cast<int32_t>(val.next());
    r.head = bytes_of(s);
}

// Field names by offset, for the mismatch reports.
struct Field {
    size_t offset;
    size_t size;
    const char* name;
};

const std::vector<Field>& fields_of(Kind k) {
    static const std::vector<Field> event = {{0, 4, "pattern"},
                                             {4, 4, "event_length"},
                                             {8, 4, "event_number"},
                                             {12, 4, "event_type"},
                                             {16, 4, "event_time.timeup"},
                                             {20, 4, "event_time.timelow"},
                                             {24, 4, "tmask"},
                                             {28, 4, "status"},
                                             {32, 4, "num_svr_block"}};
    static const std::vector<Field> event2024 = {{0, 4, "pattern"},
                                                 {4, 4, "event_type"},
                                                 {8, 8, "event_length"},
                                                 {16, 8, "event_number"},
                                                 {24, 4, "event_time.timeup"},
                                                 {28, 4, "event_time.timelow"},
                                                 {32, 4, "tmask"},
                                                 {36, 4, "status"},
                                                 {40, 4, "num_svr_block"},
                                                 {44, 4, "alignment"}};
    static const std::vector<Field> slow = {{0, 4, "pattern"}, {4, 4, "data_length"}, {8, 4, "channels_number"}};
    static const std::vector<Field> image = [] {
        static const char* names[] = {
            "width",   "height",  "aoi_width",      "aoi_height",    "x_start",      "y_start", "bpp",
            "ebitpp",  "hbin",    "vbin",           "source_format", "image_format", "frame",   "event",
            "scale_x", "scale_y", "image_rotation", "fspare2",       "fspare3",      "fspare4", "image_flags",
            "ispare2", "ispare3", "ispare4",        "head.length"};
        std::vector<Field> f = {{0, 4, "intro.pattern"}, {4, 4, "intro.length"}};
        for (size_t i = 0; i < 25; ++i) f.push_back({8 + 4 * i, 4, names[i]});
        return f;
    }();
    static const std::vector<Field> spectrum = [] {
        static const char* names[] = {"i",    "f1",  "f2",   "f3",       "start",    "inc",
                                      "usec", "sec", "bnum", "bnum_req", "event_nm", "error"};
        std::vector<Field> f = {{0, 4, "intro.pattern"}, {4, 4, "intro.length"}};
        for (size_t i = 0; i < 12; ++i) f.push_back({8 + 4 * i, 4, names[i]});
        return f;
    }();
    switch (k) {
        case Kind::Event2010:
        case Kind::Legacy: return event;
        case Kind::Event2024: return event2024;
        case Kind::Slow:
        case Kind::Slow2024: return slow;
        case Kind::Image: return image;
        case Kind::Spectrum: return spectrum;
        case Kind::Frame: break;  // sent only, never made here
    }
    return event;
}

std::string hex_of(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

}  // namespace

const std::vector<Kind>& all_kinds() {
    static const std::vector<Kind> kinds = [] {
        std::vector<Kind> v;
        for (const tarvex::kinds::KindRow& r : tarvex::kinds::record_kinds()) v.push_back(r.kind);
        return v;
    }();
    return kinds;
}

const char* kind_name(Kind k) { return tarvex::kinds::row(k).name; }

bool is_event_kind(Kind k) {
    const tarvex::kinds::Family f = tarvex::kinds::row(k).family;
    return f == tarvex::kinds::Family::Event || f == tarvex::kinds::Family::Slow;
}

Bytes Record::whole() const {
    Bytes out(head);
    out.insert(out.end(), frame.begin(), frame.end());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

int Record::gather(std::vector<iovec>& v) const {
    auto entry = [](const Bytes& b, size_t from, size_t n) {
        return iovec{const_cast<unsigned char*>(b.data() + from), n};
    };
    v.clear();
    v.push_back(entry(head, 0, head.size()));
    if (!frame.empty()) v.push_back(entry(frame, 0, frame.size()));
    // One to three fragments of uneven size, so that fragment edges fall
    // inside words as well as on them.
    size_t pieces = std::min<size_t>(1 + index % 3, payload.size());
    size_t from = 0;
    for (size_t i = 0; i < pieces; ++i) {
        size_t n = i + 1 == pieces ? payload.size() - from : payload.size() / (pieces + 1) + 1;
        v.push_back(entry(payload, from, n));
        from += n;
    }
    return static_cast<int>(v.size());
}

Record make_record(Kind kind, uint32_t index, uint32_t seed) {
    Record r;
    r.kind = kind;
    r.index = index;
    Values val(seed, kind, index);
    switch (kind) {
        case Kind::Event2010: fill_event(r, KBR7_PATTERN_2010, val); break;
        case Kind::Legacy: fill_event(r, KBR7_PATTERN_LEGACY, val); break;
        case Kind::Event2024: fill_event_2024(r, val); break;
        case Kind::Slow: fill_slow(r, KBR7_PATTERN_SLOW, val); break;
        case Kind::Slow2024: fill_slow(r, KBR7_PATTERN_SLOW_2024, val); break;
        case Kind::Image: fill_image(r, val); break;
        case Kind::Spectrum: fill_spectrum(r, val); break;
        case Kind::Frame: break;  // sent only, never made here
    }
    return r;
}

std::vector<Item> make_plan() {
    constexpr uint32_t kPerPass = 4;
    std::vector<Item> plan;
    for (int pass = 0; pass < 2; ++pass) {
        const bool acknowledged = pass == 0;
        for (uint32_t i = 0; i < kPerPass; ++i) {
            uint32_t index = pass * kPerPass + i;
            for (Kind k : all_kinds()) {
                bool ack = acknowledged && is_event_kind(k);
                plan.push_back({k, index, ack, ack && index % 4 == 1});
            }
        }
    }
    return plan;
}

std::string describe_difference(Kind kind, const Bytes& got, const Bytes& want) {
    size_t n = std::min(got.size(), want.size());
    size_t at = 0;
    while (at < n && got[at] == want[at]) ++at;
    if (at == n && got.size() == want.size()) return {};
    if (at == n) return "length " + std::to_string(got.size()) + ", expected " + std::to_string(want.size());
    for (const Field& f : fields_of(kind)) {
        if (at >= f.offset && at < f.offset + f.size && f.offset + f.size <= n)
            return std::string(f.name) + " (offset " + std::to_string(f.offset) + ") is " +
                   hex_of(got.data() + f.offset, f.size) + ", expected " + hex_of(want.data() + f.offset, f.size);
    }
    return "byte " + std::to_string(at) + " is " + hex_of(got.data() + at, 1) + ", expected " +
           hex_of(want.data() + at, 1) + " (record of " + std::to_string(want.size()) + " bytes)";
}

}  // namespace interop
