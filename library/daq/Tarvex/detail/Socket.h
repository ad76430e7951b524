// Making and ending sockets: the table of transports, the addresses of both
// socket families (built in one place, the local socket path included), the
// listening socket, accept, connect, close, and the one setup every data
// socket gets.  The bytes that travel on a data socket are Io's business.
// Not installed.
#ifndef TARVEX_DETAIL_SOCKET_H
#define TARVEX_DETAIL_SOCKET_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

#include "detail/Switches.h"
#include "detail/Transport.h"

namespace tarvex {
namespace detail {

// The transport in force for one call, from the variable
// "KBR7_TARVEX_SOCK_TYPE", read afresh by every call that needs it so that
// one process can switch transports between links: a row of the table of
// transports (Socket.cc).
struct TransportChoice {
    const char* value;  // the variable's value, null when it is not set
    bool local;         // the connection is made over the local stream socket
    // The transport of a data socket once it is connected.
    std::unique_ptr<Transport> (*make)(int fd);
};
TransportChoice current_transport();

// The local socket path that stands for `port`: "<dir>/<port>.tcp", in
// "/tmp" when `dir` is null, or in the directory the switches put in force
// (KBR7_TARVEX_SOCK_DIR; `ok` turns false when it does not parse).
std::string local_path(const char* dir, int port);
std::string local_path(const Switches& switches, int port, const char* operation, bool& ok);

// An address of either transport, as bind and connect take it.
struct Address {
    bool local = false;
    sockaddr_storage storage{};
    socklen_t length = 0;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    // The local socket path, or "" for TCP.
    const char* path() const;
};

// What a listening end binds: `interface` (every one when null) at `port`
// (its low 16 bits), or the local socket path of `port` in `dir`.
Address listening_address(const TransportChoice& t, int port, const in_addr* interface, const char* dir);
// What a connecting end connects to: `host` at `port`, or the local socket
// path of `port` in `dir` (the host is looked up either way; see Connect).
Address peer_address(const TransportChoice& t, in_addr host, int port, const char* dir);
// The IPv4 form of a TCP address at `port`: the `receiver` field of a link.
sockaddr_in ipv4_address(in_addr addr, int port);

// Looks up the IPv4 address of `host` (thread-safe).  False after a
// failure, with the lookup's reason in `why`.
bool resolve_ipv4(const char* host, in_addr& addr, const char*& why);

// A new stream socket of the address's transport, or -1 after the failure
// has been reported.
int open_socket(const Address& a);
// Binds; on failure the socket is closed, the failure reported and
// ERR_BIND returned.
int bind_to(int fd, const Address& a);
// Listens; on failure the socket is closed, the failure reported and
// ERR_LISTEN returned.
int listen_on(int fd);

// Lets a TCP listener bind a port that an earlier run's connections still
// hold in their closing wait.
void reuse_address(int fd);
// Removes the socket file at the local address when it is a socket of this
// user that nobody listens on: what a crashed listener leaves behind.
void remove_stale_socket_file(const Address& a);
// Gives a bound local socket's file `mode` (0777 bits), or, with a negative
// mode, takes the write permission for everybody away, whatever the umask
// gave: no stranger may connect and inject records.  On failure the socket
// is closed, the failure reported and ERR_BIND returned.
int set_socket_file_mode(int fd, const Address& a, int mode);

// The user of the process at the other end of a local socket.
bool peer_uid(int fd, uid_t& uid);
// Connects; on failure the socket is closed, the failure reported and
// ERR_CONNECT returned.
int connect_to(int fd, const Address& a);

// Waits for the next peer on listening socket `fd` and fills `peer` with
// its address; -1 (errno set) when accept fails.  `length` is offered whole
// every time: the length a local-socket peer left (longer than `peer`)
// would otherwise let the next accept write past it.
int accept_peer(int fd, sockaddr_in& peer, socklen_t& length);
// Closes a socket this module opened; the result of close(2).
int close_socket(int fd);

// What every data socket gets, after accept and after connect: small
// records go out at once.  A local stream socket refuses the option; that is
// reported and otherwise harmless.
void setup_data_socket(int fd);

}  // namespace detail
}  // namespace tarvex

#endif
