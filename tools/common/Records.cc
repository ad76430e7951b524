#include "Records.h"

#include <algorithm>
#include <cstring>

#include "event.h"

namespace tvt {

namespace {

// The link's table, in the order of its rows (the order of Kind).  A
// spectrum has no gather list of SendEvent's; the tools write its whole
// intro as the first piece.
const std::vector<KindInfo> kKinds = [] {
    std::vector<KindInfo> v;
    for (const tarvex::kinds::KindRow& r : tarvex::kinds::kKinds)
        v.push_back({r.kind, r.name, r.label, r.generation_name, r.pattern, r.first_piece ? r.first_piece : r.header,
                     r.header});
    return v;
}();

// Cheap, well-mixed 64-bit stream from a seed (xorshift64*).
struct Mixer {
    uint64_t s;
    explicit Mixer(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    uint64_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1Dull;
    }
};

void fill(unsigned char* p, size_t n, uint32_t seq) {
    Mixer m(seq);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w = m.next();
        std::memcpy(p + i, &w, 8);
    }
    uint64_t w = m.next();
    std::memcpy(p + i, &w, n - i);
}

// Word-wise FNV-style checksum; fast enough for megabyte records.
uint32_t checksum(const unsigned char* p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x100000001b3ull;
    }
    for (; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

template <class T>
void put(Record& r, const T& head) {
    std::memcpy(r.bytes.data(), &head, sizeof head);
}

time_stamp time_of(uint32_t seq) { return {1700000000u + seq / 1000, (seq % 1000) * 1000u}; }

void build_header(Kind kind, uint32_t seq, size_t payload, Record& r) {
    const uint32_t total = static_cast<uint32_t>(r.bytes.size());
    switch (kind) {
        case Kind::Event2010:
        case Kind::Legacy: {
            kbr7_eventheader h{};
            h.pattern = info(kind).pattern;
            h.event_length = total;
            h.event_number = seq;
            h.event_type = static_cast<KBR7_EVTYPE>(seq % KBR7_EV_EVMAX);
            h.event_time = time_of(seq);
            h.tmask = static_cast<int32_t>(seq * 2654435761u);
            h.status = -static_cast<int32_t>(seq % 7);
            h.num_svr_block = 1;
            put(r, h);
            break;
        }
        case Kind::Event2024: {
            kbr7_eventheader_2024 h{};
            h.pattern = KBR7_PATTERN_2024;
            h.event_type = static_cast<KBR7_EVTYPE>(seq % KBR7_EV_EVMAX);
            h.event_length = total;
            h.event_number = seq;
            h.event_time = time_of(seq);
            h.tmask = static_cast<int32_t>(seq * 2654435761u);
            h.status = -static_cast<int32_t>(seq % 7);
            h.num_svr_block = 1;
            h.alignment = 0;
            put(r, h);
            break;
        }
        case Kind::Slow:
        case Kind::Slow2024: {
            kbr7_daq_slow_data_header h{info(kind).pattern, total, static_cast<uint32_t>(payload / 4)};
            put(r, h);
            break;
        }
        case Kind::Image: {
            static const uint32_t patterns[] = {KBR7_PATTERN_2010, KBR7_PATTERN_LEGACY, KBR7_PATTERN_2024};
            kbr7_image_ext_intro h{};
            h.intro.pattern = patterns[seq % 3];
            h.intro.length = total;
            h.head.width = h.head.aoi_width = 256;
            h.head.height = h.head.aoi_height = static_cast<int32_t>((payload + 511) / 512);
            h.head.x_start = static_cast<int32_t>(seq % 16);
            h.head.bpp = 16;
            h.head.ebitpp = 12;
            h.head.hbin = h.head.vbin = 1;
            h.head.frame = seq;
            h.head.event = seq * 2;
            h.head.scale_x = 0.5f;
            h.head.scale_y = 0.25f;
            h.head.image_rotation = 90.0f;
            h.head.image_flags = 0x11;
            h.head.length = static_cast<int32_t>(payload);
            put(r, h);
            break;
        }
        case Kind::Spectrum: {
            kbr7_spect_intro h{};
            h.intro.pattern = KBR7_PATTERN_2010;
            h.intro.length = total;
            h.head.i = static_cast<int32_t>(seq);
            h.head.f1 = 1.5f;
            h.head.start = -10.0f;
            h.head.inc = 0.125f;
            h.head.sec = time_of(seq).timeup;
            h.head.usec = time_of(seq).timelow;
            h.head.bnum = h.head.bnum_req = static_cast<uint32_t>(payload / 4);
            h.head.event_nm = seq;
            put(r, h);
            break;
        }
    }
}

}  // namespace

const std::vector<KindInfo>& all_kinds() { return kKinds; }

const KindInfo& info(Kind k) { return kKinds[static_cast<size_t>(k)]; }

bool parse_kind(const std::string& name, Kind& k) {
    for (const KindInfo& i : kKinds)
        if (name == i.name) {
            k = i.kind;
            return true;
        }
    return false;
}

bool parse_kind_list(const std::string& names, std::vector<Kind>& kinds) {
    kinds.clear();
    size_t start = 0;
    while (start <= names.size()) {
        size_t comma = names.find(',', start);
        if (comma == std::string::npos) comma = names.size();
        Kind k;
        if (!parse_kind(names.substr(start, comma - start), k)) return false;
        kinds.push_back(k);
        start = comma + 1;
    }
    return !kinds.empty();
}

std::string kind_names() {
    std::string s;
    for (const KindInfo& i : kKinds) s += (s.empty() ? "" : "|") + std::string(i.name);
    return s;
}

bool kind_of_pattern(uint32_t pattern, Kind& k) {
    for (const KindInfo& i : kKinds)
        if (i.kind != Kind::Image && i.kind != Kind::Spectrum && i.pattern == pattern) {
            k = i.kind;
            return true;
        }
    return false;
}

int Record::gather(iovec* v, int pieces) {
    const size_t head = info(kind).head_size;
    v[0] = {bytes.data(), head};
    const size_t rest = bytes.size() - head;
    pieces = std::max(1, pieces);
    size_t at = head;
    for (int i = 0; i < pieces; ++i) {
        size_t n = i + 1 == pieces ? bytes.size() - at : rest / pieces;
        v[1 + i] = {bytes.data() + at, n};
        at += n;
    }
    return pieces + 1;
}

void build_record(Kind kind, uint32_t seq, size_t payload, Record& out) {
    payload = std::max(payload, kTagSize);
    out.kind = kind;
    const size_t fixed = info(kind).fixed_size;
    out.bytes.assign(fixed + payload, 0);
    unsigned char* p = out.bytes.data() + fixed;
    fill(p + kTagSize, payload - kTagSize, seq);
    const uint32_t tag[2] = {seq, checksum(p + kTagSize, payload - kTagSize)};
    std::memcpy(p, tag, sizeof tag);
    build_header(kind, seq, payload, out);
}

bool read_tag(const unsigned char* payload, size_t n, uint32_t& seq) {
    if (n < kTagSize) return false;
    uint32_t tag[2];
    std::memcpy(tag, payload, sizeof tag);
    if (tag[1] != checksum(payload + kTagSize, n - kTagSize)) return false;
    seq = tag[0];
    return true;
}

int read_record(std::FILE* f, Kind as, Record& out, std::string& problem) {
    uint32_t first[2];
    size_t got = std::fread(first, 1, sizeof first, f);
    if (got == 0) return 0;
    if (got < sizeof first) {
        problem = "the file ends inside a header";
        return -1;
    }
    Kind kind = as;
    const bool intro = as == Kind::Image || as == Kind::Spectrum;
    if (intro ? !tarvex::kinds::starts_intro(first[0]) : !kind_of_pattern(first[0], kind)) {
        char text[96];
        std::snprintf(text, sizeof text, "0x%08x is not the pattern of %s", first[0],
                      intro ? "an image or spectrum intro" : "an event or slow-data record");
        problem = text;
        return -1;
    }
    const size_t fixed = info(kind).fixed_size;
    out.kind = kind;
    out.bytes.resize(fixed);
    std::memcpy(out.bytes.data(), first, sizeof first);
    if (std::fread(out.bytes.data() + sizeof first, 1, fixed - sizeof first, f) != fixed - sizeof first) {
        problem = "the file ends inside a header";
        return -1;
    }
    uint64_t length = first[1];
    if (kind == Kind::Event2024) {
        int64_t l;
        std::memcpy(&l, out.bytes.data() + offsetof(kbr7_eventheader_2024, event_length), sizeof l);
        length = static_cast<uint64_t>(l);
    }
    if (length < fixed || length > (1ull << 31)) {
        problem = "record length " + std::to_string(length) + " is out of range";
        return -1;
    }
    out.bytes.resize(length);
    if (std::fread(out.bytes.data() + fixed, 1, length - fixed, f) != length - fixed) {
        problem = "the file ends inside a record body";
        return -1;
    }
    return 1;
}

}  // namespace tvt
