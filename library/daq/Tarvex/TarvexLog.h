// Where the link's diagnostic lines go.
//
// By default the link prints each line as it always has: informational lines
// and conversion failures on standard output, refusals and failed system
// calls on standard error.  A program that keeps its own log installs a
// handler instead, and receives every line, without its line end, with the
// level that tells which of the two streams it would have gone to.
#ifndef TARVEX_LOG_H
#define TARVEX_LOG_H

#include "TarvexStatus.h"

enum TarvexLogLevel {
    TARVEX_LOG_INFO = 0,   // would go to standard output
    TARVEX_LOG_ERROR = 1,  // would go to standard error
};

typedef void (*TarvexLogHandler)(int level, const char* line, void* user);

// Installs `handler` for every line of every link in the process, called with
// `user` as given; a null handler restores the default.  The handler runs on
// the thread of the call that prints and must not call back into that link.
// Install it before links are used: a line printed while the handler is being
// replaced goes to the old or the new one.
TARVEX_API void tarvex_set_log_handler(TarvexLogHandler handler, void* user);

#endif
