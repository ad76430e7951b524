// The library's log lines as the module routes them: printed as the library
// prints them, or handed to the Python callable of tarvex.set_log_handler.
#ifndef TARVEX_PYTHON_LOG_ROUTE_H
#define TARVEX_PYTHON_LOG_ROUTE_H

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace tarvexpy {

namespace py = pybind11;

// While one lives, the lines that library calls on this thread print are
// held instead of routed; replay() routes them, and what is not replayed is
// dropped.  connect() holds the lines of each attempt so that a refused
// attempt is told at most once a second.
class HeldLines {
public:
    HeldLines();
    ~HeldLines();
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;

    // Routes the held lines (with the interpreter lock held) and ends the
    // holding.
    void replay();

    std::vector<std::pair<int, std::string>> lines;

private:
    HeldLines* previous_;
    bool active_ = true;
};

void bind_log(py::module_& m);

}  // namespace tarvexpy

#endif
