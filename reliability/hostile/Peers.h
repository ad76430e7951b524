// What the hostile cases attack with and what they stand on: the bytes of
// the attacks, a peer that writes them from a thread of its own, processes
// of another user, the link's accepting end, and receiving a record as a
// caller does.
#ifndef TARVEX_HOSTILE_PEERS_H
#define TARVEX_HOSTILE_PEERS_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Case.h"
#include "RawPeer.h"
#include "Records.h"

namespace hostile {

using tt::Bytes;

// ---------------------------------------------------------------------------
// Bytes of the attacks

// Bytes of every value but 0xff: no record or intro pattern, in either byte
// order, can form in them (every pattern holds 0xff bytes).
Bytes garbage(Case& c, size_t n);

bool is_intro_kind(Kind k);

// The longest length a header of `kind` can announce that a receiver with no
// limit would try to allocate: 2^32-1 for events and slow data; for images
// and spectra, whose body the caller bounds by an int, 2^31-1.
uint64_t huge_length(Kind kind);

// A header (or intro) of `kind`, as a sender writes it, announcing `length`.
Bytes header_announcing(Case& c, Kind kind, uint64_t length);

// A good record: what the peer sends, and what the receiver must hand over.
struct Good {
    tvt::Record rec;
    Bytes wire;
    Bytes delivered;
};
Good good_record(Case& c, Kind kind);

// Where a record of `kind` is cut in `phase`: inside its pattern, inside its
// header, or inside its body.
size_t cut_in(Case& c, const Good& g, Phase phase);

// ---------------------------------------------------------------------------
// Peers

// A port free on every address, whose socket path is free as well.  The
// cases' peers bind their own addresses (127.0.0.2 among them), and a port
// one of them left in TIME_WAIT there is free on 127.0.0.1 but not for a
// listener on every interface, so the port is picked as the listener binds.
int free_port();

// A TCP peer from 127.0.0.1 to 127.0.0.1:`port`, in one attempt.
tt::RawPeer tcp_peer(int port);

enum class After { StayOpen, HalfClose, Reset };

// Writes a peer's bytes from a thread of its own (the receiving end, on the
// main thread, has to take them while they are written), in pieces with a
// pause before each, then ends the connection as asked.
class Feeder {
public:
    struct Piece {
        Bytes bytes;
        int pause_ms;
    };
    Feeder(tt::RawPeer& peer, std::vector<Piece> pieces, After after);
    ~Feeder() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

// `bytes` in the pieces the seed chooses: at once, in random chunks, or
// (when short) byte by byte.
std::vector<Feeder::Piece> split(Case& c, const Bytes& bytes);

// One byte at a time, `gap_ms` apart.
std::vector<Feeder::Piece> trickle(const Bytes& bytes, int gap_ms);

// Runs `body` in a process of the other user (this process must be root);
// its exit code is its answer.
pid_t as_other_user(const std::function<int()>& body);

// Whether a process of the other user can connect to `path` (0: refused,
// 1: connected, 2: something else failed).
int other_user_connects(const std::string& path);

// A squatter: a process of the other user that binds the socket path first,
// accepts, sends a preamble as the real receiver would, and counts the
// bytes it is sent.  It says "ready" once it listens and the count at the
// end, on a pipe.
struct Squatter {
    pid_t pid = -1;
    int answers = -1;
    std::string path;

    bool start(const std::string& where);
    // The bytes it was sent; -1 when it did not say.
    long bytes_received(double wait_s);
    ~Squatter();
};

// A timer signal after `ms` (no restart: a blocked call returns); 0 disarms.
void signal_after(int ms);

// Waits (up to 2 s) until `n` bytes wait unread on `fd`.
bool queued(int fd, size_t n);

// The permission bits of the file at `path`; 0 when there is none.
unsigned file_mode(const std::string& path);

// ---------------------------------------------------------------------------
// The link's ends

// An accepting end on a fresh port, released when the case is over.
struct AcceptingEnd {
    AcceptingEnd() : link(static_cast<int>(Tarvex::NATIVE_MODE)), port(free_port()) {}
    ~AcceptingEnd() { link.SocketRelease(); }
    AcceptingEnd(const AcceptingEnd&) = delete;
    AcceptingEnd& operator=(const AcceptingEnd&) = delete;

    Tarvex link;
    int port;
};

// Connect(true) for a peer that has already connected, which then reads the
// preamble as a real peer does.
bool take(Case& c, AcceptingEnd& end, tt::RawPeer& peer);

// An accepting TCP end that has taken one peer; false (with the problem
// noted) when that failed.
bool serve(Case& c, AcceptingEnd& end, tt::RawPeer& peer);

// One record of `kind` as a caller receives it: the event receiver waiting
// as long as the pattern takes to come together (a scan that would block is
// called again, as a caller does), or the image or spectrum receiver, which
// allocates the body itself.  `got` holds the record as delivered.
int receive(Case& c, Tarvex& link, Kind kind, Bytes& got);

// One call of the event receiver that waits `ms` for a record and expects
// none: what a caller's loop does while its peer is idle.
int probe(Tarvex& link, int ms);

// The next good record must arrive whole on `link`.
void expect_whole(Case& c, Tarvex& link, const Good& g);

// A good record of `kind` that `peer` sends must arrive whole on `link`.
void good_record_arrives(Case& c, Tarvex& link, tt::RawPeer& peer, Kind kind);

// Sends `g` through `link`'s event sender, unacknowledged.
int send_unacknowledged(Tarvex& link, const Good& g);

// Connects `connecting` to `accepting`, which listens on `port`; true when
// both ends succeeded.
bool connect_both(Tarvex& accepting, Tarvex& connecting, int port);

// After a peer has gone: the accepting end disconnects, and a new peer's
// good record must arrive whole.
void next_peer_whole(Case& c, AcceptingEnd& end, Kind kind);

}  // namespace hostile

#endif
