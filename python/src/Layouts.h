// The record headers as the binding sees them: one field table per header
// kind (names, offsets and types, taken from the structs of event.h), the
// record patterns (derived from the library's table of kinds,
// detail/Kinds.h), and the conversions between header bytes and Python
// values.  Every attribute of a received record, every keyword of the
// header builders and every column of the header array comes from here.
#ifndef TARVEX_PYTHON_LAYOUTS_H
#define TARVEX_PYTHON_LAYOUTS_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvexpy {

namespace py = pybind11;

enum class FieldType { U32, I32, U64, I64, F32, Time };

struct Field {
    const char* name;
    size_t offset;
    FieldType type;
};

// One header struct: its size and its fields in wire order.
struct Layout {
    const char* name;
    size_t size;
    const Field* fields;
    size_t count;

    const Field* find(const std::string& field) const;
    const Field* begin() const { return fields; }
    const Field* end() const { return fields + count; }
};

extern const Layout kEventLayout;      // kbr7_eventheader, 36 bytes (legacy and 2010)
extern const Layout kEvent2024Layout;  // kbr7_eventheader_2024, 48 bytes
extern const Layout kSlowLayout;       // kbr7_daq_slow_data_header, 12 bytes
extern const Layout kImageLayout;      // kbr7_image_ext_intro, 108 bytes (8-byte intro + frame header)
extern const Layout kSpectrumLayout;   // kbr7_spect_intro, 56 bytes

enum class RecordKind : uint16_t { Event = 0, Slow = 1 };

// A record pattern in host order: the kind and generation it starts and the
// header behind it.  One row per event and slow-data kind of the library.
struct PatternRow {
    uint32_t pattern;
    RecordKind kind;
    const char* generation;  // "legacy", "2010", "2024"
    const Layout* layout;
};

const PatternRow* find_pattern(uint32_t pattern);
// The row of `kind` and `generation`; ValueError naming the valid
// generations when there is none.
const PatternRow& row_for(RecordKind kind, const std::string& generation);
// The event pattern of a generation, for image and spectrum intros.
uint32_t intro_pattern(const std::string& generation);
const char* kind_name(RecordKind kind);

py::object read_field(const Field& f, const unsigned char* header);
// Stores a Python value into a header field; ValueError when the value does
// not fit the field, TypeError when it is of the wrong type.
void write_field(const Field& f, unsigned char* header, py::handle value);
// Writes every keyword into the header; TypeError for a name the layout does
// not have (`who` names the calling function in the message).
void write_fields(const Layout& layout, unsigned char* header, const py::dict& fields, const char* who);

// A header built from defaults and keywords, for the builders and the send
// helpers.  The defaults of each kind: its pattern (from the generation),
// the length of header plus `payload` bytes, and what `derived` holds
// (values the caller took from the payload, such as an image's shape);
// every keyword overrides them.
struct HeaderBytes {
    alignas(8) unsigned char bytes[128];
    size_t size;
};

HeaderBytes event_header(size_t payload, const std::string& generation, const py::kwargs& fields);
HeaderBytes slow_header(size_t payload, const std::string& generation, const py::kwargs& fields);
HeaderBytes image_intro(size_t payload, const std::string& generation, const py::dict& derived,
                        const py::kwargs& fields);
HeaderBytes spectrum_intro(size_t payload, const std::string& generation, const py::dict& derived,
                           const py::kwargs& fields);

// The whole-record length a host-order header states.
int64_t record_length(const Layout& layout, const unsigned char* header);

uint32_t load32(const void* p);

}  // namespace tarvexpy

#endif
