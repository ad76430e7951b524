// The C++ objects behind the Python classes Link, Record, RingBuffer, Image
// and Spectrum, and what the binding files share about them.
#ifndef TARVEX_PYTHON_OBJECTS_H
#define TARVEX_PYTHON_OBJECTS_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "Layouts.h"
#include "Tarvex.h"

namespace tarvexpy {

namespace py = pybind11;

// One end of a link.  Besides the library object it keeps what the library
// does not tell: whether the end is set up (so that close() and the
// destructor release exactly what is held), a count of receive calls (a
// record's view is valid only while the count has not moved on), a status
// held back by a batch receive, and a flag that refuses a second thread
// (one thread at a time may use a library object, and blocking calls run
// without the interpreter lock).
struct LinkObject {
    explicit LinkObject(int mode, bool swap_mask);
    ~LinkObject();
    LinkObject(const LinkObject&) = delete;
    LinkObject& operator=(const LinkObject&) = delete;

    Tarvex link;
    int mode;
    bool swap_mask = false;  // the library tells neither of these two
    bool send_waits = true;
    bool setup = false;
    uint64_t receive_serial = 0;
    int held_status = 0;
    std::atomic<bool> busy{false};
};

// Claims a link for the current call; RuntimeError when another thread is
// inside a call on the same link.
class InUse {
public:
    explicit InUse(LinkObject& l);
    ~InUse() { link_.busy.store(false); }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;

private:
    LinkObject& link_;
};

// An event or slow-data record: a copy of its header in host order and its
// bytes, either viewed in the link's record buffer (valid until the link
// receives again) or owned.
struct RecordObject {
    const PatternRow* row = nullptr;
    alignas(8) unsigned char header[48] = {};
    int64_t length = 0;

    const unsigned char* data = nullptr;  // the whole record, header first
    std::unique_ptr<unsigned char[]> owned;
    py::object link_ref;  // keeps the link, and with it the viewed buffer, alive
    const LinkObject* link = nullptr;
    uint64_t serial = 0;

    bool valid() const { return owned != nullptr || (link != nullptr && link->receive_serial == serial); }
    // The record's bytes; RuntimeError once the link has received again.
    const unsigned char* bytes() const;
    size_t header_size() const { return row->layout->size; }
};

// A record from host-order bytes, copied: ValueError when they do not start
// with an event or slow-data pattern or their length field disagrees.
RecordObject record_from_bytes(const unsigned char* p, size_t n);

struct RingObject {
    explicit RingObject(unsigned long capacity) : ring(capacity) {}
    RNG_RingBuffer ring;
};

// An image or a spectrum: the intro as received (host order, first word 0)
// and the array of what follows it.
struct ImageObject {
    alignas(8) unsigned char header[sizeof(kbr7_image_ext_intro)] = {};
    py::array pixels;
};

struct SpectrumObject {
    alignas(8) unsigned char header[sizeof(kbr7_spect_intro)] = {};
    py::array data;
};

// The arrays an image's pixels and a spectrum's data are received into:
// `bytes` long, typed and shaped from the intro (the rules are in the class
// documentation of Image and Spectrum).  `dtype` None chooses by bin size.
py::array image_pixels_for(const kbr7_image_ext_intro& intro, size_t bytes);
py::array spectrum_data_for(const kbr7_spect_intro& intro, size_t bytes, py::object dtype);
// `dtype` as a numpy type when it is a plain number type; TypeError otherwise.
py::dtype plain_dtype(py::object dtype);

// One row of the header array that Link.receive_into fills (HEADER_DTYPE).
struct HeaderRow {
    int64_t length;
    uint64_t number;
    uint32_t pattern;
    int32_t type;
    uint32_t time_up;
    uint32_t time_low;
    int32_t tmask;
    int32_t status;
    int32_t num_svr_block;
    uint32_t channels;
    uint16_t kind;  // 0 event, 1 slow data
    uint16_t header_size;
};

void fill_row(HeaderRow& r, const PatternRow& row, const unsigned char* header);

// A read-only numpy view of `n` bytes at `p` that keeps `owner` alive.
py::array byte_view(const unsigned char* p, size_t n, py::handle owner);

void bind_records(py::module_& m);
void bind_link(py::module_& m);

}  // namespace tarvexpy

#endif
