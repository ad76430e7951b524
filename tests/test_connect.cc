// The listening endpoint, the connection with its byte-order preamble,
// disconnect and release, over TCP and over the local stream socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Capture.h"
#include "Clock.h"
#include "Guards.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Tarvex.h"
#include "TestAccess.h"
#include "detail/Preamble.h"

using A = TarvexTestAccess;

namespace {

const char kVar[] = "KBR7_TARVEX_SOCK_TYPE";
using tarvex::preamble::kBigend;
using tarvex::preamble::kNative;
const char kNoDelayRefused[] = "Connect(2): TCP_NODELAY failed: Operation not supported\n";

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool is_socket_file(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

int status_flags(int fd) { return ::fcntl(fd, F_GETFL); }

int int_option(int fd, int level, int name) {
    int v = -1;
    socklen_t l = sizeof v;
    if (::getsockopt(fd, level, name, &v, &l) != 0) return -1;
    return v;
}

int socket_family(int fd) {
    sockaddr_storage a{};
    socklen_t l = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l) != 0) return -1;
    return a.ss_family;
}

int bound_tcp_port(int fd) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l) != 0) return -1;
    return ntohs(a.sin_port);
}

// A descriptor number that is not open: closing it fails with EBADF.
int closed_descriptor() {
    int fd = 5000;
    while (::fcntl(fd, F_GETFD) != -1) ++fd;
    return fd;
}

// Runs `f` while the process may open no descriptor at all.
template <class F>
void without_descriptors(F&& f) {
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    rlimit none = old;
    none.rlim_cur = 0;
    ::setrlimit(RLIMIT_NOFILE, &none);
    f();
    ::setrlimit(RLIMIT_NOFILE, &old);
}

enum class Mode { Tcp, Local };

std::string mode_name(const testing::TestParamInfo<Mode>& i) { return i.param == Mode::Tcp ? "Tcp" : "Local"; }

class Transport : public testing::TestWithParam<Mode> {
protected:
    void SetUp() override { env_ = std::make_unique<tt::EnvGuard>(kVar, local() ? "UNIX" : nullptr); }
    void TearDown() override {
        env_.reset();
        ::unlink(path().c_str());
    }

    bool local() const { return GetParam() == Mode::Local; }
    std::string path() const { return tt::socket_file(port_); }
    // Any name that resolves will do in local mode: the address is not used.
    const char* host() const { return local() ? "localhost" : "127.0.0.1"; }
    // What every connection adds to standard error on this transport.
    std::string nodelay_report() const { return local() ? kNoDelayRefused : ""; }

    tt::RawPeer raw_connect() { return local() ? tt::RawPeer::connect_unix(port_) : tt::RawPeer::connect_tcp(port_); }

    int setup(Tarvex& t, int port) {
        int status = -1;
        last_ = tt::capture([&] { status = t.SocketSetup(port); });
        return status;
    }
    int setup(Tarvex& t) { return setup(t, port_); }
    int release(Tarvex& t) {
        int status = -1;
        last_ = tt::capture([&] { status = t.SocketRelease(); });
        return status;
    }

    struct Outcome {
        int accepting = -1;
        int connecting = -1;
        tt::Captured io;
    };
    // The accepting end waits in a thread of its own while the connecting
    // end connects from this one.
    Outcome connect_both(Tarvex& acc, Tarvex& con, bool how = true) {
        Outcome o;
        o.io = tt::capture([&] {
            std::thread accepting([&] { o.accepting = acc.Connect(how); });
            o.connecting = con.Connect(host(), port_);
            if (o.connecting != 0) raw_connect();  // lets the waiting accept return
            accepting.join();
        });
        return o;
    }

    tt::Watchdog dog_{30, "connection test"};
    std::unique_ptr<tt::EnvGuard> env_;
    const int port_ = tt::unique_port();
    tt::Captured last_;
};

INSTANTIATE_TEST_SUITE_P(BothTransports, Transport, testing::Values(Mode::Tcp, Mode::Local), mode_name);

// ---------------------------------------------------------------- endpoint

