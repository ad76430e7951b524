// The smallest useful sender: connects to a receiver and sends COUNT events,
// each acknowledged by the receiver before its body goes out (with "noack":
// sent without waiting for an answer).
//
//   minimal_sender HOST PORT [COUNT [noack]]
//
// Set KBR7_TARVEX_SOCK_TYPE=UNIX in the environment of both ends to use the
// local socket /tmp/<PORT>.tcp instead of TCP.
#include <tarvex/Tarvex.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: minimal_sender HOST PORT [COUNT [noack]]\n");
        return 2;
    }
    const char* host = argv[1];
    const int port = std::atoi(argv[2]);
    const int count = argc > 3 ? std::atoi(argv[3]) : 10;
    const bool ack = argc <= 4 || std::strcmp(argv[4], "noack") != 0;

    // The accepting end decides whether records must be converted; the
    // link does it.  The mode matters only on that end.
    Tarvex link(Tarvex::NATIVE_MODE);
    int st = link.Connect(host, port);
    if (st != 0) {
        std::fprintf(stderr, "Connect: %s (%d)\n", tarvex_status_name(st), st);
        return 1;
    }

    std::vector<uint32_t> body(25);  // 100 bytes of payload
    for (int i = 0; i < count && st == 0; ++i) {
        for (size_t k = 0; k < body.size(); ++k) body[k] = static_cast<uint32_t>(i) + static_cast<uint32_t>(k);

        kbr7_eventheader head{};
        head.pattern = KBR7_PATTERN_2010;
        head.event_length = sizeof head + body.size() * sizeof body[0];  // the whole record
        head.event_number = static_cast<uint32_t>(i);
        head.event_type = KBR7_EV_NORMAL;

        // A gather list: the header first, then the body (more pieces may follow).
        iovec vec[2] = {{&head, sizeof head}, {body.data(), body.size() * sizeof body[0]}};
        st = link.SendEvent(vec, 2, ack ? SendEvent_ACK : SendEvent_NOACK);
        if (st != 0) std::fprintf(stderr, "SendEvent %d: %s (%d)\n", i, tarvex_status_name(st), st);
    }
    if (st == 0) std::printf("sent %d events\n", count);

    link.SocketRelease();  // closes the connection; needed before the next Connect
    return st == 0 ? 0 : 1;
}
