// The link object: defaults, construction, configuration, destruction and
// the status codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tarvex/Tarvex.h>
#include <tarvex/event_util.h>
#include <tarvex/ringbuf.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "Capture.h"
#include "Guards.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Tarvex.h"  // the older include form, beside the new one
#include "TestAccess.h"

using A = TarvexTestAccess;

namespace {

bool all_zero(const sockaddr_in& a) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&a);
    for (size_t k = 0; k < sizeof a; ++k)
        if (p[k] != 0) return false;
    return true;
}

bool fd_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

TEST(LinkObject, FreshObjectHasEveryDefault) {
    Tarvex t(false);
    EXPECT_EQ(A::retrs(t), 10);
    EXPECT_TRUE(A::no_delay(t));
    EXPECT_TRUE(A::owncntr(t));
    EXPECT_EQ(A::eventn(t), 0);
    EXPECT_EQ(A::sock(t), -1);
    EXPECT_EQ(A::sockin(t), -1);
    EXPECT_TRUE(all_zero(A::receiver(t)));
    EXPECT_TRUE(all_zero(A::sender(t)));
    EXPECT_EQ(A::len(t), 16u);
    EXPECT_EQ(A::connected(t), 0);
    EXPECT_EQ(A::setup(t), 0);
    EXPECT_EQ(A::must_swap(t), 0);
    EXPECT_FALSE(A::no_swap(t));
    EXPECT_EQ(A::buffer(t), nullptr);
    EXPECT_EQ(A::size(t), 0u);
    EXPECT_EQ(A::lport(t), 0);
    EXPECT_EQ(A::bigend_mode(t), Tarvex::NATIVE_MODE);
    EXPECT_EQ(t.IsLinkActive(), 0);
    EXPECT_FALSE(t.get_swap());
    EXPECT_EQ(t.GetLPort(), 0);
}

TEST(LinkObject, IntArgumentChoosesByteOrderModeBoolChoosesMask) {
    struct Case {
        const char* what;
        Tarvex* (*make)();
        int bigend_mode;
        bool no_swap;
    };
    const Case cases[] = {
        {"Tarvex(0)", [] { return new Tarvex(0); }, Tarvex::NATIVE_MODE, false},
        {"Tarvex(1)", [] { return new Tarvex(1); }, Tarvex::BIGEND_MODE, false},
        {"Tarvex(5)", [] { return new Tarvex(5); }, Tarvex::BIGEND_MODE, false},
        {"Tarvex(-1)", [] { return new Tarvex(-1); }, Tarvex::BIGEND_MODE, false},
        {"Tarvex(false)", [] { return new Tarvex(false); }, Tarvex::NATIVE_MODE, false},
        {"Tarvex(true)", [] { return new Tarvex(true); }, Tarvex::NATIVE_MODE, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Tarvex* t = c.make();
        EXPECT_EQ(A::bigend_mode(*t), c.bigend_mode);
        EXPECT_EQ(A::no_swap(*t), c.no_swap);
        EXPECT_EQ(A::retrs(*t), 10);
        delete t;
    }
}

TEST(LinkObject, ConstructionIgnoresBrokenPipeForTheProcess) {
    std::signal(SIGPIPE, SIG_DFL);
    Tarvex t(false);
    struct sigaction now {};
    ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN);

    // A write to a vanished peer now fails instead of ending the process.
    auto [a, b] = tt::stream_pair();
    ::close(b);
    char c = 0;
    EXPECT_EQ(::write(a, &c, 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(a);
}

TEST(LinkObject, SetRetryTakesOnlyPositiveCounts) {
    struct Case {
        int r;
        int status;
        int retrs_after;
    };
    const Case cases[] = {{0, ERR_BAD_VALUE, 7}, {-5, ERR_BAD_VALUE, 7}, {1, 0, 1}, {3, 0, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.r);
        Tarvex t(false);
        A::retrs(t) = 7;
        EXPECT_EQ(t.SetRetry(c.r), c.status);
        EXPECT_EQ(A::retrs(t), c.retrs_after);
    }
}

TEST(LinkObject, SwapDecisionNeedsMustSwapAndNoMask) {
    struct Case {
        int must_swap;
        bool mask;
        bool swap;
    };
    const Case cases[] = {{0, false, false}, {0, true, false}, {1, false, true}, {1, true, false}, {7, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "must_swap " << c.must_swap << " mask " << c.mask);
        Tarvex t(false);
        A::must_swap(t) = c.must_swap;
        EXPECT_EQ(t.set_swap_mask(c.mask), c.mask);
        EXPECT_EQ(A::no_swap(t), c.mask);
        EXPECT_EQ(t.get_swap(), c.swap);
    }
}

TEST(LinkObject, MaskCanBeLiftedAgain) {
    Tarvex t(true);
    A::must_swap(t) = 1;
    EXPECT_FALSE(t.get_swap());
    EXPECT_FALSE(t.set_swap_mask(false));
    EXPECT_TRUE(t.get_swap());
    EXPECT_TRUE(t.set_swap_mask(true));
    EXPECT_FALSE(t.get_swap());
}

TEST(LinkObject, LinkIsActiveWhileConnected) {
    Tarvex t(false);
    A::connected(t) = 1;
    EXPECT_EQ(t.IsLinkActive(), 1);
    A::connected(t) = 3;
    EXPECT_EQ(t.IsLinkActive(), 1);
    A::connected(t) = 0;
    EXPECT_EQ(t.IsLinkActive(), 0);
}

TEST(LinkObject, SmallSwitchesSetTheirFields) {
    Tarvex t(false);
    t.set_own_cnt(false);
    EXPECT_FALSE(A::owncntr(t));
    t.set_own_cnt(true);
    EXPECT_TRUE(A::owncntr(t));
    t.SetDelay();
    EXPECT_FALSE(A::no_delay(t));
    t.SetNoDelay();
    EXPECT_TRUE(A::no_delay(t));
}

TEST(LinkObject, VersionIsTheOneOfTheBuild) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%d.%d.%d", TARVEX_VERSION_MAJOR, TARVEX_VERSION_MINOR,
                  TARVEX_VERSION_PATCH);
    EXPECT_STREQ(TARVEX_VERSION_STRING, expected);
    EXPECT_STREQ(tarvex_version(), TARVEX_VERSION_STRING);
}