TEST_P(Transport, SetupListensAndReleaseUndoesIt) {
    Tarvex t(false);
    ASSERT_EQ(setup(t), 0);
    EXPECT_EQ(last_.out, local() ? "Here we are: UNIX  file: " + path() + "\nUNIX socket will be used\n" : "");
    EXPECT_EQ(last_.err, "");
    EXPECT_EQ(A::setup(t), 1);
    EXPECT_EQ(A::lport(t), port_);
    const int s = A::sock(t);
    ASSERT_GT(s, 0);
    EXPECT_EQ(socket_family(s), local() ? AF_UNIX : AF_INET);
    EXPECT_EQ(int_option(s, SOL_SOCKET, SO_ACCEPTCONN), 1);
    EXPECT_EQ(int_option(s, SOL_SOCKET, SO_REUSEADDR), 0);
    EXPECT_EQ(status_flags(s) & O_NONBLOCK, 0);
    EXPECT_EQ(is_socket_file(path()), local());

    const sockaddr_in& r = A::receiver(t);
    EXPECT_EQ(r.sin_family, AF_INET);
    EXPECT_EQ(r.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(r.sin_port, htons(static_cast<uint16_t>(port_)));
    if (!local()) {
        EXPECT_EQ(bound_tcp_port(s), port_);
    }

    ASSERT_EQ(release(t), 0);
    EXPECT_EQ(last_.out, "SocketRelease() socket closed\n");
    EXPECT_EQ(A::sock(t), -1);
    EXPECT_EQ(A::setup(t), 0);
    EXPECT_EQ(A::lport(t), 0);
    EXPECT_EQ(::fcntl(s, F_GETFD), -1);
    EXPECT_FALSE(exists(path()));

    EXPECT_EQ(release(t), ERR_NOT_SETUP);
    EXPECT_EQ(last_.err, "SocketRelease(): socket not setup. No ation taken.\n");
    EXPECT_EQ(last_.out, "");

    // The released port (and socket file) can be taken again.
    EXPECT_EQ(setup(t), 0);
    EXPECT_EQ(release(t), 0);
}

TEST_P(Transport, SecondSetupIsRefusedAndFirstKeepsListening) {
    Tarvex t(false);
    ASSERT_EQ(setup(t), 0);
    const int s = A::sock(t);
    EXPECT_EQ(setup(t, tt::unique_port()), ERR_ALREADY_SETUP);
    EXPECT_EQ(last_.err, "SocketSetup(): socket already setup.\n");
    EXPECT_EQ(last_.out, "");
    EXPECT_EQ(A::sock(t), s);
    EXPECT_EQ(A::lport(t), port_);

    tt::RawPeer peer = raw_connect();
    ASSERT_TRUE(peer.valid());
    tt::capture([&] { EXPECT_EQ(t.Connect(true), 0); });
    EXPECT_EQ(peer.read_exact(4), tt::host32(kNative));
    EXPECT_EQ(release(t), 0);
}

TEST_P(Transport, BindFailsOnAnAddressInUse) {
    // A stale socket file, or a TCP port some other socket listens on.
    std::unique_ptr<tt::RawListener> holder;
    if (local())
        ASSERT_TRUE(tt::leave_stale_socket_file(path()));
    else
        holder = std::make_unique<tt::RawListener>(port_, false);

    Tarvex t(false);
    EXPECT_EQ(setup(t), ERR_BIND);
    const std::string line = std::string("Here  bind failed, socket released ") + (local() ? "PF_UNIX " : "PF_INET ") +
                             std::to_string(EADDRINUSE) + "\n";
    EXPECT_NE(last_.out.find(line), std::string::npos) << last_.out;
    EXPECT_EQ(A::sock(t), -1);
    EXPECT_EQ(A::setup(t), 0);
    EXPECT_EQ(A::lport(t), 0);
}

TEST_P(Transport, SocketCreationFailureIsReportedOnBothEnds) {
    const std::string line = "SocketSetup(): socket creation failed: " + std::string(std::strerror(EMFILE)) + "\n";
    Tarvex acc(false);
    int status = -1;
    tt::Captured io = tt::capture([&] { without_descriptors([&] { status = acc.SocketSetup(port_); }); });
    EXPECT_EQ(status, ERR_SOCKET);
    EXPECT_EQ(io.err, line);
    EXPECT_EQ(A::sock(acc), -1);
    EXPECT_EQ(A::setup(acc), 0);

    Tarvex con(false);
    // A dotted address resolves without opening a file once the resolver
    // has read its configuration.
    ASSERT_NE(::gethostbyname("127.0.0.1"), nullptr);
    io = tt::capture([&] { without_descriptors([&] { status = con.Connect("127.0.0.1", port_); }); });
    EXPECT_EQ(status, ERR_SOCKET);
    EXPECT_EQ(io.err, line);
    EXPECT_EQ(A::sockin(con), -1);
    EXPECT_EQ(A::connected(con), 0);
    EXPECT_EQ(A::setup(con), 0);
}

TEST_P(Transport, PortIsNotValidated) {
    // TCP listens on the low 16 bits; the socket file carries the full number.
    const int port = local() ? -port_ : port_ + 65536;
    Tarvex t(false);
    ASSERT_EQ(setup(t, port), 0);
    EXPECT_EQ(A::lport(t), port);
    if (local()) {
        EXPECT_TRUE(is_socket_file(tt::socket_file(port)));
    } else {
        EXPECT_EQ(bound_tcp_port(A::sock(t)), port_);
    }
    EXPECT_EQ(release(t), 0);
    EXPECT_FALSE(exists(tt::socket_file(port)));
}

// get_bound_port tells the port actually listened on: the system's choice
// for TCP port 0, the low 16 bits of a TCP number beyond them, the number of
// the socket file on the local socket; -1 without a listening socket.
TEST_P(Transport, BoundPortIsThePortListenedOn) {
    struct Case {
        int given;
        int bound;  // -1: any port the system chose
    };
    std::vector<Case> cases = {{port_, port_}, {local() ? -port_ : port_ + 65536, local() ? -port_ : port_}};
    // Port 0 on the local socket is the shared file /tmp/0.tcp: not used here.
    if (!local()) cases.push_back({0, -1});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        Tarvex t(false);
        EXPECT_EQ(t.get_bound_port(), -1);
        ASSERT_EQ(setup(t, c.given), 0);
        if (c.bound != -1) {
            EXPECT_EQ(t.get_bound_port(), c.bound);
        } else {
            EXPECT_GT(t.get_bound_port(), 0);
            EXPECT_EQ(t.get_bound_port(), bound_tcp_port(A::sock(t)));
        }
        EXPECT_EQ(t.GetLPort(), c.given);  // unchanged: the number given
        EXPECT_EQ(release(t), 0);
        EXPECT_EQ(t.get_bound_port(), -1);
        ::unlink(tt::socket_file(c.given).c_str());
    }
}

// The port the system picked is one a peer can connect to, by name.
TEST(Endpoint, PortPickedBySystemCarriesALink) {
    tt::Watchdog dog(30, "link on a system-picked port");
    tt::EnvGuard tcp(kVar, nullptr);
    Tarvex acc(false);
    Tarvex con(false);
    tt::capture([&] { ASSERT_EQ(acc.SocketSetup(0), 0); });
    const int port = acc.get_bound_port();
    ASSERT_GT(port, 0);
    int accepted = -1;
    int connected = -1;
    tt::capture([&] {
        std::thread accepting([&] { accepted = acc.Connect(true); });
        connected = con.Connect("localhost", port);
        if (connected != 0) tt::RawPeer::connect_tcp(port);  // lets the waiting accept return
        accepting.join();
    });
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(con.get_bound_port(), -1);  // a connecting end listens nowhere
    tt::capture([&] {
        con.SocketRelease();
        acc.SocketRelease();
    });
}

