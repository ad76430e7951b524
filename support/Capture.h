// Captures what a call writes to standard output and standard error, by
// descriptor, so that the library's lines and a child's are caught as well
// as the program's own.  One capture at a time.
#ifndef TARVEX_CAPTURE_H
#define TARVEX_CAPTURE_H

#include <functional>
#include <string>

namespace tt {

struct Captured {
    std::string out;
    std::string err;
};

Captured capture(const std::function<void()>& call);

}  // namespace tt

#endif
