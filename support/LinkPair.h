// Two real ends of one link: an accepting end (SocketSetup + Connect(true),
// whose data socket is non-blocking) and a connecting end, over TCP or over
// the local stream socket.  Header-only.
#ifndef TARVEX_LINK_PAIR_H
#define TARVEX_LINK_PAIR_H

#include <thread>

#include "Guards.h"
#include "Ports.h"
#include "Tarvex.h"

namespace tt {

struct LinkPair {
    // `mode` is the accepting end's byte-order mode (Tarvex(int)).
    LinkPair(bool local_socket, int mode)
        : env("KBR7_TARVEX_SOCK_TYPE", local_socket ? "UNIX" : nullptr),
          accepting(mode),
          connecting(false),
          port(unique_port()) {
        setup_status = accepting.SocketSetup(port);
        std::thread peer([this] { connect_status = connecting.Connect("127.0.0.1", port); });
        accept_status = setup_status == 0 ? accepting.Connect(true) : setup_status;
        peer.join();
    }
    // Both ends are released at once: an end that sent records ends its
    // side first and waits for the other to end its own.
    ~LinkPair() {
        std::thread other([this] { connecting.SocketRelease(); });
        accepting.SocketRelease();
        other.join();
    }
    LinkPair(const LinkPair&) = delete;
    LinkPair& operator=(const LinkPair&) = delete;

    bool ok() const { return setup_status == 0 && accept_status == 0 && connect_status == 0; }

    EnvGuard env;  // first: the transport rule is read while the ends are set up and released
    Tarvex accepting;
    Tarvex connecting;
    int port;
    int setup_status = -1;
    int accept_status = -1;
    int connect_status = -1;
};

}  // namespace tt

#endif
