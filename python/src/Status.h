// Status codes of the link as Python exceptions: a failed call raises
// tarvex.Error with the code, its name and its one-line meaning.
#ifndef TARVEX_PYTHON_STATUS_H
#define TARVEX_PYTHON_STATUS_H

#include <pybind11/pybind11.h>

namespace tarvexpy {

namespace py = pybind11;

// Thrown by the binding, turned into tarvex.Error by the translator that
// bind_status registers.
struct StatusError {
    int code;
    const char* operation;  // what the caller asked for: "receive", "send", ...
    long long sent;         // records on the wire before a batch failed; -1 for other calls
};

// Thrown by the receives when the peer has closed its end and every record
// it sent has been taken; tarvex.PeerGone (an EOFError) in Python.  The
// record iterator ends on it.
struct PeerGoneError {
    const char* operation;
};

[[noreturn]] void raise_peer_gone(const char* operation);

// Raises tarvex.Error for a non-zero status.  A signal that arrived during
// the call (Ctrl-C ends a blocking wait) wins: its exception is raised
// instead, since the status only reports the interruption.
void check(int status, const char* operation);
[[noreturn]] void raise_status(int status, const char* operation, long long sent = -1);

void bind_status(py::module_& m);

}  // namespace tarvexpy

#endif
