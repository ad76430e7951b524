// Reaches the private fields of a link for tests: the field checks of the
// tests read them, and fixtures attach a socket pair as the data socket so
// that the senders and receivers can be driven without a listening end.
#ifndef TARVEX_TEST_ACCESS_H
#define TARVEX_TEST_ACCESS_H

#include "Tarvex.h"
#include "detail/Io.h"

struct TarvexTestAccess {
    static int& retrs(Tarvex& t) { return t.retrs; }
    static bool& no_delay(Tarvex& t) { return t.no_delay; }
    static bool& owncntr(Tarvex& t) { return t.owncntr; }
    static int& eventn(Tarvex& t) { return t.eventn; }
    static int& sock(Tarvex& t) { return t.sock; }
    static int& sockin(Tarvex& t) { return t.sockin; }
    static sockaddr_in& receiver(Tarvex& t) { return t.receiver; }
    static sockaddr_in& sender(Tarvex& t) { return t.sender; }
    static socklen_t& len(Tarvex& t) { return t.len; }
    static int& connected(Tarvex& t) { return t.connected; }
    static int& setup(Tarvex& t) { return t.setup; }
    static int& must_swap(Tarvex& t) { return t.must_swap; }
    static bool& no_swap(Tarvex& t) { return t.no_swap; }
    static int& receive_lock(Tarvex& t) { return t.receive_lock; }
    static char*& buffer(Tarvex& t) { return t.buffer; }
    static unsigned int& size(Tarvex& t) { return t.size; }
    static int& lport(Tarvex& t) { return t.lport; }
    static int& bigend_mode(Tarvex& t) { return t.bigend_mode; }
    static int swap_buffer(Tarvex& t) { return t.SwapBuffer(); }

    // Makes `fd` the link's data socket, as a completed connection would.
    static void attach(Tarvex& t, int fd) {
        t.sockin = fd;
        t.connected = 1;
        t.setup = 1;
    }
    // Cuts every read of the data socket to at most `n` bytes (0: no cut), so
    // that what the peer sent at once arrives in pieces of that size.
    static void limit_reads(Tarvex& t, size_t n) { t.stream->limit_reads(n); }
    // Forgets the data socket without closing it (the test closes it).
    static void detach(Tarvex& t) {
        t.sockin = -1;
        t.connected = 0;
        t.setup = 0;
    }
};

#endif