TEST_P(Transport, FailedCloseOnReleaseForgetsTheListeningSocket) {
    Tarvex t(false);
    ASSERT_EQ(setup(t), 0);
    const int real = A::sock(t);
    A::sock(t) = closed_descriptor();

    EXPECT_EQ(release(t), ERR_CLOSE);
    EXPECT_EQ(last_.err, "Socketrelease(): unable to close socket: " + std::string(std::strerror(EBADF)) + "\n");
    EXPECT_EQ(last_.out, "");
    EXPECT_EQ(A::sock(t), -1);
    EXPECT_EQ(A::setup(t), 1);
    EXPECT_EQ(A::lport(t), port_);
    EXPECT_EQ(is_socket_file(path()), local());

    // A second release closes nothing but finishes the job.
    ::close(real);
    EXPECT_EQ(release(t), 0);
    EXPECT_EQ(last_.out, "");
    EXPECT_EQ(A::setup(t), 0);
    EXPECT_FALSE(exists(path()));
}

TEST_P(Transport, ReleaseDisconnectsThePeerFirst) {
    Tarvex t(false);
    ASSERT_EQ(setup(t), 0);
    tt::RawPeer peer = raw_connect();
    tt::capture([&] { ASSERT_EQ(t.Connect(true), 0); });
    ASSERT_EQ(peer.read_exact(4), tt::host32(kNative));

    EXPECT_EQ(release(t), 0);
    EXPECT_EQ(last_.out, "SocketRelease() socket closed\n");
    EXPECT_EQ(last_.err, "");
    EXPECT_EQ(A::connected(t), 0);
    EXPECT_EQ(A::sockin(t), -1);
    EXPECT_TRUE(peer.sees_close());
}

TEST_P(Transport, ReleaseGoesOnWhenItsDisconnectFails) {
    Tarvex t(false);
    ASSERT_EQ(setup(t), 0);
    A::connected(t) = 1;
    A::set_sockin(t, closed_descriptor());

    EXPECT_EQ(release(t), 0);
    EXPECT_EQ(last_.err, "Disconnect(): failed to close socket: " + std::string(std::strerror(EBADF)) + "\n");
    EXPECT_EQ(last_.out, "SocketRelease() socket closed\n");
    EXPECT_EQ(A::setup(t), 0);
    EXPECT_EQ(A::sock(t), -1);
    EXPECT_FALSE(exists(path()));
}

TEST(Endpoint, LocalModeNeedsTheVariableToBeExactlyUNIX) {
    struct Case {
        const char* value;
        bool local;
    };
    const Case cases[] = {{nullptr, false}, {"", false},      {"unix", false},
                          {"UNIX ", false}, {" UNIX", false}, {"UNIX", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? std::string("\"") + c.value + "\"" : "absent");
        tt::EnvGuard env(kVar, c.value);
        const int port = tt::unique_port();
        Tarvex t(false);
        int status = -1;
        tt::Captured io = tt::capture([&] { status = t.SocketSetup(port); });
        ASSERT_EQ(status, 0);
        std::string out;
        if (c.value) out = std::string("Here we are: ") + c.value + "  file: " + tt::socket_file(port) + "\n";
        if (c.local) out += "UNIX socket will be used\n";
        EXPECT_EQ(io.out, out);
        EXPECT_EQ(socket_family(A::sock(t)), c.local ? AF_UNIX : AF_INET);
        EXPECT_EQ(exists(tt::socket_file(port)), c.local);
        tt::capture([&] { EXPECT_EQ(t.SocketRelease(), 0); });
        EXPECT_FALSE(exists(tt::socket_file(port)));
    }
}

TEST(Endpoint, SocketFileStaysWhenTheVariableChangedBeforeRelease) {
    tt::EnvGuard env(kVar, "UNIX");
    const int port = tt::unique_port();
    Tarvex t(false);
    tt::capture([&] { ASSERT_EQ(t.SocketSetup(port), 0); });
    {
        tt::EnvGuard tcp(kVar, "TCP");
        tt::capture([&] { EXPECT_EQ(t.SocketRelease(), 0); });
    }
    EXPECT_EQ(A::setup(t), 0);
    EXPECT_TRUE(is_socket_file(tt::socket_file(port)));

    // The file left behind now blocks the port in local mode.
    int status = -1;
    tt::Captured io = tt::capture([&] { status = t.SocketSetup(port); });
    EXPECT_EQ(status, ERR_BIND);
    EXPECT_NE(io.out.find("PF_UNIX " + std::to_string(EADDRINUSE)), std::string::npos);
    ::unlink(tt::socket_file(port).c_str());
}

// ---------------------------------------------------------------- connection

