// The listening endpoint, the data connection with its byte-order preamble,
// disconnect and release.
//
// Right after accept the accepting end sends one 4-byte word in its own byte
// order; the connecting end reads it in its own order and learns from it
// whether records on this link must be converted.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Tarvex.h"
#include "detail/Io.h"
#include "detail/Link.h"
#include "detail/Log.h"
#include "detail/Socket.h"

using tarvex::detail::Link;
using tarvex::detail::log_err;
using tarvex::detail::log_errf;
using tarvex::detail::log_out;
using tarvex::detail::log_outf;
using tarvex::detail::log_system_error;
namespace text = tarvex::detail::text;

namespace {

// Preamble words as the accepting end holds them in memory.
constexpr uint32_t kPreambleNative = 0x0a0b0c0d;
constexpr uint32_t kPreambleNativeOpposite = 0x0d0c0b0a;
constexpr uint32_t kPreambleBigend = 0x0c0d0e0f;
constexpr uint32_t kPreambleBigendOpposite = 0x0f0e0d0c;

// Big-endian mode asks for records to travel in big-endian byte order, so
// an end converts exactly when it is itself little-endian.  On a
// little-endian machine that is always: both ends convert.  A big-endian end
// must not, or records between a big-endian and a little-endian end would be
// converted twice and arrive in the wrong order.
constexpr int kBigendModeSwap = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 1 : 0;

// Receives 4 bytes into `word` through the link's stream (bytes that follow
// the preamble stay there for the receivers); false when a receive fails or
// the stream ends first.  An end of stream sets no error number of its own,
// so the number is cleared beforehand: the report then cannot show a stale
// error of an earlier call (such as the refused TCP option on a local socket).
bool receive_word(tarvex::detail::Stream& stream, int fd, uint32_t& word, const tarvex::detail::Deadline& deadline) {
    char* p = reinterpret_cast<char*>(&word);
    size_t have = 0;
    errno = 0;
    while (have < sizeof word) {
        // A signal ends the wait as a failed receive does: a listener that
        // accepts and never sends would otherwise hold the caller for ever.
        ssize_t n = stream.read(fd, p + have, sizeof word - have, deadline);
        if (n <= 0) return false;
        have += static_cast<size_t>(n);
    }
    return true;
}

// The connecting end's verdict on a received preamble word: 0 or 1 for
// must_swap, -1 when the word belongs to no end of this protocol.
int swap_for_preamble(uint32_t word) {
    if (word == kPreambleNative) return 0;
    if (word == kPreambleNativeOpposite) return 1;
    if (word == kPreambleBigend || word == kPreambleBigendOpposite) return kBigendModeSwap;
    return -1;
}

}  // namespace

struct TarvexLinkCore {
    // A new data socket, from accept or connect: set up alike, and read from
    // a clean stream.
    static void start_data_socket(Link& t, int fd) {
        t.stream.reset();
        t.owed = Link::Owed();
        t.mid_record = false;
        t.sockin = fd;
        tarvex::detail::setup_data_socket(fd);
    }

    // Ends the data connection: the socket and everything read ahead from it,
    // or kept of it, go.
    static void forget_data_socket(Link& t) {
        t.stream.reset();
        t.owed = Link::Owed();
        t.mid_record = false;
        t.sockin = -1;
        t.connected = 0;
    }

    // Ends the data connection of a connecting end whose preamble exchange
    // failed: the end returns to the unestablished state instead of holding a
    // connection that Disconnect (which needs `setup`) could never close.
    static void release_data_socket(Link& t) {
        ::close(t.sockin);
        forget_data_socket(t);
        t.setup = 0;
    }

    // The accepting end's verdict on a peer it accepted: strays outside the
    // allow lists are closed at once, counted, and the end waits on.
    static bool admitted(Link& t, int fd, const tarvex::detail::AllowedPeers& peers,
                         const tarvex::detail::AllowedUids& uids) {
        if (t.sender.sin_family == AF_INET && !peers.admits(t.sender.sin_addr)) {
            char address[INET_ADDRSTRLEN];
            ::inet_ntop(AF_INET, &t.sender.sin_addr, address, sizeof address);
            log_errf(text::kPeerRefused, address);
        } else if (t.sender.sin_family == AF_UNIX && uids.set) {
            uid_t uid = 0;
            if (tarvex::detail::peer_uid(fd, uid) && uids.admits(uid)) return true;
            log_errf(text::kPeerUidRefused, static_cast<unsigned>(uid));
        } else {
            return true;
        }
        ::close(fd);
        ++t.admission.refused_peers;
        return false;
    }

