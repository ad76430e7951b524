#include "LogRoute.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "TarvexLog.h"

namespace tarvexpy {

namespace {

// The levels of Python's logging module that the two library levels map to
// (logging.INFO and logging.ERROR; the module's numbers are fixed).
constexpr int kPythonInfo = 20;
constexpr int kPythonError = 40;

thread_local HeldLines* t_held = nullptr;

// The Python handler, a new reference, or null.  Read and replaced only with
// the interpreter lock held; the flag lets a line be printed without taking
// the lock when there is no handler.
PyObject* g_handler = nullptr;
std::atomic<bool> g_has_handler{false};

// As the library prints a line: on the stream of its level, flushed at once.
void print_line(int level, const char* line) {
    std::FILE* stream = level == TARVEX_LOG_ERROR ? stderr : stdout;
    std::fputs(line, stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// Runs on the thread of the library call that prints, which may have let
// the interpreter lock go: the lock is taken here.  Neither a Python error
// already pending on the thread nor one the handler raises may cross the
// library: the first is kept aside, the second goes to sys.unraisablehook.
void call_handler(int level, const char* line) {
    py::gil_scoped_acquire gil;
    py::error_scope pending;
    if (g_handler == nullptr) {
        print_line(level, line);
        return;
    }
    try {
        // A reference of its own: the handler may replace itself.
        py::object handler = py::reinterpret_borrow<py::object>(g_handler);
        PyObject* text = PyUnicode_DecodeUTF8(line, static_cast<Py_ssize_t>(std::strlen(line)), "replace");
        if (text == nullptr) throw py::error_already_set();
        handler(level == TARVEX_LOG_ERROR ? kPythonError : kPythonInfo, py::reinterpret_steal<py::object>(text));
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("tarvex log handler");
    } catch (...) {
        print_line(level, line);
    }
}

void route_line(int level, const char* line) {
    if (g_has_handler.load())
        call_handler(level, line);
    else
        print_line(level, line);
}

extern "C" void library_line(int level, const char* line, void*) {
    if (t_held != nullptr) {
        t_held->lines.emplace_back(level, line);
        return;
    }
    route_line(level, line);
}

// Replaces the handler (None: print as the library does); returns the one
// it replaces.
py::object set_handler(const py::object& handler) {
    if (!handler.is_none() && PyCallable_Check(handler.ptr()) == 0)
        throw py::type_error("a log handler is a callable taking (level, line), or None");
    py::object previous = g_handler != nullptr ? py::reinterpret_steal<py::object>(g_handler) : py::none();
    g_handler = handler.is_none() ? nullptr : handler.inc_ref().ptr();
    g_has_handler.store(g_handler != nullptr);
    return previous;
}

}  // namespace

HeldLines::HeldLines() : previous_(t_held) { t_held = this; }

HeldLines::~HeldLines() {
    if (active_) t_held = previous_;
}

void HeldLines::replay() {
    if (active_) t_held = previous_;
    active_ = false;
    for (const auto& l : lines) route_line(l.first, l.second.c_str());
    lines.clear();
}

void bind_log(py::module_& m) {
    // Every line of the library passes through the module from its import
    // on; without a Python handler it is printed as the library prints it.
    tarvex_set_log_handler(library_line, nullptr);
    // The handler is given up before the interpreter ends, so that a line
    // printed during the shutdown (a link closed by the collector) does not
    // call into an interpreter that is going away.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { set_handler(py::none()); }));

    m.def("set_log_handler", &set_handler, py::arg("handler"), R"doc(
Routes the link's diagnostic lines (a refused connection, a record that
timed out, ...) to `handler(level, line)`: `level` is logging.INFO for a
line the library would print on standard output and logging.ERROR for one
it would print on standard error, `line` has no line end.  So
set_log_handler(logging.getLogger("tarvex").log) sends them to Python's
logging.  None restores printing.  Returns the handler it replaces (None
when lines were printed).  The handler is called on the thread of the call
that prints, with the interpreter lock held; an exception it raises goes to
sys.unraisablehook and the call goes on.  It must not use the link whose
line it gets (that call is still inside: RuntimeError).)doc");
}

}  // namespace tarvexpy