TEST_P(Transport, TwoEndsConnectDisconnectAndConnectAgain) {
    Tarvex acc(false);
    Tarvex con(false);
    ASSERT_EQ(setup(acc), 0);

    Outcome o = connect_both(acc, con);
    ASSERT_EQ(o.accepting, 0);
    ASSERT_EQ(o.connecting, 0);
    EXPECT_EQ(o.io.out, local() ? "UNIX socket will be used\n" : "");
    EXPECT_EQ(o.io.err, nodelay_report() + nodelay_report());

    EXPECT_EQ(A::connected(acc), 1);
    EXPECT_EQ(A::must_swap(acc), 0);
    EXPECT_EQ(A::setup(con), 1);
    EXPECT_EQ(A::connected(con), 1);
    EXPECT_EQ(A::must_swap(con), 0);
    EXPECT_EQ(A::sock(con), -1);
    EXPECT_EQ(A::lport(con), 0);
    const sockaddr_in& r = A::receiver(con);
    EXPECT_EQ(r.sin_family, AF_INET);
    EXPECT_EQ(r.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(r.sin_port, htons(static_cast<uint16_t>(port_)));

    const int a = A::sockin(acc);
    const int c = A::sockin(con);
    if (!local()) {
        EXPECT_EQ(int_option(a, IPPROTO_TCP, TCP_NODELAY), 1);
        EXPECT_EQ(int_option(c, IPPROTO_TCP, TCP_NODELAY), 1);
        EXPECT_EQ(A::sender(acc).sin_family, AF_INET);
    }
    EXPECT_EQ(status_flags(a) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(status_flags(c) & O_NONBLOCK, 0);

    // Nothing but the preamble went over the wire: the next byte is ours.
    ASSERT_EQ(::write(c, "x", 1), 1);
    tt::RawPeer view(a);
    EXPECT_EQ(view.read_exact(1), tt::Bytes{'x'});
    view.release();

    tt::Captured io = tt::capture([&] { EXPECT_EQ(con.Disconnect(), 0); });
    EXPECT_EQ(io.err, "");
    EXPECT_EQ(A::connected(con), 0);
    EXPECT_EQ(A::sockin(con), -1);
    EXPECT_EQ(A::setup(con), 1);
    view = tt::RawPeer(a);
    EXPECT_TRUE(view.sees_close());
    view.release();

    io = tt::capture([&] { EXPECT_EQ(con.Disconnect(), ERR_NOT_CONNECTED); });
    EXPECT_EQ(io.err, "Disconnect(): There is no connection.  No action taken.\n");
    io = tt::capture([&] { EXPECT_EQ(con.Connect(host(), port_), ERR_ALREADY_SETUP); });
    EXPECT_EQ(io.err, "SocketSetup(): socket already setup.\n");
    EXPECT_EQ(A::sockin(con), -1);

    // The accepting end keeps listening after its disconnect.
    tt::capture([&] { EXPECT_EQ(acc.Disconnect(), 0); });
    EXPECT_EQ(A::sockin(acc), -1);
    EXPECT_EQ(int_option(A::sock(acc), SOL_SOCKET, SO_ACCEPTCONN), 1);

    // A released connecting end may connect again; there is no listening
    // socket to close on it.
    io = tt::capture([&] { EXPECT_EQ(con.SocketRelease(), 0); });
    EXPECT_EQ(io.out, "");
    EXPECT_EQ(A::setup(con), 0);
    o = connect_both(acc, con);
    EXPECT_EQ(o.accepting, 0);
    EXPECT_EQ(o.connecting, 0);

    tt::capture([&] {
        EXPECT_EQ(con.SocketRelease(), 0);
        EXPECT_EQ(acc.SocketRelease(), 0);
    });
}

TEST_P(Transport, BigendModeMakesBothEndsConvert) {
    Tarvex acc(1);
    Tarvex con(false);
    ASSERT_EQ(setup(acc), 0);
    Outcome o = connect_both(acc, con);
    ASSERT_EQ(o.accepting, 0);
    ASSERT_EQ(o.connecting, 0);
    EXPECT_EQ(A::must_swap(acc), 1);
    EXPECT_EQ(A::must_swap(con), 1);
    EXPECT_TRUE(acc.get_swap());
    EXPECT_TRUE(con.get_swap());
    tt::capture([&] {
        EXPECT_EQ(con.SocketRelease(), 0);
        EXPECT_EQ(acc.SocketRelease(), 0);
    });
}

// The tests take the words from the link's own table (detail/Preamble.h);
// they are the protocol's, the same for every peer ever built, so they are
// pinned once here.
TEST(Preamble, WordsAreTheProtocols) {
    EXPECT_EQ(kNative, 0x0a0b0c0du);
    EXPECT_EQ(kBigend, 0x0c0d0e0fu);
    EXPECT_EQ(tt::host32(tarvex::preamble::kNativeOpposite), tt::opposite32(kNative));
    EXPECT_EQ(tt::host32(tarvex::preamble::kBigendOpposite), tt::opposite32(kBigend));
}

TEST_P(Transport, AcceptingEndSendsItsWordInItsOwnByteOrder) {
    struct Case {
        int md;
        bool no_delay;
        int must_swap_before;
        uint32_t word;
        int must_swap_after;
    };
    const Case cases[] = {
        {0, true, 0, kNative, 0}, {0, false, 0, kNative, 0},
        {0, true, 1, kNative, 1},  // native mode keeps what an earlier peer left
        {1, true, 0, kBigend, 1}, {1, false, 0, kBigend, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "md " << c.md << " no_delay " << c.no_delay << " must_swap "
                                        << c.must_swap_before);
        Tarvex acc(c.md);
        if (!c.no_delay) acc.SetDelay();
        A::must_swap(acc) = c.must_swap_before;
        const int port = tt::unique_port();
        ASSERT_EQ(setup(acc, port), 0);
        tt::RawPeer peer = local() ? tt::RawPeer::connect_unix(port) : tt::RawPeer::connect_tcp(port);
        ASSERT_TRUE(peer.valid());
        tt::Captured io = tt::capture([&] { EXPECT_EQ(acc.Connect(true), 0); });
        EXPECT_EQ(io.err, nodelay_report());
        EXPECT_EQ(peer.read_exact(4), tt::host32(c.word));
        EXPECT_TRUE(peer.quiet_for(20));
        EXPECT_EQ(A::must_swap(acc), c.must_swap_after);
        EXPECT_EQ(status_flags(A::sockin(acc)) & O_NONBLOCK, c.no_delay ? O_NONBLOCK : 0);
        EXPECT_EQ(release(acc), 0);
        EXPECT_TRUE(peer.sees_close());
    }
}

// A signal that interrupts the wait for the preamble is no failure of the
// peer: the connecting end goes on waiting and reads the preamble.
// A listener that accepts and never sends the preamble must not hold the
// connecting end for ever: a signal ends the wait as a failed receive does,
// and a program that uses timer signals blocks them around the call.
TEST_P(Transport, SignalEndsThePreambleWaitUnlessBlocked) {
    tt::Watchdog dog(30);
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sa.sa_flags = SA_RESTART;  // even a restarting handler ends the wait
    struct sigaction old {};
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
    for (bool blocked : {false, true}) {
        SCOPED_TRACE(blocked ? "signal blocked" : "signal delivered");
        const int port = tt::unique_port();
        tt::RawListener listener(port, local());
        Tarvex con(false);
        const pthread_t me = ::pthread_self();
        sigset_t usr1, before;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        if (blocked) ::pthread_sigmask(SIG_BLOCK, &usr1, &before);
        int status = -1;
        tt::Captured out = tt::capture([&] {
            std::thread accepting([&] {
                tt::RawPeer peer = listener.accept();
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                ::pthread_kill(me, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                peer.send(tt::host32(kNative));
                peer.sees_close();
            });
            status = con.Connect(host(), port);
            con.SocketRelease();
            accepting.join();
        });
        if (blocked) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGUSR1)) {
                int taken;
                sigwait(&usr1, &taken);
            }
            ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        }
        if (blocked) {
            EXPECT_EQ(status, 0);
        } else {
            EXPECT_EQ(status, ERR_PROTOCOL);
            EXPECT_NE(out.err.find("Connect(): failed to receive preamble: Interrupted system call"), std::string::npos)
                << out.err;
            EXPECT_EQ(A::sockin(con), -1);
            EXPECT_EQ(A::setup(con), 0);
        }
    }
    ::sigaction(SIGUSR1, &old, nullptr);
}

