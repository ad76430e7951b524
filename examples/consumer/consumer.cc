// Uses all three installed libraries: the link, the event utilities and the
// ring buffer.  Prints the versions and opens a listening end on a port the
// system picks.
#include <tarvex/Tarvex.h>
#include <tarvex/event_util.h>
#include <tarvex/ringbuf.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

int main() {
    std::printf("headers %s, library %s\n", TARVEX_VERSION_STRING, tarvex_version());
    if (std::strcmp(TARVEX_VERSION_STRING, tarvex_version()) != 0) return 1;

    uint32_t word = KBR7_PATTERN_2010;
    kbr7_swap4(&word, &word, 1);  // event utilities
    RNG_RingBuffer ring(4096);    // ring buffer

    Tarvex link(Tarvex::NATIVE_MODE);
    const int st = link.SocketSetup(0);
    if (st != 0) {
        std::printf("SocketSetup: %s\n", tarvex_status_name(st));
        return 1;
    }
    std::printf("listening on port %d; ring of %lu bytes; 0x%08x reversed is 0x%08x\n", link.get_bound_port(),
                ring.size(), KBR7_PATTERN_2010, word);
    link.SocketRelease();
    return word == KBR7_PATTERN_2010_SWAPPED ? 0 : 1;
}