    // The connecting end's verdict on the process that listens on a local
    // socket: one of another user could have taken the socket path before
    // the real listener.  Its own user and root are trusted, others only
    // when the allow list names them.
    static int trust_listener(int fd, const tarvex::detail::AllowedUids& uids) {
        uid_t uid = 0;
        const bool known = tarvex::detail::peer_uid(fd, uid);
        if (known && (uid == ::getuid() || uid == 0 || (uids.set && uids.admits(uid)))) return 0;
        log_errf(text::kListenerUidRefused, static_cast<unsigned>(uid));
        ::close(fd);
        return ERR_CONNECT;
    }

    static int receive_preamble(Link& t, const tarvex::detail::Deadline& deadline) {
        uint32_t word = 0;
        if (!receive_word(t.stream, t.sockin, word, deadline)) {
            log_system_error(text::kPreambleReceiveFailed);
            release_data_socket(t);
            return ERR_PROTOCOL;
        }
        const int swap = swap_for_preamble(word);
        if (swap < 0) {
            log_errf(text::kPreambleUnrecognized, static_cast<int32_t>(word));
            release_data_socket(t);
            return ERR_BAD_VALUE;
        }
        t.must_swap = swap;
        return 0;
    }
};

int Link::SocketSetup(int port) {
    if (setup != 0) {
        log_err(text::kAlreadySetup);
        return ERR_ALREADY_SETUP;
    }
    bool ok = true;
    const auto bind_address = in_force(tarvex::detail::kBindAddress, admission.bind_address, "SocketSetup", ok);
    const auto dir = in_force(tarvex::detail::kSocketDir, admission.socket_dir, "SocketSetup", ok);
    const auto mode = in_force(tarvex::detail::kSocketMode, admission.socket_mode, "SocketSetup", ok);
    const auto reuse = in_force(tarvex::detail::kReuseAddress, admission.reuse_address, "SocketSetup", ok);
    if (!ok) return ERR_BAD_VALUE;

    in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    receiver = tarvex::detail::ipv4_address(bind_address.set ? bind_address.address : any, port);

    const tarvex::detail::Transport transport = tarvex::detail::current_transport();
    char path[108];
    tarvex::detail::local_path(dir.set ? dir.dir.c_str() : nullptr, port, path, sizeof path);
    if (transport.value != nullptr) log_outf(text::kHereWeAre, transport.value, path);

    const tarvex::detail::Address address = tarvex::detail::listening_address(
        transport, port, bind_address.set ? &bind_address.address : nullptr, dir.set ? dir.dir.c_str() : nullptr);
    sock = tarvex::detail::open_socket(address);
    if (sock < 0) return ERR_SOCKET;
    if (reuse.set) {
        if (transport.local)
            tarvex::detail::remove_stale_socket_file(address);
        else
            tarvex::detail::reuse_address(sock);
    }
    int status = tarvex::detail::bind_to(sock, address);
    // The socket file gets its mode before anyone can connect: listen comes
    // after it.
    if (status == 0 && transport.local)
        status = tarvex::detail::set_socket_file_mode(sock, address, mode.set ? static_cast<int>(mode.mode) : -1);
    if (status == 0) status = tarvex::detail::listen_on(sock);
    if (status != 0) {
        sock = -1;
        return status;
    }
    lport = port;
    setup = 1;
    return 0;
}

