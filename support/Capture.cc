#include "Capture.h"

#include <unistd.h>

#include <cstdio>

namespace tt {

namespace {

// One diverted standard stream: its descriptor points at a temporary file
// until restored.
struct Diverted {
    int fd;
    int saved;
    std::FILE* file;
};

Diverted divert(int fd) {
    std::FILE* file = std::tmpfile();
    const int saved = ::dup(fd);
    if (file && saved >= 0) ::dup2(fileno(file), fd);
    return {fd, saved, file};
}

std::string restore(const Diverted& d) {
    std::string text;
    if (d.saved >= 0) {
        ::dup2(d.saved, d.fd);
        ::close(d.saved);
    }
    if (!d.file) return text;
    std::rewind(d.file);
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, d.file)) > 0;) text.append(chunk, n);
    std::fclose(d.file);
    return text;
}

}  // namespace

Captured capture(const std::function<void()>& call) {
    std::fflush(nullptr);
    const Diverted out = divert(STDOUT_FILENO);
    const Diverted err = divert(STDERR_FILENO);
    call();
    std::fflush(nullptr);
    Captured text;
    text.err = restore(err);
    text.out = restore(out);
    return text;
}

}  // namespace tt
