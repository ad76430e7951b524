// Fuzzes the connecting end's preamble: Connect(host, port) against a
// listener that writes the fuzz bytes and closes, over loopback TCP or the
// local stream socket.  The outcome is checked against the preamble table:
// a recognised word sets the byte-order decision and establishes the end, a
// short stream or any other word fails and leaves neither a connection nor
// an open descriptor behind.
//
// Input: one selector byte, then the bytes the accepting side sends.
//   bit 0  local stream socket instead of TCP
//   bit 1  must_swap is 1 before the call (a failure must leave it so)
//   bit 2  the bytes go out one write at a time
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "FuzzSupport.h"
#include "Ports.h"
#include "detail/Preamble.h"

namespace {

// Both listeners live for the whole run: one TCP port on loopback and the
// local socket path the link derives from the same port number.
struct Listeners {
    int port = 0;
    int tcp = -1;
    int local = -1;
    std::string path;

    Listeners() {
        tcp = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (tcp < 0 || ::bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(tcp, 16) != 0 ||
            ::getsockname(tcp, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            fz::fail("TCP listener", __FILE__, __LINE__);
        port = ntohs(a.sin_port);

        // The port is ours while the TCP listener holds it, so its local
        // socket path is free for us too; a file left by an earlier run goes.
        path = tt::socket_path(port);
        ::unlink(path.c_str());
        local = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un u{};
        u.sun_family = AF_UNIX;
        std::strncpy(u.sun_path, path.c_str(), sizeof u.sun_path - 1);
        if (local < 0 || ::bind(local, reinterpret_cast<sockaddr*>(&u), sizeof u) != 0 || ::listen(local, 16) != 0)
            fz::fail("local listener", __FILE__, __LINE__);
        std::atexit([] { ::unlink(instance().path.c_str()); });
    }

    static Listeners& instance() {
        static Listeners l;
        return l;
    }
};

// libFuzzer's unit timer is SIGALRM.  A signal that interrupts the link's
// preamble receive fails the connect (a signal ends a wait, by design), so
// the link's thread keeps it blocked and the listener thread takes it.
sigset_t timer_signal() {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGALRM);
    return s;
}

// Accepts one peer, sends it the bytes and closes.
void serve(int listener, const uint8_t* data, size_t n, bool bytewise) {
    const sigset_t alarm = timer_signal();
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    // A link that never connects must not hold the harness for ever.
    pollfd p{listener, POLLIN, 0};
    int ready;
    do ready = ::poll(&p, 1, 10000);
    while (ready < 0 && errno == EINTR);
    if (ready != 1) return;
    int fd;
    do fd = ::accept(listener, nullptr, nullptr);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    size_t done = 0;
    while (done < n) {
        const size_t chunk = bytewise ? 1 : n - done;
        ssize_t w = ::send(fd, data + done, chunk, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;  // the link read its 4 bytes and went
        done += static_cast<size_t>(w);
    }
    ::close(fd);
}

// The byte-order decision the table gives for a word, or -1 for a word that
// is no preamble.  Big-endian mode converts on this (little-endian) machine
// whichever order the word came in.
int expected_swap(uint32_t word) {
    using namespace tarvex::preamble;
    switch (word) {
        case kNative: return 0;
        case kNativeOpposite:
        case kBigend:
        case kBigendOpposite: return 1;
        default: return -1;
    }
}

bool fd_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// The descriptor number the next socket will get.
int lowest_free_fd() {
    int fd = ::fcntl(0, F_DUPFD, 0);
    if (fd >= 0) ::close(fd);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fz::Input in;
    if (!fz::Input::split(data, size, in) || in.size > 4096) return 0;
    Listeners& l = Listeners::instance();
    const bool local = in.flag(0);
    if (local)
        ::setenv("KBR7_TARVEX_SOCK_TYPE", "UNIX", 1);
    else
        ::unsetenv("KBR7_TARVEX_SOCK_TYPE");

    Tarvex t(false);
    const int swap_before = in.flag(1) ? 1 : 0;
    TarvexTestAccess::must_swap(t) = swap_before;

    // The link's data socket is created before the listener accepts, so it
    // gets this number; it must be closed again once the end is released.
    const int data_fd = lowest_free_fd();
    const sigset_t alarm = timer_signal();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &alarm, &old);
    std::thread peer(serve, local ? l.local : l.tcp, in.data, in.size, in.flag(2));
    const int st = t.Connect("127.0.0.1", l.port);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    if (in.size < 4) {
        FZ_CHECK(st == ERR_PROTOCOL);
    } else {
        uint32_t word;
        std::memcpy(&word, in.data, sizeof word);
        const int swap = expected_swap(word);
        FZ_CHECK(st == (swap < 0 ? ERR_BAD_VALUE : 0));
        if (swap >= 0) FZ_CHECK(TarvexTestAccess::must_swap(t) == swap);
    }

    if (st == 0) {
        FZ_CHECK(TarvexTestAccess::setup(t) == 1 && TarvexTestAccess::connected(t) == 1);
        FZ_CHECK(t.SocketRelease() == 0);
    } else {
        // A failed exchange returns the end to where it started: no
        // connection, no descriptor, the byte-order decision untouched.
        FZ_CHECK(TarvexTestAccess::must_swap(t) == swap_before);
        FZ_CHECK(TarvexTestAccess::setup(t) == 0 && TarvexTestAccess::connected(t) == 0);
        FZ_CHECK(TarvexTestAccess::sockin(t) == -1);
    }
    // Only now that the link has let go of the connection can the listener
    // finish: the bytes beyond the preamble are never read, and a listener
    // writing them one at a time would fill the socket and wait for ever.
    peer.join();
    FZ_CHECK(!fd_open(data_fd));
    return 0;
}
