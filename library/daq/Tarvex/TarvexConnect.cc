// The listening endpoint, the data connection with its byte-order preamble,
// disconnect and release.
//
// Right after accept the accepting end sends one 4-byte word in its own byte
// order; the connecting end reads it in its own order and learns from it
// whether records on this link must be converted.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Tarvex.h"
#include "detail/Io.h"

using tarvex::detail::error_line;
using tarvex::detail::out_line;
using tarvex::detail::report_system_error;

namespace {

const char kSockTypeVariable[] = "KBR7_TARVEX_SOCK_TYPE";

// Preamble words as the accepting end holds them in memory.
constexpr uint32_t kPreambleNative = 0x0a0b0c0d;
constexpr uint32_t kPreambleNativeOpposite = 0x0d0c0b0a;
constexpr uint32_t kPreambleBigend = 0x0c0d0e0f;
constexpr uint32_t kPreambleBigendOpposite = 0x0f0e0d0c;

constexpr int kListenBacklog = 5;

// Big-endian mode asks for records to travel in big-endian byte order, so
// an end converts exactly when it is itself little-endian.  On a
// little-endian machine that is always: both ends convert.  A big-endian end
// must not, or records between a big-endian and a little-endian end would be
// converted twice and arrive in the wrong order.
constexpr int kBigendModeSwap = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 1 : 0;

// The transport in force for one call.  The variable is read afresh by every
// call that needs it, so one process can switch transports between links.
struct Transport {
    const char* value;  // the variable's value, null when it is not set
    bool local;         // local stream socket instead of TCP
};

Transport current_transport() {
    const char* v = std::getenv(kSockTypeVariable);
    return {v, v != nullptr && std::strcmp(v, "UNIX") == 0};
}

// The local socket address that stands for `port`: /tmp/<port>.tcp, the rest
// of the path field zero.  Both ends and the release derive it the same way.
sockaddr_un local_address(int port) {
    sockaddr_un a;
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "/tmp/%d.tcp", port);
    return a;
}

sockaddr_in ipv4_address(in_addr addr, int port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr = addr;
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// Receives 4 bytes into `word` through the link's stream (bytes that follow
// the preamble stay there for the receivers); false when a receive fails or
// the stream ends first.  An end of stream sets no error number of its own,
// so the number is cleared beforehand: the report then cannot show a stale
// error of an earlier call (such as the refused TCP option on a local socket).
bool receive_word(tarvex::detail::Stream& stream, int fd, uint32_t& word) {
    char* p = reinterpret_cast<char*>(&word);
    size_t have = 0;
    errno = 0;
    while (have < sizeof word) {
        ssize_t n = stream.read(fd, p + have, sizeof word - have);
        // The receive has no time limit; a signal that interrupts it is no
        // failure of the peer, so the preamble is awaited further.
        if (n < 0 && errno == EINTR) {
            errno = 0;
            continue;
        }
        if (n <= 0) return false;
        have += static_cast<size_t>(n);
    }
    return true;
}

// Small records go out at once on both ends.  A local stream socket refuses
// the option; that is reported and otherwise harmless.
void disable_segment_delay(int fd) {
    int one = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        report_system_error("Connect(2): TCP_NODELAY failed");
}

// The connecting end's verdict on a received preamble word: 0 or 1 for
// must_swap, -1 when the word belongs to no end of this protocol.
int swap_for_preamble(uint32_t word) {
    if (word == kPreambleNative) return 0;
    if (word == kPreambleNativeOpposite) return 1;
    if (word == kPreambleBigend || word == kPreambleBigendOpposite) return kBigendModeSwap;
    return -1;
}

// Looks up the IPv4 address of `host` through getaddrinfo (thread-safe,
// unlike the older lookup).  False after a failure, with the lookup's reason
// in `why`.  A missing host name is a name that does not resolve, not a crash.
bool resolve_ipv4(const char* host, in_addr& addr, const char*& why) {
    if (host == nullptr) {
        why = ::gai_strerror(EAI_NONAME);
        return false;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc != 0 ? rc : EAI_NONAME);
        return false;
    }
    addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

// The failed lookup's line: the words the link has always printed, then the
// lookup's own reason (the lookup sets no error number, so perror would show
// a stale one).
void report_lookup_failure(const char* why) {
    char line[256];
    std::snprintf(line, sizeof line, "Connect(): gethostbyname failed, socket released: %s", why);
    error_line(line);
}

// A new stream socket, or a negative number after the failure has been
// reported (both ends report it in the same words).
int new_stream_socket(int family, int protocol) {
    const int s = ::socket(family, SOCK_STREAM, protocol);
    if (s < 0) report_system_error("SocketSetup(): socket creation failed");
    return s;
}

}  // namespace

