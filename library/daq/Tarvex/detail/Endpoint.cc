// The listening endpoint, the data connection with its byte-order preamble,
// disconnect and release.
#include "Endpoint.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Tarvex.h"
#include "detail/Log.h"
#include "detail/Preamble.h"
#include "detail/Socket.h"
#include "detail/Writer.h"

namespace tarvex {
namespace detail {

namespace {

// A new data socket, from accept or connect: set up alike, and read from a
// clean stream.
void start_connection(Connection& c, const TransportChoice& choice, int fd) {
    setup_data_socket(fd);
    c.attach(choice.make(fd));
    c.connected = 1;
}

// Ends the data connection of a connecting end whose preamble exchange
// failed: the end returns to the unestablished state instead of holding a
// connection that Disconnect (which needs `setup`) could never close.
void release_connection(Endpoint& e, Connection& c) {
    c.transport().close();
    c.forget();
    c.connected = 0;
    e.setup = 0;
}

// The accepting end's verdict on a peer it accepted: strays outside the
// allow lists are closed at once, counted, and the end waits on.
bool admitted(const Endpoint& e, Switches& s, int fd, const AllowedPeers& peers, const AllowedUids& uids) {
    if (e.sender.sin_family == AF_INET && !peers.admits(e.sender.sin_addr)) {
        char address[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &e.sender.sin_addr, address, sizeof address);
        log_errf(text::kPeerRefused, address);
    } else if (e.sender.sin_family == AF_UNIX && uids.set) {
        uid_t uid = 0;
        if (peer_uid(fd, uid) && uids.admits(uid)) return true;
        log_errf(text::kPeerUidRefused, static_cast<unsigned>(uid));
    } else {
        return true;
    }
    close_socket(fd);
    ++s.refused_peers;
    return false;
}

// The connecting end's verdict on the process that listens on a local
// socket: one of another user could have taken the socket path before the
// real listener.  Its own user and root are trusted, others only when the
// allow list names them.
int trust_listener(int fd, const AllowedUids& uids) {
    uid_t uid = 0;
    const bool known = peer_uid(fd, uid);
    if (known && (uid == ::getuid() || uid == 0 || (uids.set && uids.admits(uid)))) return 0;
    log_errf(text::kListenerUidRefused, static_cast<unsigned>(uid));
    close_socket(fd);
    return ERR_CONNECT;
}

// Receives the 4 preamble bytes into `word` through the connection's
// stream (bytes that follow the preamble stay there for the receivers);
// false when a receive fails or the stream ends first.  An end of stream
// sets no error number of its own, so the number is cleared beforehand: the
// report then cannot show a stale error of an earlier call (such as the
// refused TCP option on a local socket).
bool receive_word(Stream& stream, uint32_t& word, const Deadline& deadline) {
    char* p = reinterpret_cast<char*>(&word);
    size_t have = 0;
    errno = 0;
    while (have < sizeof word) {
        // A signal ends the wait as a failed receive does: a listener that
        // accepts and never sends would otherwise hold the caller for ever.
        const ssize_t n = stream.read(p + have, sizeof word - have, deadline);
        if (n <= 0) return false;
        have += static_cast<size_t>(n);
    }
    return true;
}

int receive_preamble(Endpoint& e, Connection& c, const Deadline& deadline) {
    uint32_t word = 0;
    if (!receive_word(c.stream, word, deadline)) {
        log_system_error(text::kPreambleReceiveFailed);
        release_connection(e, c);
        return ERR_PROTOCOL;
    }
    const int swap = preamble::swap_for(word);
    if (swap < 0) {
        log_errf(text::kPreambleUnrecognized, static_cast<int32_t>(word));
        release_connection(e, c);
        return ERR_BAD_VALUE;
    }
    c.must_swap = swap;
    return 0;
}

}  // namespace

int setup_endpoint(Endpoint& e, Switches& s, int port) {
    if (e.setup != 0) {
        log_err(text::kAlreadySetup);
        return ERR_ALREADY_SETUP;
    }
    bool ok = true;
    const auto bind_address = in_force(SwitchId::BindAddress, s.bind_address, "SocketSetup", ok);
    const auto dir = in_force(SwitchId::SocketDir, s.socket_dir, "SocketSetup", ok);
    const auto mode = in_force(SwitchId::SocketMode, s.socket_mode, "SocketSetup", ok);
    const auto reuse = in_force(SwitchId::ReuseAddress, s.reuse_address, "SocketSetup", ok);
    if (!ok) return ERR_BAD_VALUE;

    in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    e.receiver = ipv4_address(bind_address.set ? bind_address.address : any, port);

    const TransportChoice transport = current_transport();
    const char* in_dir = dir.set ? dir.dir.c_str() : nullptr;
    if (transport.value != nullptr) log_outf(text::kHereWeAre, transport.value, local_path(in_dir, port).c_str());

    const Address address =
        listening_address(transport, port, bind_address.set ? &bind_address.address : nullptr, in_dir);
    e.sock = open_socket(address);
    if (e.sock < 0) return ERR_SOCKET;
    if (reuse.set) {
        if (transport.local)
            remove_stale_socket_file(address);
        else
            reuse_address(e.sock);
    }
    int status = bind_to(e.sock, address);
    // The socket file gets its mode before anyone can connect: listen comes
    // after it.
    if (status == 0 && transport.local)
        status = set_socket_file_mode(e.sock, address, mode.set ? static_cast<int>(mode.mode) : -1);
    if (status == 0) status = listen_on(e.sock);
    if (status != 0) {
        e.sock = -1;
        return status;
    }
    e.lport = port;
    e.setup = 1;
    return 0;
}

int bound_port(const Endpoint& e) {
    if (e.sock < 0) return -1;
    sockaddr_storage bound;
    socklen_t length = sizeof bound;
    if (::getsockname(e.sock, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return -1;
    if (bound.ss_family != AF_INET) return e.lport;  // the local socket: the number in its path
    return ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

int release_endpoint(Endpoint& e, Connection& c, Switches& s) {
    if (e.setup == 0) {
        log_err(text::kReleaseNotSetup);
        return ERR_NOT_SETUP;
    }
    // The release goes on whatever the disconnect says: the endpoint is
    // being given up either way.
    if (c.connected != 0) disconnect(e, c);

    if (e.sock > 0) {
        const int sock = e.sock;
        // The descriptor may be gone even though close failed: never close
        // that number again, it may belong to someone else by then.
        e.sock = -1;
        if (close_socket(sock) != 0) {
            log_system_error(text::kReleaseCloseFailed);
            return ERR_CLOSE;
        }
        log_out(text::kReleaseClosed);
    }

    // The file removal follows the transport in force now, not the one the
    // endpoint was set up with.
    if (current_transport().local) {
        bool ok = true;
        const std::string path = local_path(s, e.lport, "SocketRelease", ok);
        ::unlink(path.c_str());
        std::remove(path.c_str());
    }
    e.setup = 0;
    e.lport = 0;
    return 0;
}

int accept_connection(Endpoint& e, Connection& c, Switches& s, bool how) {
    if (e.setup == 0) {
        log_err(text::kConnectNotSetup);
        return ERR_NOT_SETUP;
    }
    if (!how) {
        // The old peer is let go before waiting for the new one.
        if (c.fd() > 0) c.close();
        c.forget();
        c.connected = 0;
    } else if (c.connected != 0) {
        log_err(text::kAlreadyAccepted);
        return ERR_ALREADY_CONNECTED;
    }

    bool ok = true;
    const auto peers = in_force(SwitchId::AllowedPeers, s.allowed_peers, "Connect", ok);
    const auto uids = in_force(SwitchId::AllowedUids, s.allowed_uids, "Connect", ok);
    if (!ok) return ERR_BAD_VALUE;
    const TransportChoice transport = current_transport();
    int fd;
    do {
        fd = accept_peer(e.sock, e.sender, e.len);
        if (fd < 0) {
            log_system_error(text::kAcceptFailed);
            c.forget();
            c.connected = 0;
            return ERR_ACCEPT;
        }
    } while (!admitted(e, s, fd, peers, uids));
    start_connection(c, transport, fd);

    uint32_t word = preamble::kNative;
    if (e.bigend_mode == Tarvex::BIGEND_MODE) {
        c.must_swap = preamble::kBigendModeSwap;
        word = preamble::kBigend;
    }
    // The preamble goes out while the socket still blocks, so it is never cut
    // short by a full buffer.
    if (!write_all(c.transport(), &word, sizeof word)) {
        log_system_error(text::kPreambleSendFailed);
        return ERR_PROTOCOL;
    }
    if (c.no_delay && !c.transport().make_non_blocking()) log_out(text::kNonBlockingFailed);
    return 0;
}

int connect_to_peer(Endpoint& e, Connection& c, Switches& s, const char* host, int port) {
    if (e.setup != 0) {
        log_err(text::kAlreadySetup);
        return ERR_ALREADY_SETUP;
    }
    if (c.connected != 0) {
        log_err(text::kAlreadyConnected);
        return ERR_ALREADY_CONNECTED;
    }
    // The name is looked up on the local socket too: one that does not
    // resolve fails there as well.
    in_addr addr;
    std::memset(&addr, 0, sizeof addr);
    const char* why = nullptr;
    if (!resolve_ipv4(host, addr, why)) {
        // The words the link has always printed, then the lookup's own reason
        // (the lookup sets no error number, so perror would show a stale one).
        log_errf("%s: %s", text::kHostFailed, why);
        return ERR_HOST;
    }
    e.receiver = ipv4_address(addr, port);

    bool ok = true;
    const auto uids = in_force(SwitchId::AllowedUids, s.allowed_uids, "Connect", ok);
    const auto dir = in_force(SwitchId::SocketDir, s.socket_dir, "Connect", ok);
    const auto wait = in_force(SwitchId::PreambleTimeout, s.preamble_timeout, "Connect", ok);
    if (!ok) return ERR_BAD_VALUE;

    const TransportChoice transport = current_transport();
    const Address address = peer_address(transport, addr, port, dir.set ? dir.dir.c_str() : nullptr);
    const int fd = open_socket(address);
    if (fd < 0) return ERR_SOCKET;
    int status = connect_to(fd, address);
    if (status == 0 && address.local) status = trust_listener(fd, uids);
    if (status != 0) return status;
    start_connection(c, transport, fd);
    status = receive_preamble(e, c, wait.set ? Deadline::after_ms(wait.ms) : Deadline());
    if (status != 0) return status;
    e.setup = 1;
    return 0;
}

int disconnect(Endpoint& e, Connection& c) {
    if (e.setup == 0) {
        log_err(text::kDisconnectNotSetup);
        return ERR_NOT_SETUP;
    }
    if (c.connected == 0) {
        log_err(text::kDisconnectNoConnection);
        return ERR_NOT_CONNECTED;
    }
    if (c.fd() > 0) {
        // Whatever close left behind, this number is no longer ours.
        if (c.close() != 0) {
            log_system_error(text::kDisconnectCloseFailed);
            return ERR_CLOSE;
        }
    } else {
        log_err(text::kDisconnectNoSocket);
        c.forget();
    }
    c.connected = 0;
    return 0;
}

}  // namespace detail
}  // namespace tarvex