// The opt-in limit on the preamble wait, by member and by variable.
TEST_P(Transport, PreambleWaitEndsAtItsTimeLimit) {
    tt::Watchdog dog(30);
    for (bool by_variable : {false, true}) {
        SCOPED_TRACE(by_variable ? "variable" : "member");
        tt::EnvGuard limit("KBR7_TARVEX_PREAMBLE_TIMEOUT_MS", by_variable ? "200" : nullptr);
        const int port = tt::unique_port();
        tt::RawListener listener(port, local());
        Tarvex con(false);
        if (!by_variable) {
            ASSERT_EQ(con.set_preamble_timeout(200), 0);
        }
        std::thread accepting([&] {
            tt::RawPeer peer = listener.accept();  // accepts and never sends
            peer.sees_close(3000);
        });
        int status = -1;
        const long long t0 = tt::now_ms();
        tt::Captured out = tt::capture([&] { status = con.Connect(host(), port); });
        const long long took = tt::now_ms() - t0;
        accepting.join();
        EXPECT_EQ(status, ERR_PROTOCOL);
        EXPECT_GE(took, 150);
        EXPECT_LT(took, 3000);
        EXPECT_NE(out.err.find("Connect(): failed to receive preamble: Connection timed out"), std::string::npos)
            << out.err;
    }
    tt::EnvGuard bad("KBR7_TARVEX_PREAMBLE_TIMEOUT_MS", "soon");
    Tarvex con(false);
    int status = -1;
    tt::Captured out = tt::capture([&] { status = con.Connect(host(), tt::unique_port()); });
    EXPECT_EQ(status, ERR_BAD_VALUE);
    EXPECT_NE(out.err.find("KBR7_TARVEX_PREAMBLE_TIMEOUT_MS=\"soon\""), std::string::npos) << out.err;
}

