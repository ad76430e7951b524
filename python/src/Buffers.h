// Python objects with the buffer protocol (bytes, bytearray, memoryview,
// numpy arrays, records) lent to the link for one call: their memory goes
// into the gather list as it is, without a copy, and stays held until the
// call has returned.
#ifndef TARVEX_PYTHON_BUFFERS_H
#define TARVEX_PYTHON_BUFFERS_H

#include <pybind11/pybind11.h>
#include <sys/uio.h>

#include <cstddef>
#include <deque>
#include <vector>

namespace tarvexpy {

namespace py = pybind11;

class HeldBuffers {
public:
    HeldBuffers() = default;
    HeldBuffers(const HeldBuffers&) = delete;
    HeldBuffers& operator=(const HeldBuffers&) = delete;
    ~HeldBuffers() {
        for (Py_buffer& v : views_) PyBuffer_Release(&v);
    }

    // The bytes of `obj`, which must be C-contiguous (BufferError
    // otherwise); `writable` asks for memory the callee may fill.
    iovec hold(py::handle obj, bool writable = false) {
        views_.emplace_back();
        Py_buffer& v = views_.back();
        if (PyObject_GetBuffer(obj.ptr(), &v, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) != 0) {
            views_.pop_back();
            throw py::error_already_set();
        }
        return {v.buf, static_cast<size_t>(v.len)};
    }

    // Appends `obj` to `vec`: one entry for a buffer, one per item for a
    // list or tuple of buffers, nothing for None.  Returns the bytes added.
    size_t append(py::handle obj, std::vector<iovec>& vec) {
        if (obj.is_none()) return 0;
        if (PyObject_CheckBuffer(obj.ptr())) {
            vec.push_back(hold(obj));
            return vec.back().iov_len;
        }
        if (!PyList_Check(obj.ptr()) && !PyTuple_Check(obj.ptr()))
            throw py::type_error("a body is a buffer (bytes, bytearray, memoryview, numpy array) or a list of them");
        size_t total = 0;
        for (py::handle item : py::reinterpret_borrow<py::sequence>(obj)) {
            vec.push_back(hold(item));
            total += vec.back().iov_len;
        }
        return total;
    }

private:
    std::deque<Py_buffer> views_;  // a deque: a view never moves once the exporter has filled it
};

}  // namespace tarvexpy

#endif
