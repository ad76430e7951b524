// Hostile peers and the switches that keep them out: allocation failures
// for hostile lengths, the longest record a receiver takes, the time the rest
// of a record has, the bind address, the allow lists of peers and of local
// users, the socket file's directory and mode, and stale socket files.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include "Attached.h"
#include "Capture.h"
#include "Clock.h"
#include "Guards.h"
#include "LinkPair.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Tarvex.h"
#include "TestAccess.h"
#include "Wire.h"
#include "detail/Preamble.h"

using A = TarvexTestAccess;
using tt::Bytes;

namespace {

using tt::Attached;

Bytes stored(Tarvex& t) {
    const char* b = A::buffer(t);
    return b == nullptr ? Bytes() : Bytes(b, b + A::size(t));
}

// An event header that announces `length` bytes, with nothing behind it.
Bytes announcing(uint32_t pattern, uint64_t length) {
    Bytes r = tt::event_record(pattern, 0);
    if (pattern == KBR7_PATTERN_2024)
        std::memcpy(r.data() + offsetof(kbr7_eventheader_2024, event_length), &length, 8);
    else
        std::memcpy(r.data() + 4, &length, 4);
    return r;
}

Bytes intro_announcing(size_t intro, uint32_t length) {
    Bytes r = tt::intro_record(intro, KBR7_PATTERN_2010, 0);
    std::memcpy(r.data() + 4, &length, 4);
    return r;
}

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

// A TCP connection to 127.0.0.1:<port> from the source address `from`.
tt::RawPeer connect_from(const char* from, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &src.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src);
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &dst.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
        ::close(fd);
        return tt::RawPeer();
    }
    return tt::RawPeer(fd);
}

}  // namespace

// ---------------------------------------------------------------------------
// Hostile lengths

// Under an address-space limit a header that announces 4 GiB used to end
// the receiving process with an uncaught allocation failure.  Now the call
// says ERR_ALLOC and the next record arrives.  Run in a child process: the
// limit must not touch the test program.
TEST(HostileLength, AllocationFailureIsAStatusAndTheNextRecordArrives) {
    if (sanitized()) GTEST_SKIP() << "the sanitizer's allocator cannot run under an address-space limit";
    tt::Watchdog dog(60);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlim_t gib = rlim_t{1} << 30;
        rlimit cap{gib, gib};
        ::setrlimit(RLIMIT_AS, &cap);
        int failures = 0;
        const Bytes next = tt::event_record(KBR7_PATTERN_2010, 16, 9, 9);
        for (uint32_t pattern : {KBR7_PATTERN_2010, KBR7_PATTERN_2024, KBR7_PATTERN_SLOW}) {
            Attached a;
            a.peer.send(tt::cat({announcing(pattern, UINT32_MAX), next}));
            int st = -1;
            tt::Captured out = tt::capture([&] { st = a.t.ReceiveEvent(nullptr, 1, 5, 0); });
            failures += st != ERR_ALLOC || out.err.find("Failed to allocate") == std::string::npos;
            failures += a.t.ReceiveEvent(nullptr, 1, 5, 0) != 0 || stored(a.t) != next;
        }
        for (size_t intro : {sizeof(kbr7_image_ext_intro), sizeof(kbr7_spect_intro)}) {
            Attached a;
            // Within what `sz` can bound, beyond what the address space holds.
            a.peer.send(intro_announcing(intro, 0x7ff00000u));
            alignas(8) unsigned char record[sizeof(kbr7_image_ext_intro)];
            char* body = nullptr;
            int st = -1;
            tt::capture([&] {
                st = intro == sizeof(kbr7_spect_intro)
                         ? a.t.ReceiveSpect(reinterpret_cast<kbr7_spect_intro*>(record), &body, INT_MAX)
                         : a.t.ReceiveImage(reinterpret_cast<kbr7_image_ext_intro*>(record), &body, INT_MAX);
            });
            failures += st != ERR_ALLOC || body != nullptr;
        }
        ::_exit(failures == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the receiving process died: signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(HostileLength, LongestRecordIsRefusedBeforeAnythingIsAllocated) {
    tt::Watchdog dog(30);
    for (bool by_variable : {false, true}) {
        SCOPED_TRACE(by_variable ? "variable" : "member");
        tt::EnvGuard limit("KBR7_TARVEX_MAX_RECORD", by_variable ? "1000" : nullptr);
        for (uint32_t pattern : {KBR7_PATTERN_2010, KBR7_PATTERN_2024, KBR7_PATTERN_SLOW_2024}) {
            SCOPED_TRACE(testing::Message() << std::hex << pattern);
            Attached a;
            if (!by_variable) {
                ASSERT_EQ(a.t.set_max_record(1000), 0);
            }
            const Bytes fits = tt::event_record(pattern, 1000 - tt::event_record(pattern, 0).size(), 1, 1);
            const Bytes too_long = tt::event_record(pattern, 1001 - tt::event_record(pattern, 0).size(), 2, 2);
            const Bytes next = tt::event_record(KBR7_PATTERN_2010, 8, 3, 3);
            ASSERT_TRUE(a.peer.send(tt::cat({fits, too_long, next})));
            EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 5, 0), 0);
            EXPECT_EQ(stored(a.t), fits);
            int st = -1;
            tt::Captured out = tt::capture([&] { st = a.t.ReceiveEvent(nullptr, 1, 5, 0); });
            EXPECT_EQ(st, ERR_BAD_VALUE);
            EXPECT_NE(out.err.find("record of 1001 bytes refused, longer than 1000"), std::string::npos) << out.err;
            EXPECT_EQ(A::buffer(a.t), nullptr);
            EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 5, 0), 0);
            EXPECT_EQ(stored(a.t), next);
        }
        Attached a;
        if (!by_variable) {
            ASSERT_EQ(a.t.set_max_record(1000), 0);
        }
        ASSERT_TRUE(a.peer.send(tt::intro_record(sizeof(kbr7_image_ext_intro), KBR7_PATTERN_2010, 1000)));
        kbr7_image_ext_intro intro{};
        char* body = nullptr;
        tt::Captured out = tt::capture([&] { EXPECT_EQ(a.t.ReceiveImage(&intro, &body, INT_MAX), ERR_BAD_VALUE); });
        EXPECT_EQ(body, nullptr);
    }
    tt::EnvGuard bad("KBR7_TARVEX_MAX_RECORD", "1G");
    Attached a;
    tt::Captured out = tt::capture([&] { EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 0, 1000), ERR_BAD_VALUE); });
    EXPECT_NE(out.err.find("ReceiveEvent(): KBR7_TARVEX_MAX_RECORD=\"1G\" is not a number of bytes"), std::string::npos)
        << out.err;
    EXPECT_EQ(a.t.set_max_record(0), 0);
}

