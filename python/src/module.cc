// The module `tarvex`: links, records, ring buffers and the constants of
// the record formats.
#include <pybind11/pybind11.h>

#include "LogRoute.h"
#include "Objects.h"
#include "Status.h"
#include "event.h"

namespace py = pybind11;

namespace {

// The event types of event.h by name, without the KBR7_ prefix.
struct NamedValue {
    const char* name;
    long long value;
};

#define TARVEX_EV(name) \
    { #name, KBR7_##name }

const NamedValue kEventTypes[] = {
    TARVEX_EV(EV_HB),       TARVEX_EV(EV_NORMAL),
    TARVEX_EV(EV_BOR),      TARVEX_EV(EV_EOR),
    TARVEX_EV(EV_ENV),      TARVEX_EV(EV_UPD),
    TARVEX_EV(EV_IMAGE),    TARVEX_EV(EV_WS),
    TARVEX_EV(EV_MCP),      TARVEX_EV(EV_WSS),
    TARVEX_EV(EV_BL1),      TARVEX_EV(EV_BL2),
    TARVEX_EV(EV_BL3),      TARVEX_EV(EV_PG0),
    TARVEX_EV(EV_PG1),      TARVEX_EV(EV_PG2),
    TARVEX_EV(EV_GMD),      TARVEX_EV(EV_PHOTEN),
    TARVEX_EV(EV_PHOTWL),   TARVEX_EV(EV_BEAM_ENERGY),
    TARVEX_EV(EV_LLRF_ML),  TARVEX_EV(EV_BEAM_ENERGY_BYPASS),
    TARVEX_EV(EV_SPECTR_1), TARVEX_EV(EV_SPECTR_2),
    TARVEX_EV(EV_SPECTR_3), TARVEX_EV(EV_SPECTR_4),
    TARVEX_EV(EV_SPECTR_5), TARVEX_EV(EV_TOROID_ML),
    TARVEX_EV(EV_28),       TARVEX_EV(EV_29),
    TARVEX_EV(EV_30),       TARVEX_EV(EV_31),
    TARVEX_EV(EV_EVMAX),
};

#undef TARVEX_EV

const NamedValue kPatterns[] = {
    {"PATTERN_LEGACY", KBR7_PATTERN_LEGACY},       {"PATTERN_2010", KBR7_PATTERN_2010},
    {"PATTERN_2024", KBR7_PATTERN_2024},           {"PATTERN_SLOW", KBR7_PATTERN_SLOW},
    {"PATTERN_SLOW_2024", KBR7_PATTERN_SLOW_2024},
};

void add_constants(py::module_& m) {
    m.attr("NATIVE_MODE") = static_cast<int>(Tarvex::NATIVE_MODE);
    m.attr("BIGEND_MODE") = static_cast<int>(Tarvex::BIGEND_MODE);
    m.attr("KIND_EVENT") = static_cast<int>(tarvexpy::RecordKind::Event);
    m.attr("KIND_SLOW") = static_cast<int>(tarvexpy::RecordKind::Slow);
    for (const NamedValue& v : kEventTypes) m.attr(v.name) = v.value;
    for (const NamedValue& v : kPatterns) m.attr(v.name) = v.value;
#define TARVEX_STATUS_CONSTANT(name, number, ...) m.attr(#name) = number;
    TARVEX_STATUS_TABLE(TARVEX_STATUS_CONSTANT)
#undef TARVEX_STATUS_CONSTANT
}

}  // namespace

PYBIND11_MODULE(tarvex, m) {
    m.doc() =
        "Links that carry data-acquisition records (events, slow data, images, spectra) between two processes "
        "over one stream connection.  See docs/python.md.";
    m.attr("__version__") = TARVEX_PYTHON_VERSION;
    tarvexpy::bind_status(m);
    tarvexpy::bind_log(m);
    tarvexpy::bind_records(m);
    tarvexpy::bind_link(m);
    add_constants(m);
}
