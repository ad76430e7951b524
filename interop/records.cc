#include "records.h"

#include <algorithm>
#include <cstring>

#include "Headers.h"
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

// The header fields from the value stream; each kind takes those its header
// has.  Both halves of the 64-bit event number carry values, so that a field
// converted as two 32-bit words instead of one 64-bit word shows (the
// 36-byte header takes the low half).
tt::HeadFields event_fields(Values& val) {
    tt::HeadFields f;
    const uint64_t high = val.next();
    f.number = (high << 32) | val.next();
    f.type = static_cast<KBR7_EVTYPE>(val.below(KBR7_EV_EVMAX));
    f.time = {val.next(), val.next()};
    f.tmask = static_cast<int32_t>(val.next());
    f.status = static_cast<int32_t>(val.next());
    f.num_svr_block = static_cast<int32_t>(val.next());
    f.alignment = val.next();
    return f;
}

kbr7_image_ext_frame_head frame_fields(Values& val, size_t pixels) {
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
    f.length = static_cast<int32_t>(sizeof f + pixels);
    return f;
}

kbr7_spect_header spectrum_fields(Values& val) {
    kbr7_spect_header s{};
    s.i = static_cast<int32_t>(val.next());
    s.f1 = val.real();
    s.f2 = val.real();
    s.f3 = val.real();
    s.start = val.real();
    s.inc = val.real();
    s.usec = val.below(1000000);
    s.sec = val.next();
    s.bnum = val.next();
    s.bnum_req = val.next();
    s.event_nm = val.next();
    s.error = static_cast<int32_t>(val.next());
    return s;
}

// The payload and the header fields of record `index` of `family`.
tt::HeadFields fill(Record& r, tarvex::kinds::Family family, Values& val) {
    using tarvex::kinds::Family;
    tt::HeadFields f;
    switch (family) {
        case Family::Event: r.payload = word_payload(payload_size(r.index, val), val); return event_fields(val);
        case Family::Slow:
            r.payload = word_payload(payload_size(r.index, val), val);
            f.channels = static_cast<uint32_t>(r.payload.size() / 4);
            return f;
        case Family::Image:
            r.payload = byte_payload(payload_size(r.index, val), val);
            f.pattern = tt::intro_pattern(r.index);
            f.frame = frame_fields(val, r.payload.size());
            return f;
        case Family::Spectrum:
            r.payload = byte_payload(payload_size(r.index, val), val);
            f.pattern = tt::intro_pattern(r.index);
            f.spectrum = spectrum_fields(val);
            return f;
        case Family::Frame: break;  // sent only, never made here
    }
    return f;
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
    const tarvex::kinds::KindRow& row = tarvex::kinds::row(kind);
    const tt::HeadFields fields = fill(r, row.family, val);
    const Bytes head = tt::record_head(kind, row.header + r.payload.size(), fields);
    // An image goes out as its 8-byte intro and then the frame header; the
    // other kinds' first piece is their whole header.
    const size_t first = row.first_piece != 0 ? std::min(row.first_piece, head.size()) : head.size();
    r.head.assign(head.begin(), head.begin() + static_cast<long>(first));
    r.frame.assign(head.begin() + static_cast<long>(first), head.end());
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
    for (const tt::HeadField& f : tt::head_fields(kind)) {
        if (at >= f.offset && at < f.offset + f.size && f.offset + f.size <= n)
            return std::string(f.name) + " (offset " + std::to_string(f.offset) + ") is " +
                   hex_of(got.data() + f.offset, f.size) + ", expected " + hex_of(want.data() + f.offset, f.size);
    }
    return "byte " + std::to_string(at) + " is " + hex_of(got.data() + at, 1) + ", expected " +
           hex_of(want.data() + at, 1) + " (record of " + std::to_string(want.size()) + " bytes)";
}

}  // namespace interop