struct TarvexLinkCore {
    // Closes the listening socket after a failed bind or listen.
    static void drop_listening_socket(Tarvex& t) {
        ::close(t.sock);
        t.sock = -1;
    }

    static int bind_local(Tarvex& t, const sockaddr_un& path) {
        t.sock = new_stream_socket(AF_UNIX, 0);
        if (t.sock < 0) return ERR_SOCKET;
        out_line("UNIX socket will be used");
        std::fflush(nullptr);
        if (::bind(t.sock, reinterpret_cast<const sockaddr*>(&path), sizeof path) != 0) {
            std::printf("Here  bind failed, socket released PF_UNIX %d\n", errno);
            drop_listening_socket(t);
            return ERR_BIND;
        }
        return 0;
    }

    static int bind_tcp(Tarvex& t) {
        t.sock = new_stream_socket(AF_INET, IPPROTO_TCP);
        if (t.sock < 0) return ERR_SOCKET;
        if (::bind(t.sock, reinterpret_cast<const sockaddr*>(&t.receiver), sizeof t.receiver) != 0) {
            std::printf("Here  bind failed, socket released PF_INET %d\n", errno);
            drop_listening_socket(t);
            return ERR_BIND;
        }
        return 0;
    }

    // Bytes read ahead from the last data socket, and the pattern bytes a
    // receiver kept, belong to that stream alone; a new stream must not
    // start with them.
    static void forget_stream(Tarvex& t) { t.stream->reset(); }

    // Ends the data connection of a connecting end whose preamble exchange
    // failed: the end returns to the unestablished state instead of holding a
    // connection that Disconnect (which needs `setup`) could never close.
    static void release_data_socket(Tarvex& t) {
        forget_stream(t);
        ::close(t.sockin);
        t.sockin = -1;
        t.connected = 0;
        t.setup = 0;
    }

    static int open_local_data_socket(Tarvex& t, int port) {
        t.sockin = new_stream_socket(AF_UNIX, 0);
        if (t.sockin < 0) return ERR_SOCKET;
        out_line("UNIX socket will be used");
        std::fflush(nullptr);
        const sockaddr_un path = local_address(port);
        if (::connect(t.sockin, reinterpret_cast<const sockaddr*>(&path), sizeof path) != 0) {
            report_system_error("Connect(1): connect failed, socket released");
            ::close(t.sockin);
            t.sockin = -1;
            return ERR_CONNECT;
        }
        return 0;
    }

    static int open_tcp_data_socket(Tarvex& t) {
        t.sockin = new_stream_socket(AF_INET, IPPROTO_TCP);
        if (t.sockin < 0) return ERR_SOCKET;
        if (::connect(t.sockin, reinterpret_cast<const sockaddr*>(&t.receiver), sizeof t.receiver) != 0) {
            report_system_error("Connect(2): connect failed, socket released");
            ::close(t.sockin);
            t.sockin = -1;
            return ERR_CONNECT;
        }
        return 0;
    }

    static int receive_preamble(Tarvex& t) {
        uint32_t word = 0;
        if (!receive_word(*t.stream, t.sockin, word)) {
            report_system_error("Connect(): failed to receive preamble");
            release_data_socket(t);
            return ERR_PROTOCOL;
        }
        const int swap = swap_for_preamble(word);
        if (swap < 0) {
            char line[96];
            std::snprintf(line, sizeof line, "Connect(): Unrecognized byte pattern in preamble.%d",
                          static_cast<int32_t>(word));
            error_line(line);
            release_data_socket(t);
            return ERR_BAD_VALUE;
        }
        t.must_swap = swap;
        return 0;
    }
};

int Tarvex::SocketSetup(int port) {
    if (setup != 0) {
        error_line("SocketSetup(): socket already setup.");
        return ERR_ALREADY_SETUP;
    }
    in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    receiver = ipv4_address(any, port);
    const sockaddr_un path = local_address(port);

    const Transport transport = current_transport();
    if (transport.value != nullptr) std::printf("Here we are: %s  file: %s\n", transport.value, path.sun_path);

    int status = transport.local ? TarvexLinkCore::bind_local(*this, path) : TarvexLinkCore::bind_tcp(*this);
    if (status != 0) return status;

    if (::listen(sock, kListenBacklog) != 0) {
        report_system_error("SocketSetup(): listen failed, socket released");
        TarvexLinkCore::drop_listening_socket(*this);
        return ERR_LISTEN;
    }
    lport = port;
    setup = 1;
    return 0;
}

