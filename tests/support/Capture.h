// Captures what a block of code writes to standard output and standard error.
#ifndef TARVEX_CAPTURE_H
#define TARVEX_CAPTURE_H

#include <string>

namespace tt {

struct Captured {
    std::string out;
    std::string err;
};

void begin_capture();
Captured end_capture();

template <class F>
Captured capture(F&& f) {
    begin_capture();
    f();
    return end_capture();
}

}  // namespace tt

#endif
