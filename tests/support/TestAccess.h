// Reaches the private state of a link for tests: the field checks of the
// tests read it, and fixtures attach a socket pair as the data socket so
// that the senders and receivers can be driven without a listening end.
// Private to the test programs: it includes the library's own headers.
#ifndef TARVEX_TEST_ACCESS_H
#define TARVEX_TEST_ACCESS_H

#include "Tarvex.h"
#include "detail/Link.h"

struct TarvexTestAccess {
    static tarvex::detail::Link& link(Tarvex& t) { return tarvex::detail::link_of(t); }

    static int& retrs(Tarvex& t) { return link(t).retrs; }
    static bool& no_delay(Tarvex& t) { return link(t).no_delay; }
    static bool& owncntr(Tarvex& t) { return link(t).owncntr; }
    static int& eventn(Tarvex& t) { return link(t).eventn; }
    static int& sock(Tarvex& t) { return link(t).sock; }
    static int& sockin(Tarvex& t) { return link(t).sockin; }
    static sockaddr_in& receiver(Tarvex& t) { return link(t).receiver; }
    static sockaddr_in& sender(Tarvex& t) { return link(t).sender; }
    static socklen_t& len(Tarvex& t) { return link(t).len; }
    static int& connected(Tarvex& t) { return link(t).connected; }
    static int& setup(Tarvex& t) { return link(t).setup; }
    static int& must_swap(Tarvex& t) { return link(t).must_swap; }
    static bool& no_swap(Tarvex& t) { return link(t).no_swap; }
    static char*& buffer(Tarvex& t) { return link(t).buffer; }
    static unsigned int& size(Tarvex& t) { return link(t).size; }
    static unsigned int& capacity(Tarvex& t) { return link(t).capacity; }
    static int& lport(Tarvex& t) { return link(t).lport; }
    static int& bigend_mode(Tarvex& t) { return link(t).bigend_mode; }
    static int swap_buffer(Tarvex& t) { return link(t).SwapBuffer(); }

    // Makes `fd` the link's data socket, as a completed connection would.
    static void attach(Tarvex& t, int fd) {
        link(t).sockin = fd;
        link(t).connected = 1;
        link(t).setup = 1;
    }
    // Cuts every read of the data socket to at most `n` bytes (0: no cut), so
    // that what the peer sent at once arrives in pieces of that size.
    static void limit_reads(Tarvex& t, size_t n) { link(t).stream.limit_reads(n); }
    // Forgets the data socket without closing it (the test closes it).
    static void detach(Tarvex& t) {
        link(t).sockin = -1;
        link(t).connected = 0;
        link(t).setup = 0;
    }
};

#endif
