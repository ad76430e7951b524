// A link whose data socket is one end of a socket pair, as if a connection
// had been made; the test plays the peer on the other end with raw writes.
// Header-only.
#ifndef TARVEX_TEST_ATTACHED_H
#define TARVEX_TEST_ATTACHED_H

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "RawPeer.h"
#include "Tarvex.h"
#include "TestAccess.h"

namespace tt {

struct Attached {
    Tarvex t{false};
    int mine = -1;
    RawPeer peer;

    explicit Attached(bool non_blocking = false) {
        auto p = stream_pair();
        mine = p.first;
        peer = RawPeer(p.second);
        TarvexTestAccess::attach(t, mine);
        if (non_blocking) ::fcntl(mine, F_SETFL, O_NONBLOCK);
    }
    ~Attached() {
        TarvexTestAccess::detach(t);
        ::close(mine);
    }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

    void non_blocking() { ::fcntl(mine, F_SETFL, O_NONBLOCK); }
    // True when the link's socket itself has bytes to read.
    bool socket_readable() {
        pollfd p{mine, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
    // Bytes the link has not taken yet: in its socket, or read ahead.
    size_t unread() {
        const int flags = ::fcntl(mine, F_GETFL);
        ::fcntl(mine, F_SETFL, flags | O_NONBLOCK);
        size_t n = 0;
        char tmp[4096];
        ssize_t r;
        while ((r = ::recv(mine, tmp, sizeof tmp, 0)) > 0) n += static_cast<size_t>(r);
        ::fcntl(mine, F_SETFL, flags);
        return n + t.get_buffered_bytes();
    }
};

}  // namespace tt

#endif
