#include "Status.h"

#include <string>

#include "TarvexStatus.h"

namespace tarvexpy {

namespace {

PyObject* g_error_type = nullptr;      // tarvex.Error, owned by the module
PyObject* g_peer_gone_type = nullptr;  // tarvex.PeerGone, likewise

std::string message(const StatusError& e) {
    return std::string(e.operation) + ": " + tarvex_status_text(e.code) + " (" + tarvex_status_name(e.code) + ", " +
           std::to_string(e.code) + ")";
}

// The class of a status by the name Python shows: what a caller does about it.
const char* class_name(int code) {
    switch (tarvex_status_class(code)) {
        case TARVEX_STATUS_SUCCESS: return "success";
        case TARVEX_STATUS_IDLE: return "idle";
        case TARVEX_STATUS_REFUSED: return "refused";
        case TARVEX_STATUS_FAULT: return "fault";
    }
    return "fault";
}

void set_python_error(const StatusError& e) {
    py::object type = py::reinterpret_borrow<py::object>(g_error_type);
    py::object exc = type(message(e));
    exc.attr("code") = e.code;
    exc.attr("name") = tarvex_status_name(e.code);
    exc.attr("status_class") = class_name(e.code);
    exc.attr("operation") = e.operation;
    exc.attr("sent") = e.sent >= 0 ? py::object(py::int_(e.sent)) : py::object(py::none());
    PyErr_SetObject(g_error_type, exc.ptr());
}

}  // namespace

[[noreturn]] void raise_peer_gone(const char* operation) { throw PeerGoneError{operation}; }

[[noreturn]] void raise_status(int status, const char* operation, long long sent) {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    throw StatusError{status, operation, sent};
}

void check(int status, const char* operation) {
    if (status != 0) raise_status(status, operation);
}

void bind_status(py::module_& m) {
    py::dict attributes;
    attributes["code"] = py::none();
    attributes["name"] = py::none();
    attributes["status_class"] = py::none();
    attributes["operation"] = py::none();
    attributes["sent"] = py::none();
    g_error_type = PyErr_NewExceptionWithDoc(
        "tarvex.Error",
        "A link call failed.  `code` is the status number, `name` its name (\"ERR_NOT_CONNECTED\"), "
        "`status_class` what it means for the caller (\"idle\": nothing yet, call again; \"refused\": "
        "refused for the arguments or the link's state; \"fault\": the connection or the system failed), "
        "`operation` the call that failed; `sent` counts the records a batch put on the wire before it "
        "failed (None for other calls).",
        PyExc_Exception, attributes.ptr());
    if (g_error_type == nullptr) throw py::error_already_set();
    m.add_object("Error", py::reinterpret_borrow<py::object>(g_error_type));

    g_peer_gone_type = PyErr_NewExceptionWithDoc(
        "tarvex.PeerGone",
        "The peer has closed its end and every record it sent has been taken: nothing more can arrive on this "
        "connection.  Raised by the receives (a time-out returns None instead); an EOFError.",
        PyExc_EOFError, nullptr);
    if (g_peer_gone_type == nullptr) throw py::error_already_set();
    m.add_object("PeerGone", py::reinterpret_borrow<py::object>(g_peer_gone_type));

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const StatusError& e) {
            set_python_error(e);
        } catch (const PeerGoneError& e) {
            const std::string text =
                std::string(e.operation) + ": the peer has closed its end and every record it sent has been taken";
            PyErr_SetString(g_peer_gone_type, text.c_str());
        }
    });

    m.def(
        "status_name", [](int code) { return tarvex_status_name(code); }, py::arg("code"),
        "The name of a status code: \"ERR_NO_SPACE\" for 25, \"OK\" for 0, \"UNKNOWN\" otherwise.");
    m.def(
        "status_class", [](int code) { return class_name(code); }, py::arg("code"),
        "The class of a status code: \"success\" for 0, \"idle\" for one that only says nothing came yet "
        "(ERR_TIMEOUT, ERR_SCAN_AGAIN, ...), \"refused\" or \"fault\" (also for an unknown code).");
    m.def(
        "status_text", [](int code) { return tarvex_status_text(code); }, py::arg("code"),
        "The one-line meaning of a status code.");
}

}  // namespace tarvexpy