TEST(LinkObject, GetLPortReportsTheListeningPort) {
    tt::EnvGuard tcp("KBR7_TARVEX_SOCK_TYPE", nullptr);
    const int port = tt::unique_port();
    Tarvex t(false);
    ASSERT_EQ(t.SocketSetup(port), 0);
    EXPECT_EQ(t.GetLPort(), port);
    int status = -1;
    tt::capture([&] { status = t.SocketRelease(); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(t.GetLPort(), 0);
}

// Destruction frees the stored record (the leak checker of a sanitized build
// would report it otherwise) and leaves sockets and the socket file alone.
TEST(LinkObject, DestructionFreesRecordButKeepsSocketsAndFile) {
    tt::EnvGuard local("KBR7_TARVEX_SOCK_TYPE", "UNIX");
    const int port = tt::unique_port();
    const std::string path = tt::socket_file(port);
    auto [data, other] = tt::stream_pair();
    int listening = -1;
    {
        Tarvex t(false);
        int status = -1;
        tt::capture([&] { status = t.SocketSetup(port); });
        ASSERT_EQ(status, 0);
        listening = A::sock(t);
        A::set_sockin(t, data);
        A::connected(t) = 1;
        A::buffer(t) = new char[64];
        A::size(t) = 64;
    }
    EXPECT_TRUE(fd_open(data));
    EXPECT_TRUE(fd_open(listening));
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    ::close(data);
    ::close(other);
    ::close(listening);
    ::unlink(path.c_str());
}

TEST(StatusCodes, EveryCodeHasItsNumberAndName) {
    struct Case {
        int code;
        int number;
        const char* name;
    };
    const Case cases[] = {
        {ERR_SOCKET, 1, "ERR_SOCKET"},
        {ERR_HOST, 2, "ERR_HOST"},
        {ERR_CONNECT, 3, "ERR_CONNECT"},
        {ERR_CLOSE, 4, "ERR_CLOSE"},
        {ERR_ALREADY_CONNECTED, 5, "ERR_ALREADY_CONNECTED"},
        {ERR_NOT_CONNECTED, 6, "ERR_NOT_CONNECTED"},
        {ERR_BIND, 7, "ERR_BIND"},
        {ERR_LISTEN, 8, "ERR_LISTEN"},
        {ERR_ACCEPT, 9, "ERR_ACCEPT"},
        {ERR_ALLOC, 10, "ERR_ALLOC"},
        {ERR_CHECK, 11, "ERR_CHECK"},
        {ERR_SIZE_MISMATCH, 12, "ERR_SIZE_MISMATCH"},
        {ERR_SEND, 13, "ERR_SEND"},
        {ERR_ALREADY_SETUP, 14, "ERR_ALREADY_SETUP"},
        {ERR_NOT_SETUP, 15, "ERR_NOT_SETUP"},
        {ERR_READ, 16, "ERR_READ"},
        {ERR_PROTOCOL, 18, "ERR_PROTOCOL"},
        {ERR_BAD_VALUE, 19, "ERR_BAD_VALUE"},
        {ERR_RING_WRITE, 20, "ERR_RING_WRITE"},
        {ERR_TIMEOUT, 22, "ERR_TIMEOUT"},
        {ERR_RETRIES, 23, "ERR_RETRIES"},
        {ERR_NO_BUFFER, 24, "ERR_NO_BUFFER"},
        {ERR_NO_SPACE, 25, "ERR_NO_SPACE"},
        {ERR_NOT_READABLE, 26, "ERR_NOT_READABLE"},
        {ERR_NOT_WRITABLE, 27, "ERR_NOT_WRITABLE"},
        {ERR_AGAIN, 28, "ERR_AGAIN"},
        {ERR_SWAP, 29, "ERR_SWAP"},
        {ERR_SCAN_AGAIN, 30, "ERR_SCAN_AGAIN"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.code, c.number) << c.name;
        EXPECT_STREQ(tarvex_status_name(c.number), c.name);
        EXPECT_STRNE(tarvex_status_text(c.number), "unknown status") << c.name;
    }
    EXPECT_STREQ(tarvex_status_name(0), "OK");
    EXPECT_STREQ(tarvex_status_text(0), "success");
    for (int unused : {17, 21, 31, -1}) {
        EXPECT_STREQ(tarvex_status_name(unused), "UNKNOWN") << unused;
        EXPECT_STREQ(tarvex_status_text(unused), "unknown status") << unused;
    }
}

// The README's table of status codes is what a newcomer reads first: it must
// say what TarvexStatus.h says, row for row, the class of each included.
TEST(StatusCodes, TheReadmeTableMatchesTheHeader) {
    std::ifstream readme(std::string(TARVEX_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(readme.good());
    struct Row {
        std::string name, status_class, text;
    };
    std::map<int, Row> table;
    const std::regex row(R"(^\| (\d+) \| `(\w+)` \| (\w+) \| (.+) \|$)");
    for (std::string line; std::getline(readme, line);) {
        std::smatch m;
        if (std::regex_match(line, m, row)) table[std::stoi(m[1])] = {m[2], m[3], m[4]};
    }
    // The README's words for TarvexStatusClass, in the enumeration's order.
    const char* const class_words[] = {"success", "idle", "refused", "fault"};
    int codes = 0;
    for (int code = 0; code <= 64; ++code) {
        if (std::string(tarvex_status_name(code)) == "UNKNOWN") {
            EXPECT_EQ(table.count(code), 0u) << "the README lists " << code << ", the header does not";
            continue;
        }
        ++codes;
        ASSERT_EQ(table.count(code), 1u) << "the README misses " << code;
        EXPECT_EQ(table[code].name, tarvex_status_name(code));
        EXPECT_EQ(table[code].status_class, class_words[tarvex_status_class(code)]) << tarvex_status_name(code);
        EXPECT_EQ(tarvex_status_is_idle(code) != 0, table[code].status_class == "idle") << tarvex_status_name(code);
        EXPECT_EQ(table[code].text, tarvex_status_text(code));
    }
    EXPECT_EQ(table.size(), static_cast<size_t>(codes));
}
