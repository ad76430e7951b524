// The end of a link as the network sees it: the listening socket and its
// port, the established state, the addresses, the byte-order mode the
// accepting end asks for, and the admission of peers.  It makes the data
// connection (accept, connect, the preamble) and ends it.  Not installed.
#ifndef TARVEX_DETAIL_ENDPOINT_H
#define TARVEX_DETAIL_ENDPOINT_H

#include <netinet/in.h>
#include <sys/socket.h>

#include "detail/Connection.h"
#include "detail/Switches.h"

namespace tarvex {
namespace detail {

struct Endpoint {
    int sock = -1;           // listening socket
    sockaddr_in receiver{};  // listening address, or the peer's on the connecting end
    sockaddr_in sender{};    // the peer address accept filled in
    socklen_t len = sizeof(sockaddr_in);
    int setup = 0;  // 1 once the end is established
    int lport = 0;  // the port of SocketSetup
    int bigend_mode = 0;
};

// The operations of Tarvex that make and end connections; each takes the
// parts of the link it works on.
int setup_endpoint(Endpoint& e, Switches& s, int port);
int release_endpoint(Endpoint& e, Connection& c, Switches& s);
int accept_connection(Endpoint& e, Connection& c, Switches& s, bool how);
int connect_to_peer(Endpoint& e, Connection& c, Switches& s, const char* host, int port);
int disconnect(Endpoint& e, Connection& c);
int bound_port(const Endpoint& e);

}  // namespace detail
}  // namespace tarvex

#endif