// A peer that stops inside a record holds the call only as long as the site
// allows; the partial record is dropped and the next call scans afresh.
TEST(RecordTimeout, StalledRecordEndsTheCallAndTheNextRecordArrives) {
    tt::Watchdog dog(30);
    const Bytes r = tt::event_record(KBR7_PATTERN_2024, 100, 1, 1);
    const Bytes next = tt::event_record(KBR7_PATTERN_2010, 12, 2, 2);
    for (size_t cut : {size_t{10}, size_t{60}}) {
        SCOPED_TRACE(cut < 48 ? "inside the header" : "inside the body");
        Attached a;
        ASSERT_EQ(a.t.set_record_timeout(200), 0);
        ASSERT_TRUE(a.peer.send(r.data(), cut));
        const long long t0 = tt::now_ms();
        int st = -1;
        tt::Captured out = tt::capture([&] { st = a.t.ReceiveEvent(nullptr, 1, 5, 0); });
        const long long took = tt::now_ms() - t0;
        EXPECT_EQ(st, ERR_TIMEOUT);
        EXPECT_GE(took, 150);
        EXPECT_LT(took, 3000);
        EXPECT_NE(out.err.find("ReceiveEvent(): record not complete within 200 ms, dropped"), std::string::npos);
        ASSERT_TRUE(a.peer.send(next));
        EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 5, 0), 0);
        EXPECT_EQ(stored(a.t), next);
    }
    // Without the switch the wait has no limit: the rest still arrives.
    Attached a;
    ASSERT_TRUE(a.peer.send(r.data(), 60));
    std::thread rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        a.peer.send(r.data() + 60, r.size() - 60);
    });
    EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 5, 0), 0);
    rest.join();
    EXPECT_EQ(stored(a.t), r);
}

// ---------------------------------------------------------------------------
// Who may connect

TEST(Admission, ListenerBindsOnlyTheAddressGiven) {
    tt::Watchdog dog(30);
    Tarvex t(0);
    ASSERT_EQ(t.set_bind_address("127.0.0.2"), 0);
    tt::Captured out = tt::capture([&] { ASSERT_EQ(t.SocketSetup(0), 0); });
    const int port = t.get_bound_port();
    EXPECT_FALSE(connect_from("127.0.0.1", port).valid()) << "127.0.0.1 must not reach a listener on 127.0.0.2";
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.2", &dst.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst), 0);
    ::close(fd);
    tt::capture([&] { t.SocketRelease(); });
    EXPECT_EQ(t.set_bind_address("127.0.0"), ERR_BAD_VALUE);
}

