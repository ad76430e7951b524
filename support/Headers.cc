#include "Headers.h"

#include <cstring>

namespace tt {

namespace {

using tarvex::kinds::Family;
using tarvex::kinds::KindRow;

template <class Event>
Event event_head(const HeadFields& f) {
    Event h{};
    h.event_number = static_cast<decltype(h.event_number)>(f.number);
    h.event_type = f.type;
    h.event_time = f.time;
    h.tmask = f.tmask;
    h.status = f.status;
    h.num_svr_block = f.num_svr_block;
    return h;
}

bool is_2024_layout(const KindRow& r) { return r.header == sizeof(kbr7_eventheader_2024); }

Bytes event_bytes(const KindRow& r, const HeadFields& f) {
    if (!is_2024_layout(r)) return bytes_of(event_head<kbr7_eventheader>(f));
    kbr7_eventheader_2024 h = event_head<kbr7_eventheader_2024>(f);
    h.alignment = f.alignment;
    return bytes_of(h);
}

Bytes fields_bytes(const KindRow& r, const HeadFields& f) {
    switch (r.family) {
        case Family::Event: return event_bytes(r, f);
        case Family::Slow: return bytes_of(kbr7_daq_slow_data_header{0, 0, f.channels});
        case Family::Image: return bytes_of(kbr7_image_ext_intro{{}, f.frame});
        case Family::Spectrum: return bytes_of(kbr7_spect_intro{{}, f.spectrum});
        case Family::Frame: break;
    }
    return {};
}

// The field names of each header, for head_fields.
const char* const kFrameNames[] = {
    "width",   "height",  "aoi_width",      "aoi_height",    "x_start",      "y_start", "bpp",
    "ebitpp",  "hbin",    "vbin",           "source_format", "image_format", "frame",   "event",
    "scale_x", "scale_y", "image_rotation", "fspare2",       "fspare3",      "fspare4", "image_flags",
    "ispare2", "ispare3", "ispare4",        "head.length"};
const char* const kSpectrumNames[] = {"i",    "f1",  "f2",   "f3",       "start",    "inc",
                                      "usec", "sec", "bnum", "bnum_req", "event_nm", "error"};

// An intro: pattern and length, then 4-byte fields of the given names.
template <size_t N>
std::vector<HeadField> intro_fields(const char* const (&names)[N]) {
    std::vector<HeadField> f = {{0, 4, "intro.pattern"}, {4, 4, "intro.length"}};
    for (size_t i = 0; i < N; ++i) f.push_back({8 + 4 * i, 4, names[i]});
    return f;
}

}  // namespace

Bytes record_head(Kind kind, uint64_t length, const HeadFields& fields) {
    const KindRow& r = tarvex::kinds::row(kind);
    Bytes head = fields_bytes(r, fields);
    if (head.empty()) return head;
    const uint32_t pattern = fields.pattern != 0 ? fields.pattern : r.pattern;
    std::memcpy(head.data(), &pattern, sizeof pattern);
    put_record_length(kind, head.data(), length);
    return head;
}

void put_record_length(Kind kind, unsigned char* head, uint64_t length) {
    const KindRow& r = tarvex::kinds::row(kind);
    if (r.length_width == 8) {
        const int64_t l = static_cast<int64_t>(length);
        std::memcpy(head + r.length_offset, &l, sizeof l);
    } else {
        const uint32_t l = static_cast<uint32_t>(length);
        std::memcpy(head + r.length_offset, &l, sizeof l);
    }
}

uint32_t intro_pattern(uint32_t index) {
    static const std::vector<uint32_t> patterns = [] {
        std::vector<uint32_t> p;
        for (const KindRow& r : tarvex::kinds::record_kinds())
            if (r.family == Family::Event) p.push_back(r.pattern);
        return p;
    }();
    return patterns[index % patterns.size()];
}

const std::vector<HeadField>& head_fields(Kind kind) {
    static const std::vector<HeadField> event = {{0, 4, "pattern"},
                                                 {4, 4, "event_length"},
                                                 {8, 4, "event_number"},
                                                 {12, 4, "event_type"},
                                                 {16, 4, "event_time.timeup"},
                                                 {20, 4, "event_time.timelow"},
                                                 {24, 4, "tmask"},
                                                 {28, 4, "status"},
                                                 {32, 4, "num_svr_block"}};
    static const std::vector<HeadField> event2024 = {{0, 4, "pattern"},
                                                     {4, 4, "event_type"},
                                                     {8, 8, "event_length"},
                                                     {16, 8, "event_number"},
                                                     {24, 4, "event_time.timeup"},
                                                     {28, 4, "event_time.timelow"},
                                                     {32, 4, "tmask"},
                                                     {36, 4, "status"},
                                                     {40, 4, "num_svr_block"},
                                                     {44, 4, "alignment"}};
    static const std::vector<HeadField> slow = {{0, 4, "pattern"}, {4, 4, "data_length"}, {8, 4, "channels_number"}};
    static const std::vector<HeadField> image = intro_fields(kFrameNames);
    static const std::vector<HeadField> spectrum = intro_fields(kSpectrumNames);
    static const std::vector<HeadField> none;
    const KindRow& r = tarvex::kinds::row(kind);
    switch (r.family) {
        case Family::Event: return is_2024_layout(r) ? event2024 : event;
        case Family::Slow: return slow;
        case Family::Image: return image;
        case Family::Spectrum: return spectrum;
        case Family::Frame: break;
    }
    return none;
}

}  // namespace tt