TEST_P(Transport, ConnectingEndReadsThePreamble) {
    struct Case {
        const char* what;
        tt::Bytes bytes;
        bool slowly;
        bool then_close;
        int status;
        int must_swap;    // preset to 1, so "unchanged" shows as 1
        std::string err;  // after the transport's own report; a trailing ':' means a system error follows
    };
    const Case cases[] = {
        {"same order", tt::host32(kNative), false, false, 0, 0, ""},
        {"opposite order", tt::opposite32(kNative), false, false, 0, 1, ""},
        {"bigend mode, same order", tt::host32(kBigend), false, false, 0, 1, ""},
        {"bigend mode, opposite order", tt::opposite32(kBigend), false, false, 0, 1, ""},
        {"one byte at a time", tt::host32(kNative), true, false, 0, 0, ""},
        {"opposite order one byte at a time", tt::opposite32(kNative), true, false, 0, 1, ""},
        {"four zero bytes",
         {0, 0, 0, 0},
         false,
         false,
         ERR_BAD_VALUE,
         1,
         "Connect(): Unrecognized byte pattern in preamble.0\n"},
        {"negative word", tt::host32(0xfffffffeu), false, false, ERR_BAD_VALUE, 1,
         "Connect(): Unrecognized byte pattern in preamble.-2\n"},
        {"three bytes, then the end",
         {0x0d, 0x0c, 0x0b},
         true,
         true,
         ERR_PROTOCOL,
         1,
         "Connect(): failed to receive preamble:"},
        {"nothing, then the end", {}, false, true, ERR_PROTOCOL, 1, "Connect(): failed to receive preamble:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int port = tt::unique_port();
        tt::RawListener listener(port, local());
        Tarvex con(false);
        A::must_swap(con) = 1;
        tt::RawPeer peer;
        int status = -1;
        tt::Captured io = tt::capture([&] {
            std::thread accepting([&] {
                peer = listener.accept();
                if (c.slowly)
                    peer.send_slowly(c.bytes);
                else
                    peer.send(c.bytes);
                if (c.then_close) peer.close();
            });
            status = con.Connect(host(), port);
            accepting.join();
        });
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(A::must_swap(con), c.must_swap);
        const std::string expected_err = nodelay_report() + c.err;
        if (!c.err.empty() && c.err.back() == ':') {
            EXPECT_TRUE(starts_with(io.err, expected_err)) << io.err;
        } else {
            EXPECT_EQ(io.err, expected_err);
        }

        if (c.status == 0) {
            EXPECT_EQ(A::setup(con), 1);
            EXPECT_EQ(A::connected(con), 1);
            EXPECT_GE(A::sockin(con), 0);
            tt::capture([&] { EXPECT_EQ(con.SocketRelease(), 0); });
        } else {
            // The half-made connection is given up entirely.
            EXPECT_EQ(A::setup(con), 0);
            EXPECT_EQ(A::connected(con), 0);
            EXPECT_EQ(A::sockin(con), -1);
            if (!c.then_close) {
                EXPECT_TRUE(peer.sees_close());
            }
        }
    }
}

TEST_P(Transport, ConnectFalseReplacesThePeer) {
    Tarvex acc(false);
    ASSERT_EQ(setup(acc), 0);

    // Without a peer it accepts like Connect(true).
    tt::RawPeer first = raw_connect();
    tt::capture([&] { EXPECT_EQ(acc.Connect(false), 0); });
    EXPECT_EQ(first.read_exact(4), tt::host32(kNative));

    // The old peer is let go before the wait for the new one.
    int status = -1;
    tt::RawPeer second;
    tt::Captured io = tt::capture([&] {
        std::thread accepting([&] { status = acc.Connect(false); });
        EXPECT_TRUE(first.sees_close());
        second = raw_connect();
        accepting.join();
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(io.err, nodelay_report());
    EXPECT_EQ(A::connected(acc), 1);
    EXPECT_EQ(second.read_exact(4), tt::host32(kNative));
    EXPECT_EQ(release(acc), 0);
}

// ------------------------------------------------------------------ the close

namespace {

// A 64-byte 2010 event numbered `n`: a header and one body fragment.
struct SmallEvent {
    kbr7_eventheader head{};
    uint32_t body[7] = {};
    iovec vec[2];
    explicit SmallEvent(uint32_t n) {
        head.pattern = KBR7_PATTERN_2010;
        head.event_length = sizeof head + sizeof body;
        head.event_number = n;
        for (uint32_t& w : body) w = n * 7;
        vec[0] = {&head, sizeof head};
        vec[1] = {body, sizeof body};
    }
};

int send_unacknowledged(Tarvex& t, uint32_t n) {
    SmallEvent e(n);
    return t.SendEvent(e.vec, 2, SendEvent_NOACK);
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

// The sender closes at once after its last record, while a receiver given a
// ring buffer (which answers every record) is still reading: every record
// arrives, in order, and the sender is told once that its peer answers.
TEST_P(Transport, CloseRightAfterUnacknowledgedRecordsLosesNone) {
    constexpr uint32_t kRecords = 20000;
    Tarvex acc(false);
    Tarvex con(false);
    ASSERT_EQ(setup(acc), 0);
    ASSERT_EQ(connect_both(acc, con).connecting, 0);

    uint32_t received = 0;
    bool in_order = true;
    int sent = 0, released = -1;
    tt::Captured io = tt::capture([&] {
        std::thread receiver([&] {
            RNG_RingBuffer ring(64 << 20);
            while (acc.ReceiveEvent(&ring, -1, 5, 0) == 0) {
                in_order = in_order && acc.get_event_header()->event_number == received;
                ++received;
            }
        });
        while (sent < static_cast<int>(kRecords) && send_unacknowledged(con, static_cast<uint32_t>(sent)) == 0) ++sent;
        released = con.SocketRelease();
        receiver.join();
    });
    EXPECT_EQ(sent, static_cast<int>(kRecords)) << io.out << io.err;
    EXPECT_EQ(released, 0);
    EXPECT_EQ(received, kRecords);
    EXPECT_TRUE(in_order);
    EXPECT_EQ(count_of(io.err, "the peer answers acknowledgements this sender does not ask for"), 1u);
    EXPECT_EQ(con.get_no_room_answers(), 0u);
    EXPECT_EQ(release(acc), 0);
}

// What a close waits for, and how long at most.
TEST_P(Transport, CloseWaitsOnlyForWhatThePeerOwesWithinTheBudget) {
    tt::RawListener listener(port_, local());
    struct Case {
        const char* name;
        int sends;  // records, and how: -1 none
        enum { Idle, AnswersAll, KeepsSending } peer;
        bool waits_out_the_budget;
    } cases[] = {
        {"nothing sent, peer idle", -1, Case::Idle, false},
        {"acknowledged records, every answer in", SendEvent_ACK, Case::AnswersAll, false},
        {"unacknowledged records, every answer in", SendEvent_NOACK, Case::AnswersAll, false},
        {"unacknowledged records, peer idle and silent", SendEvent_NOACK, Case::Idle, true},
        {"unacknowledged records, peer keeps sending", SendEvent_NOACK, Case::KeepsSending, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tarvex con(false);
        con.SetRetry(5);  // a budget of half a second
        std::future<int> connected = std::async(std::launch::async, [&] { return con.Connect(host(), port_); });
        tt::RawPeer peer = listener.accept();
        ASSERT_TRUE(peer.valid());
        ASSERT_TRUE(peer.send(tt::host32(kNative)));
        tt::capture([&] { ASSERT_EQ(connected.get(), 0); });
        if (c.sends == SendEvent_NOACK) {
            for (uint32_t n = 0; n < 3; ++n) ASSERT_EQ(send_unacknowledged(con, n), 0);
        }
        if (c.sends == SendEvent_ACK) {
            // The peer answers each header as it comes; the bodies follow.
            std::thread answering([&] {
                for (int i = 0; i < 3; ++i) {
                    peer.read_exact(sizeof(kbr7_eventheader));
                    peer.send(tt::host32(0));
                    peer.read_exact(64 - sizeof(kbr7_eventheader));
                }
            });
            for (uint32_t n = 0; n < 3; ++n) {
                SmallEvent e(n);
                ASSERT_EQ(con.SendEvent(e.vec, 2, SendEvent_ACK), 0);
            }
            answering.join();
        }
        if (c.sends == SendEvent_NOACK && c.peer == Case::AnswersAll) {
            ASSERT_EQ(peer.read_exact(3 * 64).size(), 3u * 64);
            for (int i = 0; i < 3; ++i) peer.send(tt::host32(0));
        }
        std::atomic<bool> stop{false};
        std::thread chatter;
        if (c.peer == Case::KeepsSending)
            chatter = std::thread([&] {
                const tt::Bytes noise(512, 0x5a);
                while (!stop && peer.send(noise)) {
                }
            });

        const long long start = tt::now_ms();
        tt::capture([&] { EXPECT_EQ(con.Disconnect(), 0); });
        const long long took = tt::now_ms() - start;
        stop = true;
        if (chatter.joinable()) {
            peer.shutdown_write();
            chatter.join();
        }
        // Never longer than the budget (with room for a loaded machine);
        // no wait at all when nothing is owed.
        EXPECT_LT(took, 3000);
        if (c.waits_out_the_budget) {
            EXPECT_GE(took, 400);
        } else {
            EXPECT_LT(took, 400);
        }
        // The peer reads every record, then the end of the stream: no reset.
        if (c.peer != Case::AnswersAll) {
            const tt::Bytes rest = peer.read_until_closed(2000);
            EXPECT_EQ(rest.size(), c.sends >= 0 ? 3u * 64 : 0u);
        } else {
            EXPECT_TRUE(peer.sees_close());
        }
        tt::capture([&] { con.SocketRelease(); });
    }
}

TEST_P(Transport, SecondAcceptIsRefusedWhileConnected) {
    Tarvex acc(false);
    ASSERT_EQ(setup(acc), 0);
    tt::RawPeer first = raw_connect();
    tt::capture([&] { EXPECT_EQ(acc.Connect(true), 0); });
    const int data = A::sockin(acc);

    tt::RawPeer waiting = raw_connect();
    tt::Captured io = tt::capture([&] { EXPECT_EQ(acc.Connect(true), ERR_ALREADY_CONNECTED); });
    EXPECT_EQ(io.err, "Conenct(): Alrady accepted a connection. No action taken.\n");
    EXPECT_EQ(A::sockin(acc), data);
    EXPECT_EQ(A::connected(acc), 1);
    EXPECT_EQ(first.read_exact(4), tt::host32(kNative));
    EXPECT_TRUE(waiting.quiet_for(50));  // never accepted, so no preamble
    EXPECT_EQ(release(acc), 0);
}

TEST_P(Transport, HostThatDoesNotResolveIsRefused) {
    Tarvex con(false);
    for (const char* name : {"999.1.1.1", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(name ? name : "null");
        int status = -1;
        tt::Captured io = tt::capture([&] { status = con.Connect(name, port_); });
        EXPECT_EQ(status, ERR_HOST);
        EXPECT_TRUE(starts_with(io.err, "Connect(): gethostbyname failed, socket released: ")) << io.err;
        EXPECT_EQ(io.out, "");
        EXPECT_EQ(A::sockin(con), -1);
        EXPECT_EQ(A::setup(con), 0);
        EXPECT_EQ(A::connected(con), 0);
    }
}

// The failed lookup's line carries the lookup's own reason, not the text of
// a stale error number.
TEST_P(Transport, FailedLookupTellsWhy) {
    const std::string prefix = "Connect(): gethostbyname failed, socket released: ";
    std::vector<std::string> reasons;
    for (int code : {EAI_NONAME, EAI_AGAIN, EAI_FAIL, EAI_NODATA, EAI_ADDRFAMILY})
        reasons.push_back(::gai_strerror(code));
    struct Case {
        const char* host;
        std::string reason;  // empty: any of `reasons` (it depends on the resolver)
    };
    const Case cases[] = {{nullptr, ::gai_strerror(EAI_NONAME)}, {"no-such-host.invalid", ""}, {"999.1.1.1", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host ? c.host : "null");
        Tarvex con(false);
        errno = 0;
        int status = -1;
        tt::Captured io = tt::capture([&] { status = con.Connect(c.host, port_); });
        EXPECT_EQ(status, ERR_HOST);
        ASSERT_TRUE(starts_with(io.err, prefix)) << io.err;
        ASSERT_EQ(io.err.back(), '\n');
        const std::string reason = io.err.substr(prefix.size(), io.err.size() - prefix.size() - 1);
        EXPECT_EQ(reason.find('\n'), std::string::npos) << io.err;
        EXPECT_NE(reason, std::strerror(0));
        if (!c.reason.empty()) {
            EXPECT_EQ(reason, c.reason);
        } else {
            EXPECT_NE(std::find(reasons.begin(), reasons.end(), reason), reasons.end()) << reason;
        }
        EXPECT_EQ(io.out, "");
    }
}

TEST_P(Transport, ConnectWithoutListenerFails) {
    Tarvex con(false);
    int status = -1;
    tt::Captured io = tt::capture([&] { status = con.Connect(host(), port_); });
    EXPECT_EQ(status, ERR_CONNECT);
    const std::string line =
        local() ? "Connect(1): connect failed, socket released: " + std::string(std::strerror(ENOENT))
                : "Connect(2): connect failed, socket released: " + std::string(std::strerror(ECONNREFUSED));
    EXPECT_EQ(io.err, line + "\n");
    EXPECT_EQ(io.out, local() ? "UNIX socket will be used\n" : "");
    EXPECT_EQ(A::sockin(con), -1);
    EXPECT_EQ(A::connected(con), 0);
    EXPECT_EQ(A::setup(con), 0);
}

// A local peer that is gone before accept makes the preamble send fail with
// a broken pipe at once (TCP would need the reset to arrive first).
TEST(Connection, FailedPreambleSendLeavesTheConnectionToTheCaller) {
    tt::Watchdog dog(30, "preamble send");
    tt::EnvGuard env(kVar, "UNIX");
    const int port = tt::unique_port();
    Tarvex acc(1);
    tt::capture([&] { ASSERT_EQ(acc.SocketSetup(port), 0); });
    tt::RawPeer::connect_unix(port).close();

    int status = -1;
    tt::Captured io = tt::capture([&] { status = acc.Connect(true); });
    EXPECT_EQ(status, ERR_PROTOCOL);
    EXPECT_EQ(io.err, std::string(kNoDelayRefused) + "Connect(): send failed: " + std::strerror(EPIPE) + "\n");
    EXPECT_EQ(A::connected(acc), 1);
    EXPECT_GE(A::sockin(acc), 0);
    EXPECT_EQ(A::must_swap(acc), 1);
    tt::capture([&] {
        EXPECT_EQ(acc.Disconnect(), 0);
        EXPECT_EQ(acc.SocketRelease(), 0);
    });
}

// A local peer bound to a path has an address far longer than an IPv4 one;
// accepting it, again and again, must not write past the peer address field.
TEST(Connection, LongPeerAddressDoesNotSpillIntoTheLink) {
    tt::Watchdog dog(30, "long peer address");
    tt::EnvGuard env(kVar, "UNIX");
    const int port = tt::unique_port();
    const std::string own =
        tt::socket_file(port) + ".peer-with-a-rather-long-name-that-fills-the-path-field-xxxxxxxxxxxxxxxx";
    Tarvex acc(false);
    tt::capture([&] { ASSERT_EQ(acc.SocketSetup(port), 0); });
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un me{};
        me.sun_family = AF_UNIX;
        std::snprintf(me.sun_path, sizeof me.sun_path, "%s", own.c_str());
        ::unlink(me.sun_path);
        ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&me), sizeof me), 0);
        const sockaddr_un to = [&] {
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", tt::socket_file(port).c_str());
            return a;
        }();
        ASSERT_EQ(::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        tt::RawPeer peer(s);
        tt::capture([&] { EXPECT_EQ(acc.Connect(false), 0); });
        EXPECT_EQ(peer.read_exact(4), tt::host32(kNative));
        EXPECT_EQ(A::setup(acc), 1);
        EXPECT_EQ(A::connected(acc), 1);
        EXPECT_EQ(A::must_swap(acc), 0);
        EXPECT_FALSE(A::no_swap(acc));
        EXPECT_EQ(A::lport(acc), port);
        EXPECT_EQ(A::bigend_mode(acc), Tarvex::NATIVE_MODE);
        ::unlink(me.sun_path);
    }
    tt::capture([&] { EXPECT_EQ(acc.SocketRelease(), 0); });
}

TEST(Connection, FailedAcceptLeavesTheEndListeningWithoutPeer) {
    auto [mine, theirs] = tt::stream_pair();
    Tarvex acc(false);
    A::setup(acc) = 1;  // a listening socket that is not open: accept fails

    int status = -1;
    tt::Captured io = tt::capture([&] { status = acc.Connect(true); });
    EXPECT_EQ(status, ERR_ACCEPT);
    EXPECT_EQ(io.err, "Connect(): accept failed: " + std::string(std::strerror(EBADF)) + "\n");
    EXPECT_EQ(A::sockin(acc), -1);
    EXPECT_EQ(A::connected(acc), 0);

    // Connect(false) lets the old peer go even when the new accept fails.
    A::attach(acc, mine);
    io = tt::capture([&] { status = acc.Connect(false); });
    EXPECT_EQ(status, ERR_ACCEPT);
    EXPECT_EQ(A::sockin(acc), -1);
    EXPECT_EQ(A::connected(acc), 0);
    tt::RawPeer peer(theirs);
    EXPECT_TRUE(peer.sees_close(1000));
    EXPECT_EQ(::fcntl(mine, F_GETFD), -1);
}

TEST(Connection, RefusalsChangeNothing) {
    struct Case {
        const char* what;
        int setup;
        int connected;
        int (*call)(Tarvex&);
        int status;
        const char* err;
    };
    const Case cases[] = {
        {"Connect(true) before setup", 0, 0, [](Tarvex& t) { return t.Connect(true); }, ERR_NOT_SETUP,
         "Connect(): socket not setup.  No action taken.\n"},
        {"Connect(false) before setup", 0, 0, [](Tarvex& t) { return t.Connect(false); }, ERR_NOT_SETUP,
         "Connect(): socket not setup.  No action taken.\n"},
        {"Connect(host) while set up", 1, 0, [](Tarvex& t) { return t.Connect("127.0.0.1", 1); }, ERR_ALREADY_SETUP,
         "SocketSetup(): socket already setup.\n"},
        {"Connect(host) while connected", 0, 1, [](Tarvex& t) { return t.Connect("127.0.0.1", 1); },
         ERR_ALREADY_CONNECTED, "Connect(): Unable to connect.  Already connected.\n"},
        {"Disconnect before setup", 0, 0, [](Tarvex& t) { return t.Disconnect(); }, ERR_NOT_SETUP,
         "Disconnect(): Not setup.  No action taken.\n"},
        {"Disconnect without connection", 1, 0, [](Tarvex& t) { return t.Disconnect(); }, ERR_NOT_CONNECTED,
         "Disconnect(): There is no connection.  No action taken.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Tarvex t(false);
        A::setup(t) = c.setup;
        A::connected(t) = c.connected;
        int status = -1;
        tt::Captured io = tt::capture([&] { status = c.call(t); });
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(io.err, c.err);
        EXPECT_EQ(io.out, "");
        EXPECT_EQ(A::setup(t), c.setup);
        EXPECT_EQ(A::connected(t), c.connected);
        EXPECT_EQ(A::sockin(t), -1);
        EXPECT_EQ(A::sock(t), -1);
    }
}

TEST(Connection, DisconnectClosesTheDataSocketOnly) {
    auto [mine, theirs] = tt::stream_pair();
    Tarvex t(false);
    A::attach(t, mine);
    A::must_swap(t) = 1;
    tt::Captured io = tt::capture([&] { EXPECT_EQ(t.Disconnect(), 0); });
    EXPECT_EQ(io.err, "");
    EXPECT_EQ(io.out, "");
    EXPECT_EQ(A::connected(t), 0);
    EXPECT_EQ(A::sockin(t), -1);
    EXPECT_EQ(A::setup(t), 1);
    EXPECT_EQ(A::must_swap(t), 1);
    tt::RawPeer peer(theirs);
    EXPECT_TRUE(peer.sees_close(1000));
}

TEST(Connection, DisconnectWithoutDataSocketStillEndsTheConnection) {
    Tarvex t(false);
    A::setup(t) = 1;
    A::connected(t) = 1;
    tt::Captured io = tt::capture([&] { EXPECT_EQ(t.Disconnect(), 0); });
    EXPECT_EQ(io.err, "Disconnect(): sockin was not set .\n");
    EXPECT_EQ(A::connected(t), 0);
    EXPECT_EQ(A::sockin(t), -1);
}

TEST(Connection, FailedCloseOnDisconnectForgetsTheDataSocket) {
    Tarvex t(false);
    A::setup(t) = 1;
    A::connected(t) = 1;
    A::set_sockin(t, closed_descriptor());
    tt::Captured io = tt::capture([&] { EXPECT_EQ(t.Disconnect(), ERR_CLOSE); });
    EXPECT_EQ(io.err, "Disconnect(): failed to close socket: " + std::string(std::strerror(EBADF)) + "\n");
    EXPECT_EQ(A::connected(t), 1);
    EXPECT_EQ(A::sockin(t), -1);

    // The connection can still be ended; nothing is closed a second time.
    io = tt::capture([&] { EXPECT_EQ(t.Disconnect(), 0); });
    EXPECT_EQ(io.err, "Disconnect(): sockin was not set .\n");
    EXPECT_EQ(A::connected(t), 0);
}

}  // namespace
