// The one clock of the tree's programs: monotonic, comparable between the
// processes of one machine.
#ifndef TARVEX_SUPPORT_CLOCK_H
#define TARVEX_SUPPORT_CLOCK_H

#include <time.h>

namespace tt {

// Seconds.
inline double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Whole milliseconds, for time-outs counted in them.
inline long long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace tt

#endif
