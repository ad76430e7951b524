// The smallest useful receiver: listens on a port, accepts one sender and
// prints the first COUNT events it receives.  Each event goes through a ring
// buffer, as in a DAQ program where another thread takes records out of it;
// an acknowledged send is admitted only while the record fits there.
//
//   minimal_receiver PORT [COUNT]      (PORT 0: a free TCP port, printed)
//
// Set KBR7_TARVEX_SOCK_TYPE=UNIX in the environment of both ends to use the
// local socket /tmp/<PORT>.tcp instead of TCP.
#include <tarvex/Tarvex.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: minimal_receiver PORT [COUNT]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = argc > 2 ? std::atoi(argv[2]) : 10;

    Tarvex link(Tarvex::NATIVE_MODE);  // BIGEND_MODE: records travel big-endian
    int st = link.SocketSetup(port);
    if (st != 0) {
        std::fprintf(stderr, "SocketSetup: %s (%d)\n", tarvex_status_name(st), st);
        return 1;
    }
    // With port 0 the system chose the port; a sender needs to know it.
    std::printf("listening on port %d\n", link.get_bound_port());
    std::fflush(stdout);

    st = link.Connect(true);  // blocks until a sender connects
    RNG_RingBuffer ring(1 << 20);
    std::vector<char> record;
    for (int i = 0; i < count && st == 0; ++i) {
        // Wait up to 5 s for the start of the next record (1 wait of 5 s).
        st = link.ReceiveEvent(&ring, 1, 5, 0);
        if (st == 0) st = link.WriteBlockToRingBuffer(ring);
        if (st != 0) break;

        // The consumer's side: take the record out of the ring again.
        record.resize(ring.nextRecordSize());
        ring.Read(record.data(), record.size());
        std::printf("event %d: %u bytes%s\n", link.get_event_number(), link.get_event_length(),
                    link.get_swap() ? " (converted)" : "");
    }
    if (st != 0) std::fprintf(stderr, "receiving: %s (%d)\n", tarvex_status_name(st), st);

    link.SocketRelease();  // disconnects, closes, removes a local socket file
    return st == 0 ? 0 : 1;
}
