#include "Log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "TarvexLog.h"

namespace {

// The handler and its argument change together.
std::mutex g_handler_lock;
TarvexLogHandler g_handler = nullptr;
void* g_user = nullptr;

// What the link has always done: the line and its end on the stream of its
// level.  Error lines are flushed at once; output lines too, so that a
// line never waits in a buffer behind a later error line.
void print(int level, const char* line) {
    std::FILE* stream = level == TARVEX_LOG_ERROR ? stderr : stdout;
    std::fputs(line, stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void emit(int level, const char* line) {
    TarvexLogHandler handler;
    void* user;
    {
        std::lock_guard<std::mutex> guard(g_handler_lock);
        handler = g_handler;
        user = g_user;
    }
    if (handler != nullptr)
        handler(level, line, user);
    else
        print(level, line);
}

void emitv(int level, const char* format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    emit(level, line);
}

}  // namespace

void tarvex_set_log_handler(TarvexLogHandler handler, void* user) {
    std::lock_guard<std::mutex> guard(g_handler_lock);
    g_handler = handler;
    g_user = handler != nullptr ? user : nullptr;
}

namespace tarvex {
namespace detail {

void log_out(const char* line) { emit(TARVEX_LOG_INFO, line); }
void log_err(const char* line) { emit(TARVEX_LOG_ERROR, line); }

void log_outf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emitv(TARVEX_LOG_INFO, format, args);
    va_end(args);
}

void log_errf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emitv(TARVEX_LOG_ERROR, format, args);
    va_end(args);
}

void log_system_error(const char* what) { log_system_error(what, errno); }

void log_system_error(const char* what, int err) {
    log_errf("%s: %s", what, std::strerror(err));
    errno = err;
}

}  // namespace detail
}  // namespace tarvex