// Strays that come first are closed and counted; the real peer is served
// and never sees their bytes, however the strays write.
TEST(Admission, StraysOutsideTheAllowListGetNothingInAndNothingOut) {
    tt::Watchdog dog(30);
    tt::EnvGuard allow("KBR7_TARVEX_ALLOW_PEERS", "10.0.0.0/8, 127.0.0.1");
    Tarvex t(0);
    ASSERT_EQ(t.SocketSetup(0), 0);
    const int port = t.get_bound_port();
    std::vector<tt::RawPeer> strays;
    for (int i = 0; i < 3; ++i) {
        strays.push_back(connect_from("127.0.0.2", port));
        ASSERT_TRUE(strays.back().valid());
        // A stray in the other byte order would switch conversion on.
        strays.back().send(tt::cat({tt::host32(KBR7_PATTERN_2010_SWAPPED), Bytes(40, 1)}));
    }
    tt::RawPeer real = connect_from("127.0.0.1", port);
    ASSERT_TRUE(real.valid());
    tt::Captured out = tt::capture([&] { ASSERT_EQ(t.Connect(true), 0); });
    EXPECT_EQ(t.get_refused_peers(), 3u);
    EXPECT_NE(out.err.find("Connect(): peer 127.0.0.2 is not allowed, connection closed"), std::string::npos);
    for (tt::RawPeer& s : strays) EXPECT_TRUE(s.sees_close()) << "a stray must get nothing, not even the preamble";
    EXPECT_EQ(real.read_exact(4), tt::host32(tarvex::preamble::kNative));
    const Bytes r = tt::event_record(KBR7_PATTERN_2010, 20);
    ASSERT_TRUE(real.send(r));
    EXPECT_EQ(t.ReceiveEvent(nullptr, 1, 5, 0), 0);
    EXPECT_EQ(stored(t), r);
    EXPECT_FALSE(t.get_swap());
    tt::capture([&] { t.SocketRelease(); });

    tt::EnvGuard bad("KBR7_TARVEX_ALLOW_PEERS", "127.0.0.1/33");
    Tarvex u(0);
    ASSERT_EQ(u.SocketSetup(0), 0);
    out = tt::capture([&] { EXPECT_EQ(u.Connect(true), ERR_BAD_VALUE); });
    EXPECT_NE(out.err.find("KBR7_TARVEX_ALLOW_PEERS"), std::string::npos);
    tt::capture([&] { u.SocketRelease(); });
}

// The socket file: never writable for everybody, whatever the umask; the
// mode a site asks for; the directory a site chooses; a stale file of this
// user removed on request.
TEST(Admission, SocketFileModeDirectoryAndStaleFiles) {
    tt::Watchdog dog(30);
    tt::EnvGuard local("KBR7_TARVEX_SOCK_TYPE", "UNIX");
    struct Case {
        const char* what;
        const char* mode;  // KBR7_TARVEX_SOCK_MODE, or null
        mode_t umask_bits;
        mode_t expected;
    };
    const Case cases[] = {{"umask 000", nullptr, 0, 0775},
                          {"umask 022", nullptr, 022, 0755},
                          {"mode 0600", "0600", 0, 0600},
                          {"mode 660", "660", 077, 0660}};
    char dir_template[] = "/tmp/tarvex-sockdir-XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    tt::EnvGuard dir("KBR7_TARVEX_SOCK_DIR", dir_template);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tt::EnvGuard mode("KBR7_TARVEX_SOCK_MODE", c.mode);
        const mode_t old = ::umask(c.umask_bits);
        Tarvex t(0);
        const int port = tt::unique_port();
        tt::Captured out = tt::capture([&] { EXPECT_EQ(t.SocketSetup(port), 0); });
        ::umask(old);
        const std::string path = tt::socket_file(port, dir_template);
        EXPECT_EQ(path, tt::socket_path(port));
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.expected);
        tt::capture([&] { t.SocketRelease(); });
        EXPECT_NE(::access(path.c_str(), F_OK), 0) << "released, the file goes";
    }

    // A socket file left by a listener that ended without releasing.
    const int port = tt::unique_port();
    const std::string path = tt::socket_file(port, dir_template);
    ASSERT_TRUE(tt::leave_stale_socket_file(path));
    Tarvex t(0);
    tt::Captured out = tt::capture([&] { EXPECT_EQ(t.SocketSetup(port), ERR_BIND); });
    ASSERT_EQ(t.set_reuse_address(true), 0);
    out = tt::capture([&] { EXPECT_EQ(t.SocketSetup(port), 0); });
    EXPECT_NE(out.out.find("stale socket file " + path + " removed"), std::string::npos) << out.out;
    tt::capture([&] { t.SocketRelease(); });
    ::rmdir(dir_template);
}

