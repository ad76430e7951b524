// The diagnostics channel: every line the link prints can go to a handler
// of the program's own instead of the standard streams.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Capture.h"
#include "Guards.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Tarvex.h"

namespace {

struct Line {
    int level;
    std::string text;
};

void collect(int level, const char* line, void* user) {
    static_cast<std::vector<Line>*>(user)->push_back({level, line});
}

// Operations that print on both streams: refusals, a failed system call
// with its error text, and informational lines.
void print_some_lines() {
    static const int port = tt::unique_port();  // the same port, so the same lines, every time
    tt::EnvGuard env("KBR7_TARVEX_SOCK_TYPE", "UNIX");
    Tarvex t(false);
    t.Disconnect();
    t.Connect("127.0.0.1", port);  // nobody listens
    t.SocketRelease();
    t.SocketSetup(port);
    t.SocketRelease();
}

std::string joined(const std::vector<Line>& lines, int level) {
    std::string out;
    for (const Line& l : lines)
        if (l.level == level) out += l.text + "\n";
    return out;
}

}  // namespace

TEST(LogHandler, TakesEveryLineTheDefaultPrintsAndNullRestoresTheDefault) {
    tt::Watchdog dog(30);
    const tt::Captured by_default = tt::capture(print_some_lines);
    ASSERT_NE(by_default.out, "");
    ASSERT_NE(by_default.err, "");

    std::vector<Line> lines;
    tarvex_set_log_handler(collect, &lines);
    const tt::Captured with_handler = tt::capture(print_some_lines);
    tarvex_set_log_handler(nullptr, nullptr);

    EXPECT_EQ(with_handler.out, "");
    EXPECT_EQ(with_handler.err, "");
    EXPECT_EQ(joined(lines, TARVEX_LOG_INFO), by_default.out);
    EXPECT_EQ(joined(lines, TARVEX_LOG_ERROR), by_default.err);
    for (const Line& l : lines) EXPECT_EQ(l.text.find('\n'), std::string::npos) << l.text;

    const tt::Captured restored = tt::capture(print_some_lines);
    EXPECT_EQ(restored.out, by_default.out);
    EXPECT_EQ(restored.err, by_default.err);
}

TEST(LogHandler, ExactTextsReachTheHandlerWordForWord) {
    std::vector<Line> lines;
    tarvex_set_log_handler(collect, &lines);
    Tarvex t(false);
    t.Connect(true);
    t.SocketRelease();
    tarvex_set_log_handler(nullptr, nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, TARVEX_LOG_ERROR);
    EXPECT_EQ(lines[0].text, "Connect(): socket not setup.  No action taken.");
    EXPECT_EQ(lines[1].text, "SocketRelease(): socket not setup. No ation taken.");
}
