// The control channel of an interop run: plain text lines between the
// driver and each interop program, over the program's standard input and
// output.  The program's own library diagnostics share that output, so the
// lines that belong to the channel start with "@ "; every other line is
// passed on to whoever wants to show it.
//
// Header-only: the program and the test driver both use it, and the driver
// links nothing of the program.
#ifndef TARVEX_INTEROP_CONTROL_H
#define TARVEX_INTEROP_CONTROL_H

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <string>

namespace interop {

constexpr const char* kControlPrefix = "@ ";

// Reads lines from a descriptor with a time limit, keeping the control
// lines in arrival order and handing every other line to `other`.
class LineReader {
public:
    explicit LineReader(int fd, std::function<void(const std::string&)> other = {})
        : fd_(fd), other_(std::move(other)) {}

    // The next control line, without its prefix; false when none arrived
    // within `timeout_ms` (0: only what is there already) or the stream ended.
    bool next(std::string& line, int timeout_ms) {
        using clock = std::chrono::steady_clock;
        const auto end = clock::now() + std::chrono::milliseconds(timeout_ms);
        while (lines_.empty() && !ended_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
            if (!fill(left < 0 ? 0 : static_cast<int>(left)) && clock::now() >= end) break;
        }
        if (lines_.empty()) return false;
        line = lines_.front();
        lines_.pop_front();
        return true;
    }

    bool ended() const { return ended_ && lines_.empty(); }

private:
    // One wait and one read; false when nothing was read.
    bool fill(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) return false;
        if (r <= 0) return false;
        char chunk[4096];
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return false;
        if (n <= 0) {
            ended_ = true;
            if (!partial_.empty()) take(partial_);
            partial_.clear();
            return false;
        }
        partial_.append(chunk, static_cast<size_t>(n));
        for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
            take(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        return true;
    }

    void take(const std::string& line) {
        const std::string prefix = kControlPrefix;
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines_.push_back(line.substr(prefix.size()));
        else if (other_)
            other_(line);
    }

    int fd_;
    std::function<void(const std::string&)> other_;
    std::string partial_;
    std::deque<std::string> lines_;
    bool ended_ = false;
};

// The value of "key=value" in a control line such as
// "result ok=12 bad=0 of=12 swap=1"; `fallback` when the key is missing.
inline long field(const std::string& line, const std::string& key, long fallback = -1) {
    const std::string probe = " " + key + "=";
    size_t at = (" " + line).find(probe);
    if (at == std::string::npos) return fallback;
    return std::strtol(line.c_str() + at + probe.size() - 1, nullptr, 10);
}

}  // namespace interop

#endif