int Link::get_bound_port() const {
    if (sock < 0) return -1;
    sockaddr_storage bound;
    socklen_t length = sizeof bound;
    if (::getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return -1;
    if (bound.ss_family != AF_INET) return lport;  // the local socket: the number in its path
    return ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

int Link::SocketRelease() {
    if (setup == 0) {
        log_err(text::kReleaseNotSetup);
        return ERR_NOT_SETUP;
    }
    // The release goes on whatever the disconnect says: the endpoint is
    // being given up either way.
    if (connected != 0) Disconnect();

    if (sock > 0) {
        if (::close(sock) != 0) {
            log_system_error(text::kReleaseCloseFailed);
            // The descriptor may be gone even though close failed: never
            // close that number again, it may belong to someone else by then.
            sock = -1;
            return ERR_CLOSE;
        }
        log_out(text::kReleaseClosed);
        sock = -1;
    }

    // The file removal follows the transport in force now, not the one the
    // endpoint was set up with.
    if (tarvex::detail::current_transport().local) {
        char path[108];
        bool ok = true;
        const auto dir = in_force(tarvex::detail::kSocketDir, admission.socket_dir, "SocketRelease", ok);
        tarvex::detail::local_path(dir.set ? dir.dir.c_str() : nullptr, lport, path, sizeof path);
        ::unlink(path);
        std::remove(path);
    }
    setup = 0;
    lport = 0;
    return 0;
}

int Link::Connect(bool how) {
    if (setup == 0) {
        log_err(text::kConnectNotSetup);
        return ERR_NOT_SETUP;
    }
    if (!how) {
        // The old peer is let go before waiting for the new one.
        if (sockin > 0) close_data_socket();
        TarvexLinkCore::forget_data_socket(*this);
    } else if (connected != 0) {
        log_err(text::kAlreadyAccepted);
        return ERR_ALREADY_CONNECTED;
    }

    // accept writes back the peer's real address length; a peer on a local
    // socket has a longer address than `sender` holds.  Offering the full
    // size anew each time keeps a length left by an earlier peer from letting
    // accept write past `sender`.
    bool ok = true;
    const auto peers = in_force(tarvex::detail::kAllowedPeers, admission.allowed_peers, "Connect", ok);
    const auto uids = in_force(tarvex::detail::kAllowedUids, admission.allowed_uids, "Connect", ok);
    if (!ok) return ERR_BAD_VALUE;
    int fd;
    do {
        len = sizeof sender;
        fd = ::accept(sock, reinterpret_cast<sockaddr*>(&sender), &len);
        if (fd < 0) {
            log_system_error(text::kAcceptFailed);
            TarvexLinkCore::forget_data_socket(*this);
            return ERR_ACCEPT;
        }
    } while (!TarvexLinkCore::admitted(*this, fd, peers, uids));
    TarvexLinkCore::start_data_socket(*this, fd);

    connected = 1;
    uint32_t word = kPreambleNative;
    if (bigend_mode == Tarvex::BIGEND_MODE) {
        must_swap = kBigendModeSwap;
        word = kPreambleBigend;
    }
    // The preamble goes out while the socket still blocks, so it is never cut
    // short by a full buffer.
    if (!tarvex::detail::write_all(sockin, &word, sizeof word)) {
        log_system_error(text::kPreambleSendFailed);
        return ERR_PROTOCOL;
    }
    if (no_delay && ::fcntl(sockin, F_SETFL, O_NONBLOCK) != 0) log_out(text::kNonBlockingFailed);
    return 0;
}

int Link::Connect(const char* host, int port) {
    if (setup != 0) {
        log_err(text::kAlreadySetup);
        return ERR_ALREADY_SETUP;
    }
    if (connected != 0) {
        log_err(text::kAlreadyConnected);
        return ERR_ALREADY_CONNECTED;
    }
    // The name is looked up on the local socket too: one that does not
    // resolve fails there as well.
    in_addr addr;
    std::memset(&addr, 0, sizeof addr);
    const char* why = nullptr;
    if (!tarvex::detail::resolve_ipv4(host, addr, why)) {
        // The words the link has always printed, then the lookup's own reason
        // (the lookup sets no error number, so perror would show a stale one).
        log_errf("%s: %s", text::kHostFailed, why);
        return ERR_HOST;
    }
    receiver = tarvex::detail::ipv4_address(addr, port);

    bool ok = true;
    const auto uids = in_force(tarvex::detail::kAllowedUids, admission.allowed_uids, "Connect", ok);
    const auto dir = in_force(tarvex::detail::kSocketDir, admission.socket_dir, "Connect", ok);
    const auto wait = in_force(tarvex::detail::kPreambleTimeout, admission.preamble_timeout, "Connect", ok);
    if (!ok) return ERR_BAD_VALUE;

    const tarvex::detail::Address address = tarvex::detail::peer_address(tarvex::detail::current_transport(), addr,
                                                                         port, dir.set ? dir.dir.c_str() : nullptr);
    const int fd = tarvex::detail::open_socket(address);
    if (fd < 0) {
        sockin = -1;
        return ERR_SOCKET;
    }
    int status = tarvex::detail::connect_to(fd, address);
    if (status == 0 && address.local) status = TarvexLinkCore::trust_listener(fd, uids);
    if (status != 0) {
        sockin = -1;
        return status;
    }
    TarvexLinkCore::start_data_socket(*this, fd);
    connected = 1;
    status = TarvexLinkCore::receive_preamble(
        *this, wait.set ? tarvex::detail::Deadline::after_ms(wait.ms) : tarvex::detail::Deadline());
    if (status != 0) return status;
    setup = 1;
    return 0;
}

int Link::Disconnect() {
    if (setup == 0) {
        log_err(text::kDisconnectNotSetup);
        return ERR_NOT_SETUP;
    }
    if (connected == 0) {
        log_err(text::kDisconnectNoConnection);
        return ERR_NOT_CONNECTED;
    }
    if (sockin > 0) {
        if (close_data_socket() != 0) {
            log_system_error(text::kDisconnectCloseFailed);
            // Whatever close left behind, this number is no longer ours.
            sockin = -1;
            return ERR_CLOSE;
        }
    } else {
        log_err(text::kDisconnectNoSocket);
    }
    TarvexLinkCore::forget_data_socket(*this);
    return 0;
}

// Closing a socket that still holds bytes the peer sent, or that the peer
// writes to afterwards, makes the system reset the connection instead of
// ending it, and a reset throws away whatever the peer has not read yet:
// the last records sent.  A receiver given a ring buffer answers every
// record, so after records sent without asking for an answer, answers may
// still come: the end then first ends its writing direction (the peer reads
// every record, then the end of the stream), and takes and drops what the
// peer still sends until the peer ends its side too, or until every answer
// the peer owes is in (nothing more will come then), for at most the link's
// retry budget of 100 ms waits.  With nothing owed (nothing sent, only
// acknowledged records or images, every answer in, or the peer gone) it
// closes at once: the peer sends nothing more, and the records go out ahead
// of the end of the stream.
int Link::close_data_socket() {
    if (owed.still_owed() > 0 && !stream.peer_closed()) {
        tarvex::detail::shutdown_write(sockin);
        drain_peer(tarvex::detail::Deadline::after_ms(static_cast<int>(std::min(100LL * retrs, 0x7fffffffLL))));
    }
    return ::close(sockin);
}

void Link::drain_peer(const tarvex::detail::Deadline& deadline) {
    // While the peer has sent nothing but answers, they are counted; bytes
    // of anything else (or of a receive's unfinished record) end the count,
    // and then only the end of the peer's stream ends the wait.
    bool only_answers = !mid_record && !stream.holds_kept();
    for (;;) {
        if (only_answers) take_unasked_answers(false);
        const size_t left = stream.buffered_for(sockin);
        if (only_answers && owed.peer_answers && owed.still_owed() == 0 && left == 0) return;
        if (left >= sizeof(uint32_t) || (left > 0 && (!only_answers || owed.still_owed() == 0))) {
            only_answers = false;
            stream.drop(left);
        }
        if (stream.peer_closed()) return;
        if (tarvex::detail::wait_until(sockin, false, deadline) != tarvex::detail::Readiness::Ready) return;
        // A read that fails (a reset, say) ends it: nothing more will come.
        if (!stream.fill_nowait(sockin) && errno != EAGAIN && errno != EWOULDBLOCK) return;
    }
}

int tarvex_socket_path(int port, char* buf, size_t size) {
    bool ok = true;
    const auto dir = in_force(tarvex::detail::kSocketDir, tarvex::detail::Setting<tarvex::detail::SocketDir>(),
                              "tarvex_socket_path", ok);
    char path[108];
    tarvex::detail::local_path(dir.set ? dir.dir.c_str() : nullptr, port, path, sizeof path);
    return std::snprintf(buf, size, "%s", path);
}
