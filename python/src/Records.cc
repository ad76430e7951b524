// Python classes of what a link carries: Record (events and slow data),
// Image, Spectrum and the RingBuffer; the header builders; HEADER_DTYPE.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "Buffers.h"
#include "Objects.h"
#include "event.h"

namespace tarvexpy {

using namespace pybind11::literals;

namespace {

RecordObject record_from_owned(std::unique_ptr<char[]> bytes, size_t n) {
    const PatternRow* row = n >= 4 ? find_pattern(load32(bytes.get())) : nullptr;
    if (row == nullptr) throw py::value_error("the bytes do not start with an event or slow-data pattern");
    const size_t hs = row->layout->size;
    if (n < hs) throw py::value_error("the bytes end inside the header");
    RecordObject r;
    r.row = row;
    std::memcpy(r.header, bytes.get(), hs);
    r.length = record_length(*row->layout, r.header);
    if (r.length != static_cast<int64_t>(n))
        throw py::value_error("the header states a length of " + std::to_string(r.length) + " bytes, the record has " +
                              std::to_string(n));
    r.storage = RecordArray(std::move(bytes), 0, nullptr);
    return r;
}

std::unique_ptr<char[]> copy_of(const unsigned char* p, size_t n) {
    std::unique_ptr<char[]> c(new char[n > 0 ? n : 1]);
    std::memcpy(c.get(), p, n);
    return c;
}

template <class E>
void fill_event(HeaderRow& r, const unsigned char* header) {
    E e;
    std::memcpy(&e, header, sizeof e);
    r.number = e.event_number;
    r.type = e.event_type;
    r.time_up = e.event_time.timeup;
    r.time_low = e.event_time.timelow;
    r.tmask = e.tmask;
    r.status = e.status;
    r.num_svr_block = e.num_svr_block;
}

// --- images and spectra -----------------------------------------------------

// Attributes for every field of `layout` but the pattern: the image and
// spectrum receivers do not keep it (the intro's first word reads 0).
template <class Object, class Class>
void add_intro_fields(Class& cls, const Layout& layout) {
    for (const Field& f : layout) {
        if (std::string(f.name) == "pattern") continue;
        const Field* field = &f;
        cls.def_property_readonly(f.name, [field](const Object& o) { return read_field(*field, o.header); });
    }
}

template <class Object>
std::string intro_repr(const char* what, const Object& o, const py::array& a) {
    return std::string("<tarvex.") + what + " length=" + std::to_string(load32(o.header + 4)) +
           " shape=" + py::str(a.attr("shape")).cast<std::string>() +
           " dtype=" + py::str(a.dtype()).cast<std::string>() + ">";
}

// The buffer protocol of Record, read-only bytes of the whole record that
// keep the record alive (pybind11's def_buffer would describe them as a
// writable array).
extern "C" int record_getbuffer(PyObject* obj, Py_buffer* view, int flags) {
    view->obj = nullptr;
    try {
        const RecordObject& r = py::handle(obj).cast<const RecordObject&>();
        return PyBuffer_FillInfo(view, obj, const_cast<unsigned char*>(r.bytes()), static_cast<Py_ssize_t>(r.length), 1,
                                 flags);
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return -1;
    }
}

void bind_record_class(py::module_& m) {
    py::class_<RecordObject> cls(m, "Record", py::buffer_protocol(), R"doc(
An event or slow-data record.

The header fields are attributes (host order); a field the record's header
does not have reads None (`number` of slow data, `channels` of an event).
`body` and `raw` are read-only numpy views of the bytes the record owns
(for a record from Link.receive, the very array the link received it into:
nothing is copied).  They stay valid and unchanged for as long as anything
refers to them, whatever the link receives meanwhile.  A record is a buffer
of its whole bytes, so bytes(rec), RingBuffer.write(rec) and
Link.send_batch([rec]) take it.)doc");

    std::set<std::string> names;
    for (const Layout* l : {&kEventLayout, &kEvent2024Layout, &kSlowLayout})
        for (const Field& f : *l) names.insert(f.name);
    for (const std::string& name : names)
        cls.def_property_readonly(name.c_str(), [name](const RecordObject& r) -> py::object {
            const Field* f = r.row->layout->find(name);
            return f != nullptr ? read_field(*f, r.header) : py::none();
        });

    cls.def_property_readonly(
           "kind", [](const RecordObject& r) { return kind_name(r.row->kind); }, "\"event\" or \"slow\".")
        .def_property_readonly(
            "generation", [](const RecordObject& r) { return r.row->generation; },
            "\"legacy\", \"2010\" or \"2024\", as the pattern says.")
        .def_property_readonly("header_size", &RecordObject::header_size, "36, 48 or 12 bytes.")
        .def_property_readonly(
            "valid", [](const RecordObject&) { return true; },
            "Always True: a record owns its bytes (kept for code written when views ended with the next receive).")
        .def_property_readonly(
            "header",
            [](const RecordObject& r) { return py::bytes(reinterpret_cast<const char*>(r.header), r.header_size()); },
            "The header bytes in host order (a copy).")
        .def_property_readonly(
            "body",
            [](py::object self) {
                const RecordObject& r = self.cast<const RecordObject&>();
                const size_t hs = r.header_size();
                return byte_view(r.bytes() + hs, static_cast<size_t>(r.length) - hs, self);
            },
            "The bytes behind the header: a read-only uint8 array that views the record's bytes.")
        .def_property_readonly(
            "raw",
            [](py::object self) {
                const RecordObject& r = self.cast<const RecordObject&>();
                return byte_view(r.bytes(), static_cast<size_t>(r.length), self);
            },
            "The whole record, header first: a read-only uint8 array.")
        .def(
            "copy",
            [](const RecordObject& r) {
                return record_from_owned(copy_of(r.bytes(), static_cast<size_t>(r.length)),
                                         static_cast<size_t>(r.length));
            },
            "A record with a copy of the bytes (a received record owns its bytes already).")
        .def("__len__", [](const RecordObject& r) { return r.length; })
        .def("__repr__",
             [](const RecordObject& r) {
                 std::string s = std::string("<tarvex.Record ") + kind_name(r.row->kind) + " " + r.row->generation;
                 if (const Field* f = r.row->layout->find("number"))
                     s += " number=" + py::str(read_field(*f, r.header)).cast<std::string>();
                 return s + " length=" + std::to_string(r.length) + ">";
             })
        .def_static(
            "from_bytes",
            [](py::handle obj) {
                HeldBuffers held;
                const iovec v = held.hold(obj);
                return record_from_owned(copy_of(static_cast<const unsigned char*>(v.iov_base), v.iov_len), v.iov_len);
            },
            py::arg("data"),
            "Parses a whole record in host order (as Record.raw or RingBuffer.read give it) into an owned Record.");

    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_as_buffer->bf_getbuffer = record_getbuffer;
    type->tp_as_buffer->bf_releasebuffer = nullptr;
}

void bind_intro_classes(py::module_& m) {
    py::class_<ImageObject> image(m, "Image", R"doc(
An image from Link.receive_image: the frame header fields as attributes
(`length` is the whole record's, `frame_length` the frame header's own
field) and `pixels`, a numpy array the image owns.  Pixels are handed over
as they travelled (never converted).  Shape and type come from the frame
header: bpp gives the pixel type (up to 8 bits uint8, 16 uint16, 32 uint32,
64 uint64; 24 bits three uint8 channels on a last axis), and the array is
(aoi_height, aoi_width) or else (height, width), whichever holds exactly the
pixel bytes; when neither does it is flat, and uint8 when even the pixel
size does not divide the bytes.)doc");
    add_intro_fields<ImageObject>(image, kImageLayout);
    image.def_readonly("pixels", &ImageObject::pixels)
        .def_property_readonly(
            "header",
            [](const ImageObject& o) { return py::bytes(reinterpret_cast<const char*>(o.header), sizeof o.header); },
            "The 108 intro bytes as received, in host order (the first word is 0).")
        .def("__repr__", [](const ImageObject& o) { return intro_repr("Image", o, o.pixels); });

    py::class_<SpectrumObject> spectrum(m, "Spectrum", R"doc(
A spectrum from Link.receive_spectrum: the spectrum header fields as
attributes and `data`, a numpy array the spectrum owns, never converted.
By default one element per bin: the bin size (data bytes / bnum) chooses
float32 for 4 bytes, float64 for 8, uint16 for 2 and uint8 for 1; a dtype
given to receive_spectrum overrides that.  Bytes that do not divide into
elements give a flat uint8 array.  `axis` is start + inc * i for each
element.)doc");
    add_intro_fields<SpectrumObject>(spectrum, kSpectrumLayout);
    spectrum.def_readonly("data", &SpectrumObject::data)
        .def_property_readonly(
            "axis",
            [](const SpectrumObject& o) {
                kbr7_spect_intro s;
                std::memcpy(&s, o.header, sizeof s);
                py::module_ np = py::module_::import("numpy");
                return np.attr("arange")(py::len(o.data), "dtype"_a = "float64") * py::float_(s.head.inc) +
                       py::float_(s.head.start);
            },
            "The x value of each element: start + inc * i.")
        .def_property_readonly(
            "header",
            [](const SpectrumObject& o) { return py::bytes(reinterpret_cast<const char*>(o.header), sizeof o.header); },
            "The 56 intro bytes as received, in host order (the first word is 0).")
        .def("__repr__", [](const SpectrumObject& o) { return intro_repr("Spectrum", o, o.data); });
}

void bind_ring(py::module_& m) {
    py::class_<RingObject>(m, "RingBuffer", R"doc(
A fixed-capacity store of whole records, in order.  Link.receive(ring=...)
acknowledges each record against its free space; write() stores a record
whole or not at all; read() hands the oldest back.  One thread may write
while another reads.)doc")
        .def(py::init<unsigned long>(), py::arg("capacity"), "Allocates `capacity` bytes of record storage.")
        .def_property_readonly("capacity", [](const RingObject& r) { return r.ring.size(); })
        .def_property_readonly("used", [](const RingObject& r) { return r.ring.bytesUsed(); })
        .def_property_readonly(
            "free", [](const RingObject& r) { return r.ring.size() - r.ring.bytesUsed(); },
            "The largest record write() accepts now.")
        .def_property_readonly(
            "next_size", [](const RingObject& r) { return r.ring.nextRecordSize(); },
            "Size of the oldest record, 0 when empty.")
        .def("__len__", [](const RingObject& r) { return r.ring.records(); })
        .def(
            "write",
            [](RingObject& r, py::handle obj) {
                HeldBuffers held;
                const iovec v = held.hold(obj);
                if (v.iov_len > 0xffffffffu) return false;
                const unsigned n = static_cast<unsigned>(v.iov_len);
                return r.ring.Write(static_cast<char*>(v.iov_base), n) == n && n > 0;
            },
            py::arg("record"),
            "Stores the bytes of `record` (a Record or any buffer) as one record; False when refused (no room, or "
            "empty).")
        .def(
            "read",
            [](RingObject& r) -> py::object {
                const unsigned long n = r.ring.nextRecordSize();
                if (n == 0) return py::none();
                py::array_t<uint8_t> out(static_cast<py::ssize_t>(n));
                if (r.ring.Read(reinterpret_cast<char*>(out.mutable_data()), n) < 0) return py::none();
                return std::move(out);
            },
            "Removes the oldest record and returns its bytes (a uint8 array), or None when empty.")
        .def(
            "read_record",
            [](RingObject& r) -> py::object {
                const unsigned long n = r.ring.nextRecordSize();
                if (n == 0) return py::none();
                std::unique_ptr<char[]> bytes(new char[n]);
                if (r.ring.Read(reinterpret_cast<char*>(bytes.get()), n) < 0) return py::none();
                return py::cast(record_from_owned(std::move(bytes), n));
            },
            "Removes the oldest record and returns it as an owned Record, or None when empty.");
}

void bind_builders(py::module_& m) {
    auto as_bytes = [](const HeaderBytes& h) { return py::bytes(reinterpret_cast<const char*>(h.bytes), h.size); };
    m.def(
        "event_header",
        [as_bytes](size_t body_size, const std::string& generation, const py::kwargs& fields) {
            return as_bytes(event_header(body_size, generation, fields));
        },
        py::arg("body_size") = 0, py::kw_only(), py::arg("generation") = "2010", R"doc(
The header of an event with `body_size` bytes behind it: 36 bytes for the
"legacy" and "2010" generations, 48 for "2024".  Keywords set fields:
number, type (default 1, a normal event), time=(timeup, timelow), tmask,
status, num_svr_block (2024: alignment); pattern and length are preset.)doc");
    m.def(
        "slow_header",
        [as_bytes](size_t body_size, const std::string& generation, const py::kwargs& fields) {
            return as_bytes(slow_header(body_size, generation, fields));
        },
        py::arg("body_size") = 0, py::kw_only(), py::arg("generation") = "legacy", R"doc(
The 12-byte header of a slow-data record ("legacy" or "2024") with
`body_size` bytes behind it; channels defaults to body_size // 4.)doc");
    m.def(
        "image_intro",
        [as_bytes](size_t pixel_bytes, const std::string& generation, const py::kwargs& fields) {
            return as_bytes(image_intro(pixel_bytes, generation, py::dict(), fields));
        },
        py::arg("pixel_bytes") = 0, py::kw_only(), py::arg("generation") = "2010", R"doc(
The 108 bytes in front of an image's pixels: the 8-byte intro (pattern of
the generation, whole length) and the 100-byte frame header, whose fields
are keywords (width, height, aoi_width, aoi_height, bpp, frame, ...;
frame_length defaults to pixel_bytes, hbin and vbin to 1).  Link.send
takes it as send(intro[:8], intro[8:], pixels).)doc");
    m.def(
        "spectrum_intro",
        [as_bytes](size_t data_bytes, const std::string& generation, const py::kwargs& fields) {
            return as_bytes(spectrum_intro(data_bytes, generation, py::dict(), fields));
        },
        py::arg("data_bytes") = 0, py::kw_only(), py::arg("generation") = "2010", R"doc(
The 56 bytes in front of a spectrum's data: pattern, whole length and the
spectrum header fields as keywords (start, inc, bnum, bnum_req, sec, usec,
event_nm, ...; bnum and bnum_req default to data_bytes // 4).)doc");
}

}  // namespace

RecordObject record_from_bytes(const unsigned char* p, size_t n) { return record_from_owned(copy_of(p, n), n); }

void fill_row(HeaderRow& r, const PatternRow& row, const unsigned char* header) {
    r = HeaderRow{};
    r.pattern = row.pattern;
    r.kind = static_cast<uint16_t>(row.kind);
    r.header_size = static_cast<uint16_t>(row.layout->size);
    r.length = record_length(*row.layout, header);
    if (row.layout == &kEventLayout) {
        fill_event<kbr7_eventheader>(r, header);
    } else if (row.layout == &kEvent2024Layout) {
        fill_event<kbr7_eventheader_2024>(r, header);
    } else {
        kbr7_daq_slow_data_header s;
        std::memcpy(&s, header, sizeof s);
        r.channels = s.channels_number;
    }
}

namespace {

py::array flat_bytes(size_t n) {
    return py::array(py::dtype::of<uint8_t>(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
}

}  // namespace

py::dtype plain_dtype(py::object dtype) {
    py::dtype t = py::dtype::from_args(dtype);
    const char kind = t.kind();
    if (t.has_fields() || std::strchr("biufc", kind) == nullptr || kind == '\0')
        throw py::type_error("a spectrum's data type is a plain number type (bool, integer, float, complex), not " +
                             py::str(t).cast<std::string>());
    return t;
}

py::array image_pixels_for(const kbr7_image_ext_intro& intro, size_t bytes) {
    const kbr7_image_ext_frame_head& f = intro.head;
    struct PixelType {
        int bytes;
        py::dtype dtype;
        py::ssize_t channels;  // 0: no channel axis
    };
    const int pixel_bytes = f.bpp > 0 ? (f.bpp + 7) / 8 : 0;
    PixelType t{1, py::dtype::of<uint8_t>(), 0};
    switch (pixel_bytes) {
        case 2: t = {2, py::dtype::of<uint16_t>(), 0}; break;
        case 3: t = {3, py::dtype::of<uint8_t>(), 3}; break;
        case 4: t = {4, py::dtype::of<uint32_t>(), 0}; break;
        case 8: t = {8, py::dtype::of<uint64_t>(), 0}; break;
        default: break;  // 1, and sizes without a type of their own: bytes
    }
    auto with_channels = [&t](std::vector<py::ssize_t> shape) {
        if (t.channels > 0) shape.push_back(t.channels);
        return py::array(t.dtype, std::move(shape));
    };
    const int32_t candidates[][2] = {{f.aoi_height, f.aoi_width}, {f.height, f.width}};
    for (const auto& c : candidates)
        if (c[0] > 0 && c[1] > 0 &&
            static_cast<uint64_t>(c[0]) * static_cast<uint64_t>(c[1]) * static_cast<uint64_t>(t.bytes) == bytes)
            return with_channels({c[0], c[1]});
    if (bytes % static_cast<size_t>(t.bytes) == 0)
        return with_channels({static_cast<py::ssize_t>(bytes / static_cast<size_t>(t.bytes))});
    return flat_bytes(bytes);
}

py::array spectrum_data_for(const kbr7_spect_intro& intro, size_t bytes, py::object dtype) {
    py::dtype t = py::dtype::of<float>();
    if (!dtype.is_none()) {
        t = plain_dtype(dtype);
    } else if (intro.head.bnum > 0 && bytes % intro.head.bnum == 0) {
        switch (bytes / intro.head.bnum) {
            case 1: t = py::dtype::of<uint8_t>(); break;
            case 2: t = py::dtype::of<uint16_t>(); break;
            case 8: t = py::dtype::of<double>(); break;
            default: break;
        }
    }
    const size_t item = static_cast<size_t>(t.itemsize());
    if (item == 0 || bytes % item != 0) return flat_bytes(bytes);
    return py::array(t, std::vector<py::ssize_t>{static_cast<py::ssize_t>(bytes / item)});
}

py::array byte_view(const unsigned char* p, size_t n, py::handle owner) {
    py::array a(py::dtype::of<uint8_t>(), {static_cast<py::ssize_t>(n)}, {1}, p, owner);
    py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return a;
}

void bind_records(py::module_& m) {
    PYBIND11_NUMPY_DTYPE(HeaderRow, length, number, pattern, type, time_up, time_low, tmask, status, num_svr_block,
                         channels, kind, header_size);
    m.attr("HEADER_DTYPE") = py::dtype::of<HeaderRow>();
    bind_record_class(m);
    bind_intro_classes(m);
    bind_ring(m);
    bind_builders(m);
}

}  // namespace tarvexpy
