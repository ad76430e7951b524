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
    static tarvex::detail::Endpoint& endpoint(Tarvex& t) { return link(t).endpoint; }
    static tarvex::detail::Connection& connection(Tarvex& t) { return link(t).connection; }
    static tarvex::detail::RecordStore& store(Tarvex& t) { return link(t).store; }

    static int& retrs(Tarvex& t) { return connection(t).retrs; }
    static bool& no_delay(Tarvex& t) { return connection(t).no_delay; }
    static bool& owncntr(Tarvex& t) { return store(t).owncntr; }
    static int& eventn(Tarvex& t) { return store(t).eventn; }
    static int& sock(Tarvex& t) { return endpoint(t).sock; }
    // The data socket's descriptor, -1 when there is none.  Asked of the
    // link, not of its connection here: the connection's inline call into
    // the transport needs the transport's type information, which the
    // library keeps to itself (UndefinedBehaviorSanitizer checks that call).
    static int sockin(Tarvex& t) { return t.get_data_fd(); }
    // Makes `fd` (-1: none) the data socket, leaving the connection state
    // as it is.
    static void set_sockin(Tarvex& t, int fd) { connection(t).use_descriptor(fd); }
    static sockaddr_in& receiver(Tarvex& t) { return endpoint(t).receiver; }
    static sockaddr_in& sender(Tarvex& t) { return endpoint(t).sender; }
    static socklen_t& len(Tarvex& t) { return endpoint(t).len; }
    static int& connected(Tarvex& t) { return connection(t).connected; }
    static int& setup(Tarvex& t) { return endpoint(t).setup; }
    static int& must_swap(Tarvex& t) { return connection(t).must_swap; }
    static bool& no_swap(Tarvex& t) { return connection(t).no_swap; }
    static char*& buffer(Tarvex& t) { return store(t).buffer; }
    static unsigned int& size(Tarvex& t) { return store(t).size; }
    static unsigned int& capacity(Tarvex& t) { return store(t).capacity; }
    static int& lport(Tarvex& t) { return endpoint(t).lport; }
    static int& bigend_mode(Tarvex& t) { return endpoint(t).bigend_mode; }
    static int swap_buffer(Tarvex& t) { return store(t).swap(connection(t).get_swap()); }

    // Makes `fd` the link's data socket, as a completed connection would.
    static void attach(Tarvex& t, int fd) {
        set_sockin(t, fd);
        connected(t) = 1;
        setup(t) = 1;
    }
    // Cuts every read of the data socket to at most `n` bytes (0: no cut), so
    // that what the peer sent at once arrives in pieces of that size.
    static void limit_reads(Tarvex& t, size_t n) { connection(t).stream.limit_reads(n); }
    // Forgets the data socket without closing it (the test closes it).
    static void detach(Tarvex& t) {
        set_sockin(t, -1);
        connected(t) = 0;
        setup(t) = 0;
    }
};

#endif
