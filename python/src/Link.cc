// The Python class Link: one end of a link.  Every call that may block
// (accept, connect, the sends, the receives, the waits) runs without the
// interpreter lock, so other Python threads go on meanwhile.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Buffers.h"
#include "LogRoute.h"
#include "Objects.h"
#include "Status.h"
#include "event_util.h"

namespace tarvexpy {

LinkObject::LinkObject(int m, bool mask) : link(m), mode(m != 0 ? Tarvex::BIGEND_MODE : Tarvex::NATIVE_MODE) {
    link.set_swap_mask(mask);
    swap_mask = mask;
}

// The library object keeps its sockets when destroyed; a Python object
// that goes away releases what it holds, as a socket object does.
LinkObject::~LinkObject() {
    if (setup) link.SocketRelease();
}

InUse::InUse(LinkObject& l) : link_(l) {
    if (l.busy.exchange(true))
        throw std::runtime_error("this tarvex.Link is in use by another thread: one thread at a time may use a link");
}

namespace {

template <class F>
auto unlocked(F&& f) {
    py::gil_scoped_release nogil;
    return f();
}

// The library's wait arguments for a timeout in seconds: None waits without
// a time limit, a number makes one wait of that long.
struct Wait {
    int trs;
    int sec;
    int usec;
    bool unbounded;
};

const Wait kNoWait{1, 0, 0, false};

// A number of seconds: TypeError for what is not a number, ValueError for a
// negative one or NaN.
double seconds_of(const py::object& timeout) {
    const double t = PyFloat_AsDouble(timeout.ptr());
    if (t == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    if (!(t >= 0))
        throw py::value_error("timeout is a number of seconds >= 0, not " + py::repr(timeout).cast<std::string>());
    return t;
}

Wait wait_for(const py::object& timeout) {
    if (timeout.is_none()) return {-1, -1, -1, true};
    const double t = seconds_of(timeout);
    if (t > INT_MAX) throw py::value_error("timeout is None or at most 2**31 - 1 seconds");
    int sec = static_cast<int>(std::floor(t));
    int usec = static_cast<int>(std::lround((t - sec) * 1e6));
    if (usec >= 1000000) {
        ++sec;
        usec -= 1000000;
    }
    return {1, sec, usec, false};
}

// True when the peer has closed its end and every byte it sent has been
// taken.
bool peer_gone(Tarvex& t) { return t.get_peer_closed() && t.get_buffered_bytes() == 0; }

// The same, also when no read has met the end of the stream yet: a socket
// with nothing read ahead is asked whether it is at its end (a peek, which
// takes nothing from the link).
bool stream_ended(Tarvex& t) {
    if (t.get_buffered_bytes() > 0) return false;
    if (t.get_peer_closed()) return true;
    const int fd = t.get_data_fd();
    char c;
    return fd >= 0 && ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// The record the last receive stored, or null.  The accessors find it by a
// host-order pattern; a record whose pattern still reads reversed (the
// peer's byte order with conversion masked) has none.
const unsigned char* stored_record(Tarvex& t) {
    if (const auto* e = t.get_event_header()) return reinterpret_cast<const unsigned char*>(e);
    if (const auto* e = t.get_event_header_2024()) return reinterpret_cast<const unsigned char*>(e);
    if (const auto* s = t.get_slow_data_header()) return reinterpret_cast<const unsigned char*>(s);
    return nullptr;
}

constexpr int kUnreadableRecord = -1;  // a received record that stored_record cannot find

[[noreturn]] void raise_unreadable() {
    throw std::runtime_error(
        "the received record's pattern reads in the other byte order (conversion is masked): it cannot be shown");
}

void raise_held_status(LinkObject& l, const char* operation) {
    const int st = l.held_status;
    l.held_status = 0;
    if (st == kUnreadableRecord) raise_unreadable();
    if (st != 0) raise_status(st, operation);
}

// The record the library has just stored, as a Record that takes over its
// array: no byte is copied, and the next receive stores into another array.
py::object take_record(LinkObject& l) {
    if (stored_record(l.link) == nullptr) raise_unreadable();
    unsigned size = 0;
    unsigned capacity = 0;
    std::unique_ptr<char[]> array(l.link.take_record_array(&size, &capacity));
    RecordObject r;
    r.row = find_pattern(load32(array.get()));
    std::memcpy(r.header, array.get(), r.header_size());
    r.length = size;
    r.storage = RecordArray(std::move(array), capacity, l.spare);
    return py::cast(std::move(r));
}

// Gives the library the spare array for the next record, so that it need
// not allocate one.
void lend_spare(LinkObject& l) {
    if (l.spare->array != nullptr) l.link.reuse_record_array(l.spare->array.release(), l.spare->capacity);
}

// Lets go of the record of the last receive call before the next one: the
// one receive() returned (when nothing else refers to it, its array becomes
// the spare) and the one the library kept after receive_into (its array
// stays with the library, holding no record), so that write_to_ring never
// stores a record of an earlier call.
void forget_last_record(LinkObject& l) {
    l.last_record = py::none();
    unsigned size = 0;
    unsigned capacity = 0;
    if (char* kept = l.link.take_record_array(&size, &capacity)) l.link.reuse_record_array(kept, capacity);
}

LinkObject& link_of(const py::object& self) { return self.cast<LinkObject&>(); }

// --- connection -------------------------------------------------------------

int mode_of(const py::object& mode) {
    if (py::isinstance<py::str>(mode)) {
        const std::string s = mode.cast<std::string>();
        if (s == "native") return Tarvex::NATIVE_MODE;
        if (s == "bigend" || s == "big-endian") return Tarvex::BIGEND_MODE;
        throw py::value_error("mode is 'native' or 'bigend' (tarvex.NATIVE_MODE or tarvex.BIGEND_MODE)");
    }
    if (PyBool_Check(mode.ptr()))
        throw py::type_error(
            "mode is tarvex.NATIVE_MODE or tarvex.BIGEND_MODE, not a bool (swap_mask=True masks conversion)");
    if (!PyLong_Check(mode.ptr()))
        throw py::type_error(std::string("mode is tarvex.NATIVE_MODE or tarvex.BIGEND_MODE (or 'native', 'bigend'), "
                                         "not ") +
                             Py_TYPE(mode.ptr())->tp_name);
    const int nonzero = PyObject_IsTrue(mode.ptr());
    if (nonzero < 0) throw py::error_already_set();
    return nonzero != 0 ? Tarvex::BIGEND_MODE : Tarvex::NATIVE_MODE;
}

// The transport the library will use, as it decides it: the local socket
// when KBR7_TARVEX_SOCK_TYPE is exactly "UNIX".
bool local_transport() {
    const char* v = std::getenv("KBR7_TARVEX_SOCK_TYPE");
    return v != nullptr && std::strcmp(v, "UNIX") == 0;
}

// A TCP port is 0..65535; the local socket takes any number a C int holds
// (it names the file /tmp/<port>.tcp).
int port_of(long long port) {
    if (local_transport()) {
        if (port < INT_MIN || port > INT_MAX)
            throw py::value_error("a local socket's port is a number from -2**31 to 2**31 - 1, not " +
                                  std::to_string(port));
    } else if (port < 0 || port > 65535) {
        throw py::value_error("a TCP port is 0..65535, not " + std::to_string(port) +
                              " (the local socket, KBR7_TARVEX_SOCK_TYPE=UNIX, takes any number)");
    }
    return static_cast<int>(port);
}

void listen(LinkObject& l, long long port) {
    const int p = port_of(port);
    InUse use(l);
    check(l.link.SocketSetup(p), "listen");
    l.setup = true;
}

void accept(LinkObject& l) {
    InUse use(l);
    check(unlocked([&] { return l.link.Connect(true); }), "accept");
}

double monotonic_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Tries again every 50 ms while the connection is refused.  The lines of a
// refused attempt are told at most once a second (the first attempt's are);
// every other attempt's lines are told as they are.
void connect(LinkObject& l, const std::string& host, long long port, const py::object& timeout) {
    const int p = port_of(port);
    const double seconds = seconds_of(timeout);
    InUse use(l);
    const double deadline = monotonic_now() + seconds;
    double told = -1e300;
    for (;;) {
        HeldLines lines;
        const int st = unlocked([&] { return l.link.Connect(host.c_str(), p); });
        const double now = monotonic_now();
        if (st != ERR_CONNECT || now - told >= 1.0) {
            told = st == ERR_CONNECT ? now : told;
            lines.replay();
        }
        if (st == 0) {
            l.setup = true;
            return;
        }
        if (st != ERR_CONNECT || now >= deadline) raise_status(st, "connect");
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        unlocked([] {
            const timespec pause{0, 50 * 1000 * 1000};
            return nanosleep(&pause, nullptr);
        });
    }
}

// A close may wait (up to the retry budget) for the peer to take the last
// records: other threads go on meanwhile.
void release(LinkObject& l) {
    InUse use(l);
    const int st = unlocked([&] { return l.link.SocketRelease(); });
    check(st, "release");
    l.setup = false;
}

void close(LinkObject& l) {
    InUse use(l);
    if (!l.setup) return;
    const int st = unlocked([&] { return l.link.SocketRelease(); });
    check(st, "close");
    l.setup = false;
}

// --- sending ----------------------------------------------------------------

void send_gather(LinkObject& l, std::vector<iovec>& vec, bool ack, const char* operation) {
    InUse use(l);
    const int mode = ack ? SendEvent_ACK : SendEvent_NOACK;
    check(unlocked([&] { return l.link.SendEvent(vec.data(), static_cast<int>(vec.size()), mode); }), operation);
}

void send(LinkObject& l, py::handle header, const py::args& fragments, bool ack) {
    HeldBuffers held;
    std::vector<iovec> vec{held.hold(header)};
    for (py::handle f : fragments) held.append(f, vec);
    send_gather(l, vec, ack, "send");
}

// Records with a header of `kind`, the body fragments behind it.
template <class BuildHeader>
void send_with_header(LinkObject& l, py::handle body, bool ack, const char* operation, BuildHeader&& build) {
    HeldBuffers held;
    std::vector<iovec> vec(1);
    const HeaderBytes h = build(held.append(body, vec));
    vec[0] = {const_cast<unsigned char*>(h.bytes), h.size};
    send_gather(l, vec, ack, operation);
}

void send_event(LinkObject& l, py::handle body, const std::string& generation, bool ack, const py::kwargs& fields) {
    send_with_header(l, body, ack, "send_event", [&](size_t n) { return event_header(n, generation, fields); });
}

void send_slow(LinkObject& l, py::handle body, const std::string& generation, bool ack, const py::kwargs& fields) {
    send_with_header(l, body, ack, "send_slow", [&](size_t n) { return slow_header(n, generation, fields); });
}

// Width, height and bits per pixel of a numpy array of pixels ((height,
// width) or (height, width, channels)); nothing for other objects.
py::dict image_shape_fields(py::handle pixels) {
    py::dict d;
    if (!py::isinstance<py::array>(pixels)) return d;
    const auto a = py::reinterpret_borrow<py::array>(pixels);
    if (a.ndim() < 2 || a.ndim() > 3) return d;
    const py::ssize_t channels = a.ndim() == 3 ? a.shape(2) : 1;
    d["height"] = a.shape(0);
    d["aoi_height"] = a.shape(0);
    d["width"] = a.shape(1);
    d["aoi_width"] = a.shape(1);
    d["bpp"] = a.itemsize() * 8 * channels;
    return d;
}

// Images go out as the 8-byte intro, the 100-byte frame header and the
// pixels; they are never acknowledged (their receiver answers nothing).
void send_image(LinkObject& l, py::handle pixels, const std::string& generation, const py::kwargs& fields) {
    HeldBuffers held;
    std::vector<iovec> vec(3);
    vec[2] = held.hold(pixels);
    const HeaderBytes h = image_intro(vec[2].iov_len, generation, image_shape_fields(pixels), fields);
    vec[0] = {const_cast<unsigned char*>(h.bytes), sizeof(kbr7_image_head)};
    vec[1] = {const_cast<unsigned char*>(h.bytes) + sizeof(kbr7_image_head), sizeof(kbr7_image_ext_frame_head)};
    send_gather(l, vec, false, "send_image");
}

// Spectra have no header size of their own that SendEvent knows: they go
// out as one raw block, the intro converted here when the link converts.
void send_spectrum(LinkObject& l, py::handle data, const std::string& generation, const py::kwargs& fields) {
    HeldBuffers held;
    const iovec d = held.hold(data);
    py::dict derived;
    if (py::isinstance<py::array>(data)) {
        const py::ssize_t elements = py::reinterpret_borrow<py::array>(data).size();
        derived["bnum"] = elements;
        derived["bnum_req"] = elements;
    }
    const HeaderBytes h = spectrum_intro(d.iov_len, generation, derived, fields);
    if (h.size + d.iov_len > static_cast<size_t>(INT_MAX)) throw py::value_error("a spectrum block is at most 2 GiB");
    std::vector<char> block(h.size + d.iov_len);
    std::memcpy(block.data(), h.bytes, h.size);
    if (d.iov_len > 0) std::memcpy(block.data() + h.size, d.iov_base, d.iov_len);

    InUse use(l);
    if (l.link.get_swap()) {
        auto* intro = reinterpret_cast<kbr7_spect_intro*>(block.data());
        if (kbr7_convert_spect_head(intro, intro) != 0) raise_status(ERR_SWAP, "send_spectrum");
    }
    check(unlocked([&] { return l.link.SendRequest(block.data(), static_cast<int>(block.size())); }), "send_spectrum");
}

void send_request(LinkObject& l, py::handle block) {
    HeldBuffers held;
    const iovec b = held.hold(block);
    if (b.iov_len > static_cast<size_t>(INT_MAX)) throw py::value_error("a request block is at most 2 GiB");
    InUse use(l);
    check(unlocked([&] { return l.link.SendRequest(static_cast<char*>(b.iov_base), static_cast<int>(b.iov_len)); }),
          "send_request");
}

// --- the batch send -----------------------------------------------------------

// A whole record in host order cut into header and body for the gather
// list; ValueError when it does not begin with a header whose length fits.
size_t cut_record(const unsigned char* p, size_t available, std::vector<iovec>& vec, const std::string& where) {
    const PatternRow* row = available >= 4 ? find_pattern(load32(p)) : nullptr;
    if (row == nullptr) throw py::value_error(where + " does not start with an event or slow-data pattern");
    const size_t hs = row->layout->size;
    const int64_t length = available >= hs ? record_length(*row->layout, p) : -1;
    if (length < static_cast<int64_t>(hs) || static_cast<uint64_t>(length) > available)
        throw py::value_error(where + ": its header states a length of " + std::to_string(length) + " bytes, " +
                              std::to_string(available) + " are there");
    unsigned char* q = const_cast<unsigned char*>(p);
    vec.push_back({q, hs});
    vec.push_back({q + hs, static_cast<size_t>(length) - hs});
    return static_cast<size_t>(length);
}

struct Batch {
    HeldBuffers held;
    std::vector<iovec> vec;
    std::vector<std::pair<size_t, size_t>> spans;  // first entry and entry count of each record
};

void add_block(Batch& b, py::handle block) {
    const iovec all = b.held.hold(block);
    const auto* p = static_cast<const unsigned char*>(all.iov_base);
    for (size_t at = 0; at < all.iov_len;) {
        const size_t first = b.vec.size();
        at += cut_record(p + at, all.iov_len - at, b.vec, "the record at byte " + std::to_string(at));
        b.spans.push_back({first, 2});
    }
}

void add_item(Batch& b, py::handle item) {
    const size_t first = b.vec.size();
    const std::string where = "record " + std::to_string(b.spans.size());
    if (PyObject_CheckBuffer(item.ptr())) {
        const iovec whole = b.held.hold(item);
        if (cut_record(static_cast<const unsigned char*>(whole.iov_base), whole.iov_len, b.vec, where) != whole.iov_len)
            throw py::value_error(where + ": its header states a length other than its size");
    } else if (PyList_Check(item.ptr()) || PyTuple_Check(item.ptr())) {
        if (py::len(item) == 0) throw py::value_error(where + " is an empty gather list");
        for (py::handle piece : py::reinterpret_borrow<py::sequence>(item)) b.vec.push_back(b.held.hold(piece));
    } else {
        throw py::type_error(where + " is neither a buffer (a whole record) nor a list of buffers (header, body...)");
    }
    b.spans.push_back({first, b.vec.size() - first});
}

size_t send_batch(LinkObject& l, py::handle records) {
    Batch b;
    if (PyObject_CheckBuffer(records.ptr())) {
        add_block(b, records);
    } else {
        for (py::handle item : py::iter(records)) add_item(b, item);
    }
    if (b.spans.size() > static_cast<size_t>(INT_MAX)) throw py::value_error("a batch holds at most 2**31 - 1 records");
    std::vector<TarvexRecord> recs;
    recs.reserve(b.spans.size());
    for (const auto& s : b.spans) recs.push_back({b.vec.data() + s.first, static_cast<int>(s.second)});

    InUse use(l);
    int sent = 0;
    const int st = unlocked([&] { return l.link.SendEventBatch(recs.data(), static_cast<int>(recs.size()), &sent); });
    if (st != 0) raise_status(st, "send_batch", sent);
    return recs.size();
}

// --- receiving --------------------------------------------------------------

// The next record; None when none came in time; PeerGoneError when the
// peer has gone.
py::object receive_record(LinkObject& l, RingObject* ring, const py::object& timeout) {
    InUse use(l);
    raise_held_status(l, "receive");
    const Wait w = wait_for(timeout);
    RNG_RingBuffer* rb = ring != nullptr ? &ring->ring : nullptr;
    forget_last_record(l);
    lend_spare(l);
    for (;;) {
        const int st = unlocked([&] { return l.link.ReceiveEvent(rb, w.trs, w.sec, w.usec); });
        if (st == 0) {
            l.last_record = take_record(l);
            return l.last_record;
        }
        // Idle: nothing came in time, or the bytes of the next pattern are
        // still on their way (the link keeps those it has taken).
        if (!tarvex_status_is_idle(st)) raise_status(st, "receive");
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (unlocked([&] { return peer_gone(l.link); })) raise_peer_gone("receive");
        if (!w.unbounded) return py::none();
    }
}

struct BatchOutcome {
    size_t count;
    int status;
};

// Up to `n` records into the rows and body rows: the first as `first` says,
// the rest only while they are there without waiting.  Runs without the
// interpreter lock.
BatchOutcome receive_rows(Tarvex& t, HeaderRow* rows, size_t n, unsigned char* bodies, size_t body_cap,
                          const Wait& first) {
    size_t got = 0;
    while (got < n) {
        const Wait& w = got == 0 ? first : kNoWait;
        const int st = t.ReceiveEvent(nullptr, w.trs, w.sec, w.usec);
        if (tarvex_status_is_idle(st)) {
            if (got > 0 || !w.unbounded || peer_gone(t)) break;
            continue;
        }
        if (st != 0) return {got, st};
        const unsigned char* rec = stored_record(t);
        if (rec == nullptr) return {got, kUnreadableRecord};
        HeaderRow& row = rows[got];
        fill_row(row, *find_pattern(load32(rec)), rec);
        if (bodies != nullptr) {
            const size_t body = static_cast<size_t>(row.length) - row.header_size;
            std::memcpy(bodies + got * body_cap, rec + row.header_size, body < body_cap ? body : body_cap);
        }
        ++got;
    }
    return {got, 0};
}

py::array checked_array(py::handle obj, const char* what) {
    if (!py::isinstance<py::array>(obj)) throw py::type_error(std::string(what) + " is a numpy array");
    auto a = py::reinterpret_borrow<py::array>(obj);
    if (!(a.flags() & py::array::c_style)) throw py::value_error(std::string(what) + " must be C-contiguous");
    if (!a.writeable()) throw py::value_error(std::string(what) + " must be writable");
    return a;
}

size_t receive_into(const py::object& self, py::handle headers, py::handle bodies, const py::object& timeout) {
    py::array h = checked_array(headers, "headers");
    if (!h.dtype().equal(py::dtype::of<HeaderRow>()) || h.ndim() != 1)
        throw py::type_error("headers is a one-dimensional array of tarvex.HEADER_DTYPE");
    const size_t n = static_cast<size_t>(h.shape(0));
    unsigned char* body_base = nullptr;
    size_t body_cap = 0;
    if (!bodies.is_none()) {
        py::array b = checked_array(bodies, "bodies");
        if (!b.dtype().equal(py::dtype::of<uint8_t>()) || b.ndim() != 2 || static_cast<size_t>(b.shape(0)) < n)
            throw py::type_error("bodies is a two-dimensional uint8 array with a row for every header row");
        body_base = static_cast<unsigned char*>(b.mutable_data());
        body_cap = static_cast<size_t>(b.shape(1));
    }
    auto* rows = static_cast<HeaderRow*>(h.mutable_data());

    LinkObject& l = link_of(self);
    InUse use(l);
    raise_held_status(l, "receive_into");
    const Wait w = wait_for(timeout);
    if (n == 0) return 0;
    // The library keeps the last record of the batch, for write_to_ring.
    forget_last_record(l);
    lend_spare(l);
    const BatchOutcome o = unlocked([&] { return receive_rows(l.link, rows, n, body_base, body_cap, w); });
    if (o.status != 0) {
        // The records already in the arrays are handed over; the status
        // waits for the next call.
        l.held_status = o.status;
        if (o.count == 0) raise_held_status(l, "receive_into");
    }
    if (o.count == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (o.count == 0 && unlocked([&] { return peer_gone(l.link); })) raise_peer_gone("receive_into");
    return o.count;
}

// Waits for the first byte (the image and spectrum receivers themselves
// wait without a limit): False when nothing came in time, PeerGoneError
// when the peer has gone.  A signal whose handler raises nothing lets the
// wait go on.
bool record_coming(LinkObject& l, const Wait& w, const char* operation) {
    if (!l.link.IsLinkActive()) return true;  // the receiver refuses with its own status and line
    for (;;) {
        int err = 0;
        const int st = unlocked([&] {
            const int r = l.link.IfReady(Tarvex::RECEIVER_READ, w.trs, w.sec, w.usec);
            err = errno;
            return r;
        });
        if (st == ERR_TIMEOUT) return false;
        if (st == 0) break;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (err != EINTR) raise_status(st, operation);
    }
    if (unlocked([&] { return stream_ended(l.link); })) raise_peer_gone(operation);
    return true;
}

// Intro, then the array shaped from it, then the data straight into the
// array: the library's two calls for the kind and the array maker are the
// arguments.
template <class Intro, class Object, class MakeArray, class ReceiveHeader, class ReceiveData>
py::object receive_intro_record(LinkObject& l, const py::object& timeout, const char* operation,
                                py::array Object::*member, MakeArray&& make, ReceiveHeader&& receive_header,
                                ReceiveData&& receive_data) {
    InUse use(l);
    if (!record_coming(l, wait_for(timeout), operation)) return py::none();
    Intro intro;
    check(unlocked([&] { return receive_header(&intro); }), operation);
    const uint32_t length = intro.intro.length;
    const size_t body = length > sizeof intro ? length - sizeof intro : 0;
    Object o;
    o.*member = make(intro, body);
    // A null pointer would make the library allocate a buffer of its own.
    char none = 0;
    char* p = body > 0 ? static_cast<char*>((o.*member).mutable_data()) : &none;
    const int cap = body > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(body);
    check(unlocked([&] { return receive_data(&intro, &p, cap); }), operation);
    std::memcpy(o.header, &intro, sizeof intro);
    return py::cast(std::move(o));
}

py::object receive_image(LinkObject& l, const py::object& timeout) {
    return receive_intro_record<kbr7_image_ext_intro, ImageObject>(
        l, timeout, "receive_image", &ImageObject::pixels,
        [](const kbr7_image_ext_intro& i, size_t n) { return image_pixels_for(i, n); },
        [&l](kbr7_image_ext_intro* i) { return l.link.ReceiveImageHeader(i); },
        [&l](kbr7_image_ext_intro* i, char** p, int sz) { return l.link.ReceiveImageData(i, p, sz); });
}

py::object receive_spectrum(LinkObject& l, const py::object& dtype, const py::object& timeout) {
    const py::object checked = dtype.is_none() ? dtype : py::object(plain_dtype(dtype));
    return receive_intro_record<kbr7_spect_intro, SpectrumObject>(
        l, timeout, "receive_spectrum", &SpectrumObject::data,
        [&checked](const kbr7_spect_intro& i, size_t n) { return spectrum_data_for(i, n, checked); },
        [&l](kbr7_spect_intro* i) { return l.link.ReceiveSpectHeader(i); },
        [&l](kbr7_spect_intro* i, char** p, int sz) { return l.link.ReceiveSpectData(i, p, sz); });
}

bool wait_ready(LinkObject& l, bool write, const py::object& timeout) {
    InUse use(l);
    const Wait w = wait_for(timeout);
    const int st = unlocked(
        [&] { return l.link.IfReady(write ? Tarvex::RECEIVER_WRITE : Tarvex::RECEIVER_READ, w.trs, w.sec, w.usec); });
    if (st == ERR_TIMEOUT) return false;
    check(st, "wait");
    return true;
}

// The record the last receive() returned when there is one; otherwise the
// one the library keeps (the last of a receive_into batch), if any.
void write_to_ring(LinkObject& l, RingObject& ring) {
    InUse use(l);
    if (l.last_record.is_none()) {
        check(l.link.WriteBlockToRingBuffer(ring.ring), "write_to_ring");
        return;
    }
    const RecordObject& r = l.last_record.cast<const RecordObject&>();
    const auto n = static_cast<unsigned>(r.length);
    if (ring.ring.Write(const_cast<char*>(reinterpret_cast<const char*>(r.bytes())), n) != n)
        raise_status(ERR_RING_WRITE, "write_to_ring");
}

// for rec in link.records(): ... until the peer has gone.
struct RecordIterator {
    py::object link;
    py::object ring;
    py::object timeout;

    py::object next() {
        for (;;) {
            RingObject* r = ring.is_none() ? nullptr : ring.cast<RingObject*>();
            try {
                py::object got = receive_record(link_of(link), r, timeout);
                if (!got.is_none()) return got;
            } catch (const PeerGoneError&) {
                throw py::stop_iteration();
            }
        }
    }
};

template <class F>
auto locked_query(F&& f) {
    return [f](LinkObject& l) {
        InUse use(l);
        return f(l.link);
    };
}

}  // namespace

void bind_link(py::module_& m) {
    py::class_<RecordIterator>(m, "_RecordIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &RecordIterator::next);

    py::class_<LinkObject> cls(m, "Link", R"doc(
One end of a link.

The accepting end: listen(port), then accept() (blocks until a peer
connects; disconnect() and accept() again for the next peer).  The
connecting end: connect(host, port).  close() disconnects and releases
whatever the end holds; a Link is a context manager that closes on exit,
and one that is garbage-collected closes too.  A failed call raises
tarvex.Error.  One thread at a time may use a link (a second one gets
RuntimeError); blocking calls let other Python threads run.)doc");

    cls.def(py::init([](const py::object& mode, bool swap_mask, std::optional<int> retries, bool send_waits) {
                auto l = std::make_unique<LinkObject>(mode_of(mode), swap_mask);
                if (retries) check(l->link.SetRetry(*retries), "Link");
                if (!send_waits) l->link.SetDelay();
                l->send_waits = send_waits;
                return l;
            }),
            py::arg("mode") = static_cast<int>(Tarvex::NATIVE_MODE), py::kw_only(), py::arg("swap_mask") = false,
            py::arg("retries") = py::none(), py::arg("send_waits") = true, R"doc(
mode: NATIVE_MODE (or "native") or BIGEND_MODE (or "bigend"); in big-endian
mode the accepting end asks both ends to convert, so that records travel
big-endian.  swap_mask=True: never convert.  retries: the budget of waits
(default 10).  send_waits=False: sends call the socket at once instead of
waiting up to 100 ms for it first.)doc");

    cls.def_property_readonly(
           "mode", [](const LinkObject& l) { return l.mode; }, "NATIVE_MODE or BIGEND_MODE.")
        .def_property(
            "swap_mask", [](const LinkObject& l) { return l.swap_mask; },
            [](LinkObject& l, bool m) {
                InUse use(l);
                l.swap_mask = l.link.set_swap_mask(m);
            },
            "True: no record is converted, even when the ends' byte orders call for it.")
        .def_property(
            "send_waits", [](const LinkObject& l) { return l.send_waits; },
            [](LinkObject& l, bool on) {
                InUse use(l);
                if (on)
                    l.link.SetNoDelay();
                else
                    l.link.SetDelay();
                l.send_waits = on;
            },
            "True (default): every send attempt waits up to 100 ms for the socket first.")
        .def(
            "set_retries",
            [](LinkObject& l, int n) {
                InUse use(l);
                check(l.link.SetRetry(n), "set_retries");
            },
            py::arg("n"), "The budget of waits of every blocking step (> 0).")
        .def_property_readonly("swapping", locked_query([](Tarvex& t) { return t.get_swap(); }),
                               "True when this end converts records.")
        .def_property_readonly("active", locked_query([](Tarvex& t) { return t.IsLinkActive() != 0; }),
                               "True while connected.")
        .def_property_readonly("port", locked_query([](Tarvex& t) {
                                   // -1 is "no listening socket" unless it is the local socket's number.
                                   const int bound = t.get_bound_port();
                                   return bound == -1 && t.GetLPort() != -1 ? 0 : bound;
                               }),
                               "The port listened on (the one the system picked for listen(0); the number given, "
                               "for the local socket), 0 when not listening.")
        .def_property_readonly("buffered_bytes", locked_query([](Tarvex& t) { return t.get_buffered_bytes(); }),
                               "Bytes received from the peer that no receive has taken yet.")
        .def_property_readonly("peer_closed", locked_query([](Tarvex& t) { return stream_ended(t); }),
                               "True when the peer has closed its end and nothing it sent is left to receive.")
        .def_property_readonly("scan_skipped_last", locked_query([](Tarvex& t) { return t.get_scan_skipped_last(); }),
                               "Bytes the last receive passed over looking for a record pattern.")
        .def_property_readonly("scan_skipped_total", locked_query([](Tarvex& t) { return t.get_scan_skipped_total(); }),
                               "Bytes passed over since the link was made.")
        .def_property_readonly("no_room_answers", locked_query([](Tarvex& t) { return t.get_no_room_answers(); }),
                               "\"No room\" answers this end's sends met since the link was made: acknowledged sends "
                               "the receiver refused for want of room in its ring buffer (ERR_NO_SPACE), and answers "
                               "an unacknowledged send found waiting, whose records the receiver skipped.")
        .def("fileno", locked_query([](Tarvex& t) { return t.get_data_fd(); }),
             "The data socket (-1 when none), for select/poll: wait on it only while buffered_bytes is 0, and "
             "never read it.")
        .def("listen", &listen, py::arg("port"),
             "Listens on TCP `port`, 0..65535 (0: a free port the system picks, see `port`), or on the local socket "
             "/tmp/<port>.tcp, any number, when KBR7_TARVEX_SOCK_TYPE=UNIX.  ValueError for a TCP port out of range.")
        .def("accept", &accept, "Waits for a peer and sends it the byte-order preamble.")
        .def("connect", &connect, py::arg("host"), py::arg("port"), py::kw_only(), py::arg("timeout") = 0.0,
             "Connects to an accepting end (the port as for listen).  timeout: keep trying, every 50 ms, for that "
             "many seconds (>= 0) while the connection is refused (the peer may not listen yet); the refusal's "
             "line is told at most once a second.")
        .def(
            "disconnect",
            [](LinkObject& l) {
                InUse use(l);
                const int st = unlocked([&] { return l.link.Disconnect(); });
                check(st, "disconnect");
            },
            "Closes the data connection (the listening endpoint stays).")
        .def("release", &release, "Disconnects and gives up the endpoint (required before connecting again).")
        .def("close", &close, "Disconnects and releases whatever the end holds; does nothing when it holds nothing.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](LinkObject& l, const py::args&) {
            close(l);
            return false;
        });

    cls.def("send", &send, py::arg("header"), py::kw_only(), py::arg("ack") = false, R"doc(
send(header, *body, ack=False): one record from a gather list.  The header
(36, 48 or 12 bytes for events and slow data; 8 for an image intro, then
the 100-byte frame header as the first body piece) decides the kind; the
body pieces are buffers or lists of buffers.  Nothing is copied unless the
link converts.  ack=True: the peer admits the record before its body goes.)doc")
        .def("send_event", &send_event, py::arg("body") = py::none(), py::kw_only(), py::arg("generation") = "2010",
             py::arg("ack") = false,
             "An event: the header built from the keywords as tarvex.event_header builds it, the body a buffer or "
             "a list of buffers (sent as they are).")
        .def("send_slow", &send_slow, py::arg("body") = py::none(), py::kw_only(), py::arg("generation") = "legacy",
             py::arg("ack") = false, "A slow-data record (header as tarvex.slow_header builds it).")
        .def("send_image", &send_image, py::arg("pixels"), py::kw_only(), py::arg("generation") = "2010",
             "An image: width, height and bpp come from a 2- or 3-dimensional numpy array unless given; other "
             "frame header fields as keywords (see tarvex.image_intro).  Images are never acknowledged.")
        .def("send_spectrum", &send_spectrum, py::arg("data"), py::kw_only(), py::arg("generation") = "2010",
             "A spectrum, as one raw block: bnum and bnum_req are the element count of a numpy array unless given; "
             "other spectrum header fields as keywords (see tarvex.spectrum_intro).")
        .def("send_request", &send_request, py::arg("block"), "Writes a raw block of bytes.")
        .def("send_batch", &send_batch, py::arg("records"), R"doc(
Sends records unacknowledged, in as few writes as the link manages.
`records` is one buffer of whole records back to back, or a sequence whose
items are whole records (buffers, Records) or gather lists (header, body
pieces...).  Every record is checked before anything is written.  Returns
the count; on failure tarvex.Error tells in `sent` how many went out whole.)doc");

    cls.def(
           "receive",
           [](LinkObject& l, RingObject* ring, const py::object& timeout) { return receive_record(l, ring, timeout); },
           py::arg("ring") = nullptr, py::kw_only(), py::arg("timeout") = py::none(), R"doc(
The next event or slow-data record, or None when none came within
`timeout` seconds (None: wait as long as it takes).  Raises
tarvex.PeerGone when the peer has closed its end and every record it sent
has been taken.  With a ring buffer the record is acknowledged against
its free space (the sender must send acknowledged); store it with
ring.write(record).  The record owns its bytes: its body stays as it is
whatever the link receives later.)doc")
        .def(
            "records",
            [](const py::object& self, const py::object& ring, const py::object& timeout) {
                wait_for(timeout);  // a bad timeout is refused here, not at the first record
                return RecordIterator{self, ring, timeout};
            },
            py::arg("ring") = py::none(), py::kw_only(), py::arg("timeout") = 1.0,
            "Iterates over received records until the peer has gone; each wait lasts at most `timeout` seconds, "
            "so that Ctrl-C gets through.")
        .def("receive_into", &receive_into, py::arg("headers"), py::arg("bodies") = py::none(), py::kw_only(),
             py::arg("timeout") = py::none(), R"doc(
Fills rows of preallocated arrays with records in one call: `headers` a
1-d array of HEADER_DTYPE, `bodies` (optional) a 2-d uint8 array with one
row per header row; a body longer than a row is cut (the header row keeps
the full length).  Waits for the first record as receive() does, then takes
the ones that are there without waiting.  Returns the number of rows
filled, 0 when nothing came in time; tarvex.PeerGone when the peer has
gone and every record it sent has been taken.  A failure after some rows
is raised by the next call.)doc")
        .def("receive_image", &receive_image, py::kw_only(), py::arg("timeout") = py::none(),
             "The next image (tarvex.Image), or None when nothing came within `timeout` seconds; tarvex.PeerGone "
             "when the peer has gone.")
        .def("receive_spectrum", &receive_spectrum, py::kw_only(), py::arg("dtype") = py::none(),
             py::arg("timeout") = py::none(),
             "The next spectrum (tarvex.Spectrum), or None when nothing came within `timeout` seconds; "
             "tarvex.PeerGone when the peer has gone.")
        .def("write_to_ring", &write_to_ring, py::arg("ring"),
             "Stores the record of the last receive call in the ring buffer (the one receive() returned, or the "
             "last row of receive_into); tarvex.Error ERR_NO_BUFFER when that call took none.")
        .def("wait", &wait_ready, py::kw_only(), py::arg("write") = false, py::arg("timeout") = py::none(),
             "Waits until the data socket is readable (or writable); False when the time ran out.")
        .def("__repr__", [](const LinkObject& l) {
            return std::string("<tarvex.Link ") + (l.mode == Tarvex::BIGEND_MODE ? "bigend" : "native") +
                   (l.setup ? "" : ", not set up") + ">";
        });
}

}  // namespace tarvexpy
