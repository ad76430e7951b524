// One thread serving several links from one epoll loop.
//
//   epoll_receiver COUNT PORT [PORT ...]    (PORT 0: a free TCP port, printed)
//
// Every PORT is the listening end of one link; the program accepts one
// sender on each, then receives COUNT events from every link as they come.
// Each link has a ring buffer, so it answers acknowledgements: a sender may
// send acknowledged (minimal_sender's default) or not ("noack").  A
// receiver without a ring answers nothing, and an acknowledged sender would
// wait in vain.
//
// The rule for event loops: a link reads ahead, so bytes of the next records
// may already wait inside it (get_buffered_bytes()) while its descriptor
// shows nothing more to read.  So
//   - wait on a link's descriptor (get_data_fd()) only when nothing is
//     buffered in it,
//   - after it became readable, call ReceiveEvent, and again as long as
//     bytes are buffered; a status tarvex_status_is_idle() calls idle only
//     says that no whole record is there yet,
//   - never read the descriptor yourself: the bytes belong to the link.
#include <sys/epoll.h>
#include <unistd.h>

#include <tarvex/Tarvex.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct Link {
    explicit Link(int port) : port(port) {}
    Tarvex link{Tarvex::NATIVE_MODE};
    RNG_RingBuffer ring{1 << 20};
    std::vector<char> record;
    int port;
    int records = 0;
    bool open = false;
};

// Receives what the link has: one record, then every record already buffered.
// Returns false when the link is done (COUNT records, the peer gone, a failure).
bool serve(Link& l, int count) {
    do {
        // The descriptor was readable or bytes are buffered: no wait needed (0 s).
        int st = l.link.ReceiveEvent(&l.ring, 1, 0, 0);
        if (tarvex_status_is_idle(st)) return !l.link.get_peer_closed();  // no whole record yet
        if (st == 0) st = l.link.WriteBlockToRingBuffer(l.ring);
        if (st != 0) {
            std::fprintf(stderr, "port %d: ReceiveEvent: %s (%d)\n", l.port, tarvex_status_name(st), st);
            return false;
        }
        // The consumer's side, here at once: take the record out of the ring.
        l.record.resize(l.ring.nextRecordSize());
        l.ring.Read(l.record.data(), l.record.size());
        ++l.records;
        std::printf("port %d: event %u, %u bytes\n", l.port, l.link.get_event_header()->event_number,
                    l.link.get_event_length());
        if (l.records == count) return false;
    } while (l.link.get_buffered_bytes() > 0);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: epoll_receiver COUNT PORT [PORT ...]\n");
        return 2;
    }
    const int count = std::atoi(argv[1]);

    std::vector<std::unique_ptr<Link>> links;
    for (int i = 2; i < argc; ++i) {
        links.push_back(std::make_unique<Link>(std::atoi(argv[i])));
        Link& l = *links.back();
        if (l.link.SocketSetup(l.port) != 0) return 1;
        l.port = l.link.get_bound_port();
        std::printf("listening on port %d\n", l.port);
    }
    std::fflush(stdout);

    // Accepting blocks; a sender that connects before its turn waits in the
    // listening socket's queue for its preamble.
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (auto& l : links) {
        if (l->link.Connect(true) != 0) return 1;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = l.get();
        epoll_ctl(ep, EPOLL_CTL_ADD, l->link.get_data_fd(), &ev);
        l->open = true;
    }

    size_t open_links = links.size();
    while (open_links > 0) {
        epoll_event ready[16];
        const int n = epoll_wait(ep, ready, 16, 10000);
        if (n <= 0) {
            std::fprintf(stderr, "no record for 10 s, giving up\n");
            break;
        }
        for (int i = 0; i < n; ++i) {
            Link& l = *static_cast<Link*>(ready[i].data.ptr);
            if (l.open && !serve(l, count)) {
                // Done with this link: stop watching its descriptor, then close it.
                epoll_ctl(ep, EPOLL_CTL_DEL, l.link.get_data_fd(), nullptr);
                l.link.SocketRelease();
                l.open = false;
                --open_links;
            }
        }
    }
    close(ep);

    int missing = 0;
    for (auto& l : links) {
        std::printf("port %d: %d events\n", l->port, l->records);
        missing += l->records < count;
        if (l->open) l->link.SocketRelease();
    }
    return missing == 0 ? 0 : 1;
}