int Tarvex::get_bound_port() const {
    if (sock < 0) return -1;
    sockaddr_storage bound;
    socklen_t length = sizeof bound;
    if (::getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return -1;
    if (bound.ss_family != AF_INET) return lport;  // the local socket: the number in its path
    return ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

int Tarvex::SocketRelease() {
    if (setup == 0) {
        error_line("SocketRelease(): socket not setup. No ation taken.");
        return ERR_NOT_SETUP;
    }
    // The release goes on whatever the disconnect says: the endpoint is
    // being given up either way.
    if (connected != 0) Disconnect();

    if (sock > 0) {
        if (::close(sock) != 0) {
            report_system_error("Socketrelease(): unable to close socket");
            // The descriptor may be gone even though close failed: never
            // close that number again, it may belong to someone else by then.
            sock = -1;
            return ERR_CLOSE;
        }
        std::printf("SocketRelease() socket closed\n");
        sock = -1;
    }

    // The file removal follows the transport in force now, not the one the
    // endpoint was set up with.
    if (current_transport().local) {
        const sockaddr_un path = local_address(lport);
        ::unlink(path.sun_path);
        std::remove(path.sun_path);
    }
    setup = 0;
    lport = 0;
    return 0;
}

int Tarvex::Connect(bool how) {
    if (setup == 0) {
        error_line("Connect(): socket not setup.  No action taken.");
        return ERR_NOT_SETUP;
    }
    if (!how) {
        // The old peer is let go before waiting for the new one.
        if (sockin > 0) ::close(sockin);
        sockin = -1;
        connected = 0;
    } else if (connected != 0) {
        error_line("Conenct(): Alrady accepted a connection. No action taken.");
        return ERR_ALREADY_CONNECTED;
    }

    // accept writes back the peer's real address length; a peer on a local
    // socket has a longer address than `sender` holds.  Offering the full
    // size anew each time keeps a length left by an earlier peer from letting
    // accept write past `sender`.
    len = sizeof sender;
    TarvexLinkCore::forget_stream(*this);
    sockin = ::accept(sock, reinterpret_cast<sockaddr*>(&sender), &len);
    if (sockin < 0) {
        report_system_error("Connect(): accept failed");
        sockin = -1;
        return ERR_ACCEPT;
    }
    disable_segment_delay(sockin);

    connected = 1;
    uint32_t word = kPreambleNative;
    if (bigend_mode == BIGEND_MODE) {
        must_swap = kBigendModeSwap;
        word = kPreambleBigend;
    }
    // The preamble goes out while the socket still blocks, so it is never cut
    // short by a full buffer.
    if (!tarvex::detail::write_all(sockin, &word, sizeof word)) {
        report_system_error("Connect(): send failed");
        return ERR_PROTOCOL;
    }
    if (no_delay && ::fcntl(sockin, F_SETFL, O_NONBLOCK) != 0) out_line("Failed to set sock in NON_BLOCKING mode");
    return 0;
}

int Tarvex::Connect(const char* host, int port) {
    if (setup != 0) {
        error_line("SocketSetup(): socket already setup.");
        return ERR_ALREADY_SETUP;
    }
    if (connected != 0) {
        error_line("Connect(): Unable to connect.  Already connected.");
        return ERR_ALREADY_CONNECTED;
    }
    // The name is looked up on the local socket too: one that does not
    // resolve fails there as well.
    in_addr addr;
    std::memset(&addr, 0, sizeof addr);
    const char* why = nullptr;
    if (!resolve_ipv4(host, addr, why)) {
        report_lookup_failure(why);
        return ERR_HOST;
    }
    receiver = ipv4_address(addr, port);

    TarvexLinkCore::forget_stream(*this);
    int status = current_transport().local ? TarvexLinkCore::open_local_data_socket(*this, port)
                                           : TarvexLinkCore::open_tcp_data_socket(*this);
    if (status != 0) return status;

    connected = 1;
    disable_segment_delay(sockin);
    status = TarvexLinkCore::receive_preamble(*this);
    if (status != 0) return status;
    setup = 1;
    return 0;
}

int Tarvex::Disconnect() {
    if (setup == 0) {
        error_line("Disconnect(): Not setup.  No action taken.");
        return ERR_NOT_SETUP;
    }
    if (connected == 0) {
        error_line("Disconnect(): There is no connection.  No action taken.");
        return ERR_NOT_CONNECTED;
    }
    if (sockin > 0) {
        if (::close(sockin) != 0) {
            report_system_error("Disconnect(): failed to close socket");
            // Whatever close left behind, this number is no longer ours.
            sockin = -1;
            return ERR_CLOSE;
        }
    } else {
        error_line("Disconnect(): sockin was not set .");
    }
    connected = 0;
    sockin = -1;
    TarvexLinkCore::forget_stream(*this);
    return 0;
}
