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

// The array of a received record that has gone (no Python object refers to
// it any more), kept for the link's next receive: a steady stream of records
// then takes turns with two arrays instead of allocating one each.  Touched
// only with the interpreter lock held (records go away under it, and a
// receive lends the array to the library before it lets the lock go).
struct SpareArray {
    std::unique_ptr<char[]> array;
    unsigned capacity = 0;
};

// One end of a link.  Besides the library object it keeps what the library
// does not tell: whether the end is set up (so that close() and the
// destructor release exactly what is held), the record the last receive
// returned (for write_to_ring), the spare record array, a status held back
// by a batch receive, and a flag that refuses a second thread (one thread at
// a time may use a library object, and blocking calls run without the
// interpreter lock).
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
    py::object last_record = py::none();
    std::shared_ptr<SpareArray> spare = std::make_shared<SpareArray>();
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

// The bytes of a record, in an array from new[] that the record owns: the
// array the library received the record into (taken over, not copied), or a
// copy.  A received record's array goes back to its link's spare when the
// record goes; a copy's is freed.
struct RecordArray {
    RecordArray() = default;
    RecordArray(std::unique_ptr<char[]> a, unsigned c, std::shared_ptr<SpareArray> h)
        : array(std::move(a)), capacity(c), home(std::move(h)) {}
    RecordArray(RecordArray&&) = default;
    RecordArray& operator=(RecordArray&&) = default;
    ~RecordArray() {
        if (home != nullptr && array != nullptr) {
            home->array = std::move(array);
            home->capacity = capacity;
        }
    }

    std::unique_ptr<char[]> array;
    unsigned capacity = 0;
    std::shared_ptr<SpareArray> home;  // null for a copy
};

// An event or slow-data record: a copy of its header in host order and its
// bytes, which it owns.  The arrays that Record.body and Record.raw hand out
// view those bytes and keep the record alive, so the bytes stay as they are
// for as long as anything refers to them.
struct RecordObject {
    const PatternRow* row = nullptr;
    alignas(8) unsigned char header[48] = {};
    int64_t length = 0;
    RecordArray storage;  // the whole record, header first

    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(storage.array.get()); }
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
