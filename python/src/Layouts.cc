#include "Layouts.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "detail/Kinds.h"
#include "event.h"

namespace tarvexpy {

namespace {

#define TARVEX_FIELD(type, member, name, kind) \
    { name, offsetof(type, member), FieldType::kind }

const Field kEventFields[] = {
    TARVEX_FIELD(kbr7_eventheader, pattern, "pattern", U32),
    TARVEX_FIELD(kbr7_eventheader, event_length, "length", U32),
    TARVEX_FIELD(kbr7_eventheader, event_number, "number", U32),
    TARVEX_FIELD(kbr7_eventheader, event_type, "type", I32),
    TARVEX_FIELD(kbr7_eventheader, event_time, "time", Time),
    TARVEX_FIELD(kbr7_eventheader, tmask, "tmask", I32),
    TARVEX_FIELD(kbr7_eventheader, status, "status", I32),
    TARVEX_FIELD(kbr7_eventheader, num_svr_block, "num_svr_block", I32),
};

const Field kEvent2024Fields[] = {
    TARVEX_FIELD(kbr7_eventheader_2024, pattern, "pattern", U32),
    TARVEX_FIELD(kbr7_eventheader_2024, event_type, "type", I32),
    TARVEX_FIELD(kbr7_eventheader_2024, event_length, "length", I64),
    TARVEX_FIELD(kbr7_eventheader_2024, event_number, "number", U64),
    TARVEX_FIELD(kbr7_eventheader_2024, event_time, "time", Time),
    TARVEX_FIELD(kbr7_eventheader_2024, tmask, "tmask", I32),
    TARVEX_FIELD(kbr7_eventheader_2024, status, "status", I32),
    TARVEX_FIELD(kbr7_eventheader_2024, num_svr_block, "num_svr_block", I32),
    TARVEX_FIELD(kbr7_eventheader_2024, alignment, "alignment", U32),
};

const Field kSlowFields[] = {
    TARVEX_FIELD(kbr7_daq_slow_data_header, pattern, "pattern", U32),
    TARVEX_FIELD(kbr7_daq_slow_data_header, data_length, "length", U32),
    TARVEX_FIELD(kbr7_daq_slow_data_header, channels_number, "channels", U32),
};

// The frame header's own `length` is called frame_length: `length` is the
// whole record's, as for every other record.
#define TARVEX_FRAME_FIELD(member, name, kind) \
    { name, offsetof(kbr7_image_ext_intro, head) + offsetof(kbr7_image_ext_frame_head, member), FieldType::kind }

const Field kImageFields[] = {
    TARVEX_FIELD(kbr7_image_ext_intro, intro.pattern, "pattern", U32),
    TARVEX_FIELD(kbr7_image_ext_intro, intro.length, "length", U32),
    TARVEX_FRAME_FIELD(width, "width", I32),
    TARVEX_FRAME_FIELD(height, "height", I32),
    TARVEX_FRAME_FIELD(aoi_width, "aoi_width", I32),
    TARVEX_FRAME_FIELD(aoi_height, "aoi_height", I32),
    TARVEX_FRAME_FIELD(x_start, "x_start", I32),
    TARVEX_FRAME_FIELD(y_start, "y_start", I32),
    TARVEX_FRAME_FIELD(bpp, "bpp", I32),
    TARVEX_FRAME_FIELD(ebitpp, "ebitpp", I32),
    TARVEX_FRAME_FIELD(hbin, "hbin", I32),
    TARVEX_FRAME_FIELD(vbin, "vbin", I32),
    TARVEX_FRAME_FIELD(source_format, "source_format", I32),
    TARVEX_FRAME_FIELD(image_format, "image_format", I32),
    TARVEX_FRAME_FIELD(frame, "frame", U32),
    TARVEX_FRAME_FIELD(event, "event", U32),
    TARVEX_FRAME_FIELD(scale_x, "scale_x", F32),
    TARVEX_FRAME_FIELD(scale_y, "scale_y", F32),
    TARVEX_FRAME_FIELD(image_rotation, "image_rotation", F32),
    TARVEX_FRAME_FIELD(fspare2, "fspare2", F32),
    TARVEX_FRAME_FIELD(fspare3, "fspare3", F32),
    TARVEX_FRAME_FIELD(fspare4, "fspare4", F32),
    TARVEX_FRAME_FIELD(image_flags, "image_flags", I32),
    TARVEX_FRAME_FIELD(ispare2, "ispare2", I32),
    TARVEX_FRAME_FIELD(ispare3, "ispare3", I32),
    TARVEX_FRAME_FIELD(ispare4, "ispare4", I32),
    TARVEX_FRAME_FIELD(length, "frame_length", I32),
};

#define TARVEX_SPECT_FIELD(member, name, kind) \
    { name, offsetof(kbr7_spect_intro, head) + offsetof(kbr7_spect_header, member), FieldType::kind }

const Field kSpectrumFields[] = {
    TARVEX_FIELD(kbr7_spect_intro, intro.pattern, "pattern", U32),
    TARVEX_FIELD(kbr7_spect_intro, intro.length, "length", U32),
    TARVEX_SPECT_FIELD(i, "i", I32),
    TARVEX_SPECT_FIELD(f1, "f1", F32),
    TARVEX_SPECT_FIELD(f2, "f2", F32),
    TARVEX_SPECT_FIELD(f3, "f3", F32),
    TARVEX_SPECT_FIELD(start, "start", F32),
    TARVEX_SPECT_FIELD(inc, "inc", F32),
    TARVEX_SPECT_FIELD(usec, "usec", U32),
    TARVEX_SPECT_FIELD(sec, "sec", U32),
    TARVEX_SPECT_FIELD(bnum, "bnum", U32),
    TARVEX_SPECT_FIELD(bnum_req, "bnum_req", U32),
    TARVEX_SPECT_FIELD(event_nm, "event_nm", U32),
    TARVEX_SPECT_FIELD(error, "error", I32),
};

#undef TARVEX_SPECT_FIELD
#undef TARVEX_FRAME_FIELD
#undef TARVEX_FIELD

template <size_t N>
constexpr Layout layout(const char* name, size_t size, const Field (&fields)[N]) {
    return {name, size, fields, N};
}

}  // namespace

constexpr Layout kEventLayout = layout("event", sizeof(kbr7_eventheader), kEventFields);
constexpr Layout kEvent2024Layout = layout("event 2024", sizeof(kbr7_eventheader_2024), kEvent2024Fields);
constexpr Layout kSlowLayout = layout("slow data", sizeof(kbr7_daq_slow_data_header), kSlowFields);
constexpr Layout kImageLayout = layout("image intro", sizeof(kbr7_image_ext_intro), kImageFields);
constexpr Layout kSpectrumLayout = layout("spectrum intro", sizeof(kbr7_spect_intro), kSpectrumFields);

namespace {

using tarvex::kinds::Family;
using tarvex::kinds::KindRow;

// The binding's field lists of the headers that start with a pattern, by the
// family of records they head; a kind of the library's table takes the one
// of its family and header size, so a new kind with a known header needs
// nothing here.
struct PatternLayout {
    Family family;
    const Layout* layout;
};
constexpr PatternLayout kPatternLayouts[] = {
    {Family::Event, &kEventLayout},
    {Family::Event, &kEvent2024Layout},
    {Family::Slow, &kSlowLayout},
};

constexpr bool has_pattern_row(const KindRow& r) { return r.family == Family::Event || r.family == Family::Slow; }

constexpr const Layout* layout_of(const KindRow& r) {
    for (const PatternLayout& l : kPatternLayouts)
        if (l.family == r.family && l.layout->size == r.header) return l.layout;
    return nullptr;
}

constexpr size_t pattern_row_count() {
    size_t n = 0;
    for (const KindRow& r : tarvex::kinds::kRows) n += has_pattern_row(r) ? 1 : 0;
    return n;
}

// The library's event and slow-data rows in the order of their generations
// (legacy, 2010, 2024), as the binding's messages list them.
constexpr std::array<PatternRow, pattern_row_count()> pattern_rows() {
    using tarvex::kinds::Generation;
    std::array<PatternRow, pattern_row_count()> out{};
    size_t n = 0;
    for (const Generation g : {Generation::Legacy, Generation::G2010, Generation::G2024})
        for (const KindRow& r : tarvex::kinds::kRows)
            if (has_pattern_row(r) && r.generation == g)
                out[n++] = {r.pattern, r.family == Family::Event ? RecordKind::Event : RecordKind::Slow,
                            r.generation_name, layout_of(r)};
    return out;
}

constexpr auto kPatternRows = pattern_rows();

constexpr bool every_row_complete() {
    for (const PatternRow& row : kPatternRows)
        if (row.layout == nullptr || row.generation == nullptr) return false;
    return true;
}
static_assert(every_row_complete(),
              "every event and slow-data kind of the library needs a field layout of its header size here, "
              "and one of the generations listed in pattern_rows()");

template <class T>
T load(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void store(unsigned char* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// An integer of the field's range, or ValueError/TypeError.
template <class T>
T integer_for(const Field& f, py::handle value) {
    if (!PyLong_Check(value.ptr())) throw py::type_error(std::string("header field '") + f.name + "' takes an integer");
    if constexpr (std::is_signed<T>::value) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow == 0 && !PyErr_Occurred() && v >= std::numeric_limits<T>::min() &&
            v <= std::numeric_limits<T>::max())
            return static_cast<T>(v);
    } else {
        const unsigned long long v = PyLong_AsUnsignedLongLong(value.ptr());  // negative: OverflowError
        if (!PyErr_Occurred() && v <= std::numeric_limits<T>::max()) return static_cast<T>(v);
    }
    PyErr_Clear();
    throw py::value_error(std::string("header field '") + f.name + "': " + py::str(value).cast<std::string>() +
                          " is out of range");
}

}  // namespace

const Field* Layout::find(const std::string& field) const {
    for (const Field& f : *this)
        if (field == f.name) return &f;
    return nullptr;
}

uint32_t load32(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

const PatternRow* find_pattern(uint32_t pattern) {
    for (const PatternRow& row : kPatternRows)
        if (row.pattern == pattern) return &row;
    return nullptr;
}

const char* kind_name(RecordKind kind) { return kind == RecordKind::Event ? "event" : "slow"; }

const PatternRow& row_for(RecordKind kind, const std::string& generation) {
    std::string valid;
    for (const PatternRow& row : kPatternRows) {
        if (row.kind != kind) continue;
        if (generation == row.generation) return row;
        valid += std::string(valid.empty() ? "" : ", ") + "'" + row.generation + "'";
    }
    throw py::value_error(std::string(kind_name(kind)) + " generation '" + generation + "' is not one of " + valid);
}

uint32_t intro_pattern(const std::string& generation) { return row_for(RecordKind::Event, generation).pattern; }

py::object read_field(const Field& f, const unsigned char* header) {
    const unsigned char* p = header + f.offset;
    switch (f.type) {
        case FieldType::U32: return py::int_(load<uint32_t>(p));
        case FieldType::I32: return py::int_(load<int32_t>(p));
        case FieldType::U64: return py::int_(load<uint64_t>(p));
        case FieldType::I64: return py::int_(load<int64_t>(p));
        case FieldType::F32: return py::float_(load<float>(p));
        case FieldType::Time: {
            const time_stamp t = load<time_stamp>(p);
            return py::make_tuple(t.timeup, t.timelow);
        }
    }
    return py::none();
}

void write_field(const Field& f, unsigned char* header, py::handle value) {
    unsigned char* p = header + f.offset;
    switch (f.type) {
        case FieldType::U32: store(p, integer_for<uint32_t>(f, value)); return;
        case FieldType::I32: store(p, integer_for<int32_t>(f, value)); return;
        case FieldType::U64: store(p, integer_for<uint64_t>(f, value)); return;
        case FieldType::I64: store(p, integer_for<int64_t>(f, value)); return;
        case FieldType::F32: {
            if (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr()))
                throw py::type_error(std::string("header field '") + f.name + "' takes a number");
            store(p, static_cast<float>(value.cast<double>()));
            return;
        }
        case FieldType::Time: {
            if (!py::isinstance<py::sequence>(value) || py::len(value) != 2)
                throw py::type_error("header field 'time' takes a pair (timeup, timelow)");
            const auto pair = py::reinterpret_borrow<py::sequence>(value);
            const Field up{"time[0]", 0, FieldType::U32};
            const Field low{"time[1]", 0, FieldType::U32};
            store(p, time_stamp{integer_for<uint32_t>(up, pair[0]), integer_for<uint32_t>(low, pair[1])});
            return;
        }
    }
}

void write_fields(const Layout& layout, unsigned char* header, const py::dict& fields, const char* who) {
    for (auto item : fields) {
        const std::string name = py::str(item.first);
        const Field* f = layout.find(name);
        if (f == nullptr)
            throw py::type_error(std::string(who) + "() got an unexpected keyword argument '" + name + "' (not a " +
                                 layout.name + " header field)");
        write_field(*f, header, item.second);
    }
}

namespace {

HeaderBytes start(const Layout& layout) {
    HeaderBytes h{};
    h.size = layout.size;
    return h;
}

void put(const Layout& layout, HeaderBytes& h, const char* name, py::handle value) {
    write_field(*layout.find(name), h.bytes, value);
}

py::int_ total_length(const Layout& layout, size_t payload) { return py::int_(layout.size + payload); }

}  // namespace

HeaderBytes event_header(size_t payload, const std::string& generation, const py::kwargs& fields) {
    const PatternRow& row = row_for(RecordKind::Event, generation);
    const Layout& l = *row.layout;
    HeaderBytes h = start(l);
    put(l, h, "pattern", py::int_(row.pattern));
    put(l, h, "length", total_length(l, payload));
    put(l, h, "type", py::int_(static_cast<int>(KBR7_EV_NORMAL)));
    write_fields(l, h.bytes, fields, "event_header");
    return h;
}

HeaderBytes slow_header(size_t payload, const std::string& generation, const py::kwargs& fields) {
    const PatternRow& row = row_for(RecordKind::Slow, generation);
    const Layout& l = *row.layout;
    HeaderBytes h = start(l);
    put(l, h, "pattern", py::int_(row.pattern));
    put(l, h, "length", total_length(l, payload));
    put(l, h, "channels", py::int_(payload / 4));
    write_fields(l, h.bytes, fields, "slow_header");
    return h;
}

HeaderBytes image_intro(size_t payload, const std::string& generation, const py::dict& derived,
                        const py::kwargs& fields) {
    const Layout& l = kImageLayout;
    HeaderBytes h = start(l);
    put(l, h, "pattern", py::int_(intro_pattern(generation)));
    put(l, h, "length", total_length(l, payload));
    put(l, h, "frame_length", py::int_(payload));
    put(l, h, "hbin", py::int_(1));
    put(l, h, "vbin", py::int_(1));
    write_fields(l, h.bytes, derived, "image_intro");
    write_fields(l, h.bytes, fields, "image_intro");
    return h;
}

HeaderBytes spectrum_intro(size_t payload, const std::string& generation, const py::dict& derived,
                           const py::kwargs& fields) {
    const Layout& l = kSpectrumLayout;
    HeaderBytes h = start(l);
    put(l, h, "pattern", py::int_(intro_pattern(generation)));
    put(l, h, "length", total_length(l, payload));
    put(l, h, "bnum", py::int_(payload / 4));
    put(l, h, "bnum_req", py::int_(payload / 4));
    write_fields(l, h.bytes, derived, "spectrum_intro");
    write_fields(l, h.bytes, fields, "spectrum_intro");
    return h;
}

int64_t record_length(const Layout& layout, const unsigned char* header) {
    const Field* f = layout.find("length");
    return f->type == FieldType::I64 ? load<int64_t>(header + f->offset) : load<uint32_t>(header + f->offset);
}

}  // namespace tarvexpy
