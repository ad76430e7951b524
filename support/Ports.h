// Ports and local socket paths for the programs of this tree that open
// links and play their peers.  A local socket takes its path from the port
// number, so a port is only free when its socket file is too.
#ifndef TARVEX_SUPPORT_PORTS_H
#define TARVEX_SUPPORT_PORTS_H

#include <string>

namespace tt {

// A TCP port the system calls free on every interface now; -1 when none.
// Every interface: a port some connection left in its closing wait on one
// loopback address is not free for a listener on all of them.
int bind_any_port();

// A TCP port that is free now and whose local socket path (socket_path)
// does not exist; -1 when none was found.
int pick_port();

// A port as pick_port, never handed out twice by this process (tests that
// run at the same time do not clash), with its local socket path removed
// first.  Ends the program when there is none.
int unique_port();

// The local socket path the link derives for `port` now: the socket
// directory in force (KBR7_TARVEX_SOCK_DIR, default /tmp), then <port>.tcp.
std::string socket_path(int port);

// The local socket file of `port` in `dir`, spelled out: "<dir>/<port>.tcp".
// For checks of where the link put its file.
std::string socket_file(int port, const std::string& dir = "/tmp");

}  // namespace tt

#endif
