#include "Records.h"

#include <algorithm>
#include <cstring>

#include "Headers.h"
#include "event.h"

namespace tvt {

namespace {

// The link's table, in the order of its rows (the order of Kind).  A
// spectrum has no gather list of SendEvent's; the tools write its whole
// intro as the first piece.
const std::vector<KindInfo> kKinds = [] {
    std::vector<KindInfo> v;
    for (const tarvex::kinds::KindRow& r : tarvex::kinds::record_kinds())
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

time_stamp time_of(uint32_t seq) { return {1700000000u + seq / 1000, (seq % 1000) * 1000u}; }

// The header fields of record number `seq` with `payload` bytes of payload,
// for whichever kind it is.
tt::HeadFields fields_of(Kind kind, uint32_t seq, size_t payload) {
    tt::HeadFields f;
    if (kind == Kind::Image) f.pattern = tt::intro_pattern(seq);
    f.number = seq;
    f.type = static_cast<KBR7_EVTYPE>(seq % KBR7_EV_EVMAX);
    f.time = time_of(seq);
    f.tmask = static_cast<int32_t>(seq * 2654435761u);
    f.status = -static_cast<int32_t>(seq % 7);
    f.num_svr_block = 1;
    f.channels = static_cast<uint32_t>(payload / 4);

    kbr7_image_ext_frame_head& im = f.frame;
    im.width = im.aoi_width = 256;
    im.height = im.aoi_height = static_cast<int32_t>((payload + 511) / 512);
    im.x_start = static_cast<int32_t>(seq % 16);
    im.bpp = 16;
    im.ebitpp = 12;
    im.hbin = im.vbin = 1;
    im.frame = seq;
    im.event = seq * 2;
    im.scale_x = 0.5f;
    im.scale_y = 0.25f;
    im.image_rotation = 90.0f;
    im.image_flags = 0x11;
    im.length = static_cast<int32_t>(payload);

    kbr7_spect_header& sp = f.spectrum;
    sp.i = static_cast<int32_t>(seq);
    sp.f1 = 1.5f;
    sp.start = -10.0f;
    sp.inc = 0.125f;
    sp.sec = time_of(seq).timeup;
    sp.usec = time_of(seq).timelow;
    sp.bnum = sp.bnum_req = static_cast<uint32_t>(payload / 4);
    sp.event_nm = seq;
    return f;
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
    bool other_order = false;
    const tarvex::kinds::KindRow* r = tarvex::kinds::event_kind_of(pattern, &other_order);
    if (r == nullptr || other_order) return false;
    k = r->kind;
    return true;
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
    const tt::Bytes head = tt::record_head(kind, out.bytes.size(), fields_of(kind, seq, payload));
    std::memcpy(out.bytes.data(), head.data(), head.size());
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
    const uint64_t length =
        static_cast<uint64_t>(tarvex::kinds::record_length(tarvex::kinds::row(kind), out.bytes.data()));
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