// Another local user who takes the socket path first must not receive a
// sender's records: the connecting end trusts only listeners of its own
// user, root, or those the allow list names.
TEST(Admission, ListenerOfAnotherUserGetsNoRecords) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play a second user";
    tt::Watchdog dog(30);
    const passwd* nobody = ::getpwnam("nobody");
    const uid_t other = nobody != nullptr ? nobody->pw_uid : 65534;
    tt::EnvGuard local("KBR7_TARVEX_SOCK_TYPE", "UNIX");
    const int port = tt::unique_port();
    char path[128];
    tarvex_socket_path(port, path, sizeof path);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t squatter = ::fork();
    ASSERT_GE(squatter, 0);
    if (squatter == 0) {
        ::close(ready[0]);
        if (::setuid(other) != 0) ::_exit(2);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, path, std::min(sizeof a.sun_path - 1, std::strlen(path)));
        ::umask(0);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 5) != 0) ::_exit(3);
        [[maybe_unused]] ssize_t said = ::write(ready[1], "r", 1);
        for (;;) {
            const int peer = ::accept(fd, nullptr, nullptr);
            if (peer < 0) ::_exit(4);
            const uint32_t preamble = tarvex::preamble::kNative;
            [[maybe_unused]] ssize_t sent = ::send(peer, &preamble, 4, MSG_NOSIGNAL);
        }
    }
    ::close(ready[1]);
    char r = 0;
    ASSERT_EQ(::read(ready[0], &r, 1), 1);
    ::close(ready[0]);

    Tarvex sender(false);
    int st = -1;
    tt::Captured out = tt::capture([&] { st = sender.Connect("127.0.0.1", port); });
    EXPECT_EQ(st, ERR_CONNECT);
    EXPECT_NE(out.err.find("listener of user " + std::to_string(other) + " is not allowed"), std::string::npos)
        << out.err;
    EXPECT_EQ(sender.IsLinkActive(), 0);

    // Named in the allow list, the same listener is trusted.
    ASSERT_EQ(sender.set_allowed_uids(std::to_string(other).c_str()), 0);
    out = tt::capture([&] { st = sender.Connect("127.0.0.1", port); });
    EXPECT_EQ(st, 0) << out.err;
    tt::capture([&] { sender.SocketRelease(); });

    ::kill(squatter, SIGKILL);
    ::waitpid(squatter, nullptr, 0);
    ::unlink(path);
}

// With a list of local users, the accepting end closes a process of any
// other user at once and serves its own.
TEST(Admission, AcceptingEndChecksTheLocalPeersUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play a second user";
    tt::Watchdog dog(30);
    tt::EnvGuard local("KBR7_TARVEX_SOCK_TYPE", "UNIX");
    tt::EnvGuard mode("KBR7_TARVEX_SOCK_MODE", "0777");
    tt::EnvGuard uids("KBR7_TARVEX_ALLOW_UIDS", "self");
    Tarvex t(0);
    const int port = tt::unique_port();
    tt::capture([&] { ASSERT_EQ(t.SocketSetup(port), 0); });
    const pid_t stray = ::fork();
    ASSERT_GE(stray, 0);
    if (stray == 0) {
        if (::setuid(65534) != 0) ::_exit(2);
        tt::RawPeer p = tt::RawPeer::connect_unix(port);
        ::_exit(p.valid() && p.sees_close(5000) ? 0 : 1);  // closed, with nothing read
    }
    int status = 0;
    std::thread real_peer;
    tt::RawPeer real;
    tt::Captured out = tt::capture([&] {
        real_peer = std::thread([&] {
            ::waitpid(stray, &status, 0);
            real = tt::RawPeer::connect_unix(port);
        });
        EXPECT_EQ(t.Connect(true), 0);
        real_peer.join();
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(t.get_refused_peers(), 1u);
    EXPECT_EQ(real.read_exact(4), tt::host32(tarvex::preamble::kNative));
    tt::capture([&] { t.SocketRelease(); });
}
