// tarvex-faults: fault injection against a link.
//
// Every iteration puts a link of this process (the surviving end) opposite a
// peer process that dies at a chosen byte of the exchange: it raises SIGKILL
// on itself after writing or reading exactly that many bytes of the preamble,
// a header, a body, or between a header and its acknowledgement.  Other
// iterations stall the peer (stopped with SIGSTOP, or alive but never
// reading) while the link sends.  The surviving end must return one of the
// statuses its contract gives for that situation, within its time budget,
// without crashing and without keeping a descriptor; then the same link
// object serves a healthy peer, whose record must arrive intact.
//
// The cases come from a seeded generator, so a run is repeated exactly with
// the same --seed and --iterations.  The link's own diagnostics go to --diag
// (discarded by default); the report goes to standard output.  Memory leaks
// are found by LeakSanitizer when the program is built with
// -DTARVEX_SANITIZE=ON.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Harness.h"
#include "Options.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Records.h"
#include "Runner.h"
#include "System.h"
#include "Tarvex.h"
#include "detail/Preamble.h"

namespace {

using Rng = std::mt19937_64;
using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------------------
// Fault points

enum class Point {
    PreambleConnecting,  // the link connects; the accepting peer dies inside the preamble
    PreambleAccepting,   // the link accepts; the connecting peer dies before reading the preamble
    RxBefore,            // the peer dies before the first byte of its record
    RxPattern,           // ... inside the record's pattern word
    RxHeader,            // ... inside the header
    RxBody,              // ... inside the body
    RxAckWait,           // an acknowledging peer sends the header and dies before the answer
    RxAckBody,           // ... reads the answer and dies inside the body
    TxNoack,             // the link sends; the reading peer dies after some bytes
    TxAckHeader,         // the link sends acknowledged; the peer dies inside the header
    TxAckAnswer,         // ... has read the header and dies without answering
    TxAckBody,           // ... answered and dies inside the body
    StallStopped,        // the reading peer is stopped (SIGSTOP) while a large record goes out
    StallNoRead,         // the reading peer lives but never reads
    StallAck,            // the peer is stopped while the link waits for the answer
};

enum Direction { kConnectOnly, kReceive, kSend };

struct PointInfo {
    Point point;
    const char* name;
    Direction direction;
    int weight;                // share of the iterations
    std::vector<int> allowed;  // statuses the surviving end may return
    const char* means;         // for the report
};

// What the contract allows the surviving end to say.  A dead peer closes the
// connection: receivers see the end of the stream (empty reads up to their
// limits, or a scan that runs dry) or a reset; senders see a reset or a
// broken pipe, or nothing at all when the record fitted into the socket
// buffers before the peer died.
const std::vector<PointInfo> kPoints = {
    {Point::PreambleConnecting,
     "preamble-connect",
     kConnectOnly,
     8,
     {ERR_PROTOCOL},
     "accepting peer dies after 0-3 preamble bytes"},
    {Point::PreambleAccepting,
     "preamble-accept",
     kConnectOnly,
     4,
     {0, ERR_PROTOCOL},
     "connecting peer dies before reading the preamble"},
    {Point::RxBefore, "rx-before", kReceive, 4, {ERR_TIMEOUT, ERR_READ}, "sender dies before its record"},
    {Point::RxPattern, "rx-pattern", kReceive, 6, {ERR_TIMEOUT, ERR_READ}, "sender dies inside the pattern"},
    {Point::RxHeader, "rx-header", kReceive, 10, {ERR_READ}, "sender dies inside the header"},
    {Point::RxBody, "rx-body", kReceive, 12, {ERR_READ}, "sender dies inside the body"},
    {Point::RxAckWait,
     "rx-ack-wait",
     kReceive,
     6,
     {ERR_SEND, ERR_READ},
     "acknowledging sender dies before reading the answer"},
    {Point::RxAckBody, "rx-ack-body", kReceive, 6, {ERR_READ}, "acknowledging sender dies inside the body"},
    {Point::TxNoack, "tx-noack", kSend, 10, {0, ERR_SEND}, "receiver dies after reading part of the record"},
    {Point::TxAckHeader, "tx-ack-header", kSend, 6, {ERR_SEND, ERR_RETRIES}, "receiver dies inside the header"},
    {Point::TxAckAnswer, "tx-ack-answer", kSend, 6, {ERR_SEND, ERR_RETRIES}, "receiver dies between header and answer"},
    {Point::TxAckBody, "tx-ack-body", kSend, 8, {0, ERR_SEND}, "receiver answers, dies inside the body"},
    {Point::StallStopped, "stall-stopped", kSend, 2, {ERR_RETRIES}, "receiver stopped (SIGSTOP) mid-record"},
    {Point::StallNoRead, "stall-noread", kSend, 2, {ERR_RETRIES}, "receiver never reads, small buffer"},
    {Point::StallAck, "stall-ack", kSend, 2, {ERR_RETRIES}, "receiver stopped before answering"},
};

const PointInfo& info(Point p) { return kPoints[static_cast<size_t>(p)]; }

bool is_stall(Point p) { return p == Point::StallStopped || p == Point::StallNoRead || p == Point::StallAck; }

// Time budgets of the calls under test.  A dead peer ends every wait at once
// (end of stream or reset), so these only catch a call that does not end;
// they leave room for a sanitized build on a loaded machine.
constexpr double kCallBudget = 15.0;
// A stalled send gives up after retrs (10) waits of 100 ms without progress:
// not before 0.8 s, and well before 6 s even on a loaded machine.
constexpr double kStallLow = 0.8;
constexpr double kStallHigh = 6.0;
constexpr int kPeerTimeoutMs = 20000;
constexpr size_t kStallPayload = 16u << 20;  // far beyond any socket buffer
constexpr int kMaxBody = 64 << 20;

// ---------------------------------------------------------------------------
// One case

struct Case {
    int iteration = 0;
    Point point = Point::RxBody;
    bool local = false;        // local socket instead of TCP
    bool link_accepts = true;  // the link under test is the accepting end
    bool bigend = false;       // the accepting end asks both ends to convert
    bool ack = false;          // acknowledged transfer
    tvt::Kind kind = tvt::Kind::Event2010;
    size_t payload = 64;
    size_t cut = 0;        // bytes that cross before the peer dies
    int pieces = 1;        // body fragments of the link's gather list
    bool no_wait = false;  // the link sends without its 100 ms waits (SetDelay)
};

std::string describe(const Case& c) {
    char text[256];
    std::snprintf(text, sizeof text, "#%d %s %s link-%s %s%s%s %s payload %zu cut %zu", c.iteration, info(c.point).name,
                  c.local ? "unix" : "tcp", c.link_accepts ? "accepts" : "connects", c.bigend ? "bigend" : "native",
                  c.ack ? " ack" : "", c.no_wait ? " no-wait" : "", tvt::info(c.kind).name, c.payload, c.cut);
    return text;
}

size_t pick(Rng& rng, size_t lo, size_t hi) {  // inclusive
    return lo + static_cast<size_t>(rng() % (hi - lo + 1));
}

tvt::Kind pick_kind(Rng& rng, Direction d, bool ack) {
    static const tvt::Kind events[] = {tvt::Kind::Event2010, tvt::Kind::Legacy, tvt::Kind::Event2024, tvt::Kind::Slow,
                                       tvt::Kind::Slow2024};
    // Images go out through the sender but come back only through the image
    // receiver; spectra have no sender, the peer writes them.
    if (ack) return events[pick(rng, 0, 4)];
    if (d == kSend) return pick(rng, 0, 5) == 5 ? tvt::Kind::Image : events[pick(rng, 0, 4)];
    size_t k = pick(rng, 0, 6);
    return k == 5 ? tvt::Kind::Image : k == 6 ? tvt::Kind::Spectrum : events[k];
}

Case make_case(int iteration, Point p, Rng& rng) {
    Case c;
    c.iteration = iteration;
    c.point = p;
    c.local = rng() & 1;
    c.bigend = rng() & 1;
    c.link_accepts = p == Point::PreambleAccepting || (p != Point::PreambleConnecting && (rng() & 1));
    c.ack = p == Point::RxAckWait || p == Point::RxAckBody || p == Point::TxAckHeader || p == Point::TxAckAnswer ||
            p == Point::TxAckBody || p == Point::StallAck;
    c.kind = pick_kind(rng, info(p).direction, c.ack);
    const bool large = info(p).direction == kSend ? (rng() & 1) : pick(rng, 0, 7) == 0;
    c.payload = large ? pick(rng, 256u << 10, 4u << 20) : pick(rng, 8, 4096);
    if (p == Point::StallStopped || p == Point::StallNoRead) c.payload = kStallPayload;
    // A stalled receiver must also stop a link that sends without waiting
    // first, on the accepting end's non-blocking socket: there every would-
    // block counts against the budget.
    c.no_wait = is_stall(p) && c.link_accepts && (rng() & 1);
    c.pieces = large && pick(rng, 0, 3) == 0 ? 1500 : static_cast<int>(pick(rng, 1, 4));

    const tvt::KindInfo& k = tvt::info(c.kind);
    const size_t length = k.fixed_size + std::max(c.payload, tvt::kTagSize);
    switch (p) {
        case Point::PreambleConnecting: c.cut = pick(rng, 0, 3); break;
        case Point::PreambleAccepting:
        case Point::RxBefore: c.cut = 0; break;
        case Point::RxPattern: c.cut = pick(rng, 1, 3); break;
        case Point::RxHeader: c.cut = pick(rng, 4, k.fixed_size - 1); break;
        case Point::RxBody: c.cut = pick(rng, k.fixed_size, length - 1); break;
        case Point::RxAckWait:
        case Point::TxAckAnswer: c.cut = k.head_size; break;
        case Point::RxAckBody:
        case Point::TxAckBody: c.cut = pick(rng, k.head_size, length - 1); break;
        case Point::TxNoack: c.cut = pick(rng, 0, length - 1); break;
        case Point::TxAckHeader: c.cut = pick(rng, 0, k.head_size - 1); break;
        case Point::StallStopped:
        case Point::StallNoRead:
        case Point::StallAck: c.cut = 0; break;
    }
    return c;
}

Point pick_point(Rng& rng, const std::vector<Point>& enabled) {
    int total = 0;
    for (Point p : enabled) total += info(p).weight;
    int r = static_cast<int>(rng() % static_cast<uint64_t>(total));
    for (Point p : enabled) {
        r -= info(p).weight;
        if (r < 0) return p;
    }
    return enabled.back();
}

// ---------------------------------------------------------------------------
// The peer: a child process speaking raw bytes

// Exit codes of a peer that could not play its part.
constexpr int kPeerNoConnection = 90;
constexpr int kPeerStarved = 91;   // the link sent less than the peer waited for
constexpr int kPeerMismatch = 92;  // a healthy exchange delivered wrong bytes
constexpr int kPeerRefused = 93;   // the link answered "no room"

[[noreturn]] void die_now() {
    ::raise(SIGKILL);
    std::_Exit(99);
}

// Writes b[0 .. n) the way a sender of this case does: byte by byte with
// pauses, in random chunks, or at once, so that the receiver meets bytes
// split over segments at every place.
bool send_prefix(tt::RawPeer& p, const Bytes& b, size_t from, size_t n, Rng& rng) {
    const int style = static_cast<int>(rng() % 3);
    size_t at = from;
    while (at < from + n) {
        size_t left = from + n - at;
        size_t step = style == 0 && n <= 256 ? 1 : style == 1 ? std::min(left, pick(rng, 1, 4096)) : left;
        if (!p.send(b.data() + at, step)) return false;
        at += step;
        if (style == 0 && n <= 256) ::usleep(200);
    }
    return true;
}

bool skip_exact(tt::RawPeer& p, size_t n) {
    std::vector<unsigned char> sink(std::min<size_t>(n, 1u << 20));
    while (n > 0) {
        size_t step = std::min(n, sink.size());
        if (!p.read_exact(sink.data(), step, kPeerTimeoutMs)) return false;
        n -= step;
    }
    return true;
}

// The peer's side of the connection: it connects to the link, or accepts the
// link on `listener` and sends the preamble (only `preamble_bytes` of it).
tt::RawPeer peer_connection(const Case& c, int port, tt::RawListener* listener, size_t preamble_bytes) {
    if (listener) {
        tt::RawPeer p = listener->accept(kPeerTimeoutMs);
        if (!p.valid()) std::_Exit(kPeerNoConnection);
        const uint32_t word = c.bigend ? tarvex::preamble::kBigend : tarvex::preamble::kNative;
        if (preamble_bytes < sizeof word) {
            p.send(&word, preamble_bytes);
            die_now();
        }
        if (!p.send(&word, sizeof word)) std::_Exit(kPeerNoConnection);
        return p;
    }
    tt::RawPeer p =
        c.local ? tt::RawPeer::connect_unix(port, kPeerTimeoutMs) : tt::RawPeer::connect_tcp(port, kPeerTimeoutMs);
    if (!p.valid()) std::_Exit(kPeerNoConnection);
    if (preamble_bytes == 0) die_now();
    // Read the preamble, so that nothing unread makes the kernel reset the
    // connection when this process dies: the end of the stream must come
    // right behind the last byte written.
    uint32_t word = 0;
    if (!p.read_exact(&word, sizeof word, kPeerTimeoutMs)) std::_Exit(kPeerNoConnection);
    return p;
}

// The faulty peer of `c`: does its part up to the chosen byte, then dies.
int faulty_peer(const Case& c, const tvt::Record& rec, int port, tt::RawListener* listener) {
    Rng rng(static_cast<uint64_t>(c.iteration) * 7919u + 1);
    size_t preamble = c.point == Point::PreambleConnecting ? c.cut : 4;
    if (c.point == Point::PreambleAccepting) preamble = 0;
    tt::RawPeer p = peer_connection(c, port, listener, preamble);
    const Bytes wire = trl::wire_bytes(rec, c.bigend);
    const size_t head = tvt::info(c.kind).head_size;
    switch (c.point) {
        case Point::PreambleConnecting:
        case Point::PreambleAccepting: break;
        case Point::RxBefore:
        case Point::RxPattern:
        case Point::RxHeader:
        case Point::RxBody:
        case Point::RxAckWait: send_prefix(p, wire, 0, c.cut, rng); break;
        case Point::RxAckBody: {
            int32_t answer = -1;
            if (!send_prefix(p, wire, 0, head, rng) || !p.read_exact(&answer, sizeof answer, kPeerTimeoutMs))
                return kPeerStarved;
            if (answer != 0) return kPeerRefused;
            send_prefix(p, wire, head, c.cut - head, rng);
            break;
        }
        case Point::TxNoack:
        case Point::TxAckHeader:
        case Point::TxAckAnswer:
            if (!skip_exact(p, c.cut)) return kPeerStarved;
            break;
        case Point::TxAckBody: {
            const int32_t room = 0;
            if (!skip_exact(p, head) || !p.send(&room, sizeof room) || !skip_exact(p, c.cut - head))
                return kPeerStarved;
            break;
        }
        case Point::StallStopped:
        case Point::StallAck:
            p.set_rcvbuf(4096);
            ::raise(SIGSTOP);
            break;
        case Point::StallNoRead:
            p.set_rcvbuf(4096);
            ::sleep(120);
            break;
    }
    die_now();
}

// A healthy peer: plays the same part to the end and checks what it gets.
int healthy_peer(const Case& c, Direction d, const tvt::Record& rec, int port, tt::RawListener* listener) {
    Rng rng(static_cast<uint64_t>(c.iteration) * 104729u + 3);
    tt::RawPeer p = peer_connection(c, port, listener, 4);
    const Bytes wire = trl::wire_bytes(rec, c.bigend);
    const size_t head = tvt::info(c.kind).head_size;
    const size_t before_answer = c.ack ? head : wire.size();
    if (d == kReceive) {
        if (!send_prefix(p, wire, 0, before_answer, rng)) return kPeerStarved;
        if (c.ack) {
            int32_t answer = -1;
            if (!p.read_exact(&answer, sizeof answer, kPeerTimeoutMs)) return kPeerStarved;
            if (answer != 0) return kPeerRefused;
            if (!send_prefix(p, wire, head, wire.size() - head, rng)) return kPeerStarved;
        }
    } else {
        Bytes got(wire.size());
        if (!p.read_exact(got.data(), before_answer, kPeerTimeoutMs)) return kPeerStarved;
        if (c.ack) {
            const int32_t room = 0;
            if (!p.send(&room, sizeof room) || !p.read_exact(got.data() + head, wire.size() - head, kPeerTimeoutMs))
                return kPeerStarved;
        }
        if (got != wire) return kPeerMismatch;
    }
    // Stay until the link hangs up, so that it never meets a closed stream.
    p.sees_close(kPeerTimeoutMs);
    return 0;
}

const char* peer_exit_text(int code) {
    switch (code) {
        case 0: return "ended normally";
        case 128 + SIGKILL: return "was killed";
        case kPeerNoConnection: return "got no connection";
        case kPeerStarved: return "did not get the bytes it waited for";
        case kPeerMismatch: return "received a record that differs from what was sent";
        case kPeerRefused: return "was refused room for its record";
        default: return "ended unexpectedly";
    }
}

// ---------------------------------------------------------------------------
// The surviving end

// The links under test live for the whole run: one accepting link per
// transport and byte-order mode, and one connecting link.  Reusing them is
// the point: after every fault the same object must serve the next peer.
struct Links {
    std::unique_ptr<Tarvex> accepting[2][2];  // [local][bigend]
    int port[2][2] = {{0, 0}, {0, 0}};
    Tarvex connecting{false};
};

struct Outcome {
    int status = -1;  // of the call under fault
    double seconds = 0;
    bool hang = false;
    bool recovered = false;
    bool broken_pipe_checked = false;
    bool broken_pipe_ok = false;
    std::vector<std::string> problems;

    void fail(const std::string& what) { problems.push_back(what); }
};

std::string status_text(int st) { return std::string(tarvex_status_name(st)) + " (" + std::to_string(st) + ")"; }

bool allowed(int st, const std::vector<int>& set) { return std::find(set.begin(), set.end(), st) != set.end(); }

// Runs `call` under a deadline; a call that overruns counts as a hang.
template <class Call>
int timed(Outcome& o, const char* what, double budget, Call&& call, double* seconds = nullptr) {
    trl::Deadline d(what, budget);
    int st = call();
    if (seconds) *seconds = d.elapsed();
    if (d.expired()) {
        o.hang = true;
        o.fail(std::string(what) + " did not return within its budget");
    }
    return st;
}

void expect_status(Outcome& o, const char* what, int st, const std::vector<int>& set) {
    if (allowed(st, set)) return;
    std::string want;
    for (int s : set) want += (want.empty() ? "" : " or ") + status_text(s);
    o.fail(std::string(what) + " returned " + status_text(st) + ", expected " + want);
}

RNG_RingBuffer& ring() {
    static RNG_RingBuffer r(8u << 20);
    return r;
}

// Images and spectra: the receiver allocates the body (a null buffer), and
// that allocation is the caller's on every path, failures included.
template <class Intro, class Call>
int receive_allocated(Intro& intro, Bytes& got, Call&& call) {
    char* body = nullptr;
    int st = call(&body);
    if (st == 0) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&intro);
        got.assign(p, p + sizeof intro);
        got.insert(got.end(), body, body + (intro.intro.length - sizeof intro));
    }
    delete[] body;
    return st;
}

// Receives one record of `kind` and hands over its bytes as the receiver
// delivers them.  A scan that would block is called again, as a caller does.
int receive_record(Tarvex& link, tvt::Kind kind, bool ack, Bytes& got) {
    got.clear();
    if (kind == tvt::Kind::Image) {
        kbr7_image_ext_intro intro{};
        return receive_allocated(intro, got, [&](char** body) { return link.ReceiveImage(&intro, body, kMaxBody); });
    }
    if (kind == tvt::Kind::Spectrum) {
        kbr7_spect_intro intro{};
        return receive_allocated(intro, got, [&](char** body) { return link.ReceiveSpect(&intro, body, kMaxBody); });
    }
    int st;
    int again = 0;
    do st = link.ReceiveEvent(ack ? &ring() : nullptr, -1, 0, 100000);
    while (st == ERR_SCAN_AGAIN && ++again < 100);
    if (st != 0) return st;
    st = link.WriteBlockToRingBuffer(ring());
    if (st != 0) return st;
    got.resize(ring().nextRecordSize());
    ring().Read(reinterpret_cast<char*>(got.data()), got.size());
    return 0;
}

int send_record(Tarvex& link, tvt::Record& rec, int pieces, bool ack) {
    std::vector<iovec> v(static_cast<size_t>(pieces) + 1);
    int n = rec.gather(v.data(), pieces);
    return link.SendEvent(v.data(), n, ack ? SendEvent_ACK : SendEvent_NOACK);
}

// A broken pipe must end the connection: sends into the dead peer fail with
// ERR_SEND (after at most a few that still fit into the socket), the link
// is then inactive, and the next send is refused as not connected.
// `last` is the status of the send that met the fault, which may already
// have found the broken pipe.
void check_broken_pipe(Outcome& o, Tarvex& link, int iteration, int last) {
    o.broken_pipe_checked = true;
    const size_t problems_before = o.problems.size();
    tvt::Record small;
    tvt::build_record(tvt::Kind::Event2010, static_cast<uint32_t>(iteration), 64, small);
    for (int i = 0; i < 200 && link.IsLinkActive(); ++i) {
        last = timed(o, "SendEvent into a dead peer", kCallBudget, [&] { return send_record(link, small, 1, false); });
        expect_status(o, "SendEvent into a dead peer", last, {0, ERR_SEND});
        if (link.IsLinkActive()) ::usleep(2000);
    }
    if (link.IsLinkActive()) {
        o.fail("the link stayed active after 200 sends into a dead peer");
        return;
    }
    if (last != ERR_SEND) o.fail("the send that found the broken pipe returned " + status_text(last));
    int st = send_record(link, small, 1, false);
    expect_status(o, "SendEvent after the broken pipe", st, {ERR_NOT_CONNECTED});
    o.broken_pipe_ok = o.problems.size() == problems_before;
}

class Session {
public:
    Session(Links& links, const Case& c) : links_(links), c_(c) {}

    // Opens the connection with a peer that runs `peer` in a child process.
    // Returns the status of Connect.
    template <class PeerBody>
    int open(Outcome& o, PeerBody&& peer) {
        tvt::use_local_socket(c_.local);
        if (c_.link_accepts) {
            const int port = links_.port[c_.local][c_.bigend];
            child_ = tvt::spawn([&] { return peer(port, nullptr); });
            connected_ = timed(o, "Connect(true)", kCallBudget, [&] { return link().Connect(true); });
            return connected_;
        }
        port_ = tt::unique_port();
        listener_.reset(new tt::RawListener(port_, c_.local));
        child_ = tvt::spawn([&] { return peer(port_, listener_.get()); });
        connected_ = timed(o, "Connect(host, port)", kCallBudget, [&] { return link().Connect("127.0.0.1", port_); });
        return connected_;
    }

    Tarvex& link() { return c_.link_accepts ? *links_.accepting[c_.local][c_.bigend] : links_.connecting; }
    pid_t child() const { return child_; }

    // Ends the connection the way a caller does, so that the object is
    // ready for the next peer, and collects the peer.
    void close(Outcome& o, int expected_peer_exit) {
        Tarvex& l = link();
        if (c_.link_accepts) {
            if (l.IsLinkActive()) expect_status(o, "Disconnect", l.Disconnect(), {0});
        } else if (connected_ == 0) {
            expect_status(o, "SocketRelease", l.SocketRelease(), {0});
        } else if (l.IsLinkActive()) {
            o.fail("a failed Connect(host, port) left the link active");
        }
        const int code = tvt::wait_child(child_, kPeerTimeoutMs / 1000.0);
        if (code != expected_peer_exit)
            o.fail(std::string("the peer ") + peer_exit_text(code) + " (exit " + std::to_string(code) + ")");
        listener_.reset();  // removes the local socket file the dead peer left behind
    }

private:
    Links& links_;
    const Case& c_;
    pid_t child_ = -1;
    int port_ = 0;
    int connected_ = -1;
    std::unique_ptr<tt::RawListener> listener_;
};

void run_fault(Links& links, const Case& c, Outcome& o) {
    tvt::Record rec;
    tvt::build_record(c.kind, static_cast<uint32_t>(c.iteration), c.payload, rec);
    Session s(links, c);
    const int connected = s.open(o, [&](int port, tt::RawListener* l) { return faulty_peer(c, rec, port, l); });
    const PointInfo& p = info(c.point);
    if (p.direction == kConnectOnly) {
        o.status = connected;
    } else if (connected != 0) {
        o.fail("Connect returned " + status_text(connected));
    } else if (p.direction == kReceive) {
        Bytes got;
        o.status = timed(
            o, "the receive", kCallBudget, [&] { return receive_record(s.link(), c.kind, c.ack, got); }, &o.seconds);
    } else {
        if (c.no_wait) s.link().SetDelay();
        o.status = timed(
            o, "SendEvent", kCallBudget, [&] { return send_record(s.link(), rec, c.pieces, c.ack); }, &o.seconds);
        s.link().SetNoDelay();
        if (is_stall(c.point)) {
            if (o.seconds < kStallLow && !c.no_wait)
                o.fail("a stalled send gave up after only " + std::to_string(o.seconds) + " s");
            if (o.seconds > kStallHigh && !o.hang)
                o.fail("a stalled send took " + std::to_string(o.seconds) + " s to give up");
            if (!s.link().IsLinkActive()) o.fail("a stalled send ended the connection");
            ::kill(s.child(), SIGKILL);
        }
        check_broken_pipe(o, s.link(), c.iteration, o.status);
    }
    // A hang is reported as such; the status an interrupted call returns
    // says nothing more.
    if ((connected == 0 || p.direction == kConnectOnly) && !o.hang) expect_status(o, p.name, o.status, p.allowed);
    s.close(o, 128 + SIGKILL);
}

// After the fault the same link object serves a healthy peer.
void run_recovery(Links& links, const Case& fault, Outcome& o) {
    Case c = fault;
    const Direction d = info(fault.point).direction == kSend ? kSend : kReceive;
    Rng rng(static_cast<uint64_t>(fault.iteration) * 31337u + 11);
    c.ack = d == kSend ? (rng() & 1) : fault.ack;
    c.kind = pick_kind(rng, d, c.ack);
    c.payload = pick(rng, 8, 8192);
    tvt::Record rec;
    tvt::build_record(c.kind, static_cast<uint32_t>(c.iteration) + 1000000u, c.payload, rec);
    const size_t problems_before = o.problems.size();
    Session s(links, c);
    const int connected = s.open(o, [&](int port, tt::RawListener* l) { return healthy_peer(c, d, rec, port, l); });
    if (connected != 0) {
        o.fail("the next peer: Connect returned " + status_text(connected));
    } else if (d == kReceive) {
        Bytes got;
        int st = timed(o, "the next peer's receive", kCallBudget,
                       [&] { return receive_record(s.link(), c.kind, c.ack, got); });
        if (st != 0)
            o.fail("the next peer's record: receive returned " + status_text(st));
        else if (got != trl::delivered_bytes(rec))
            o.fail("the next peer's record arrived changed");
    } else {
        int st = timed(o, "the next peer's send", kCallBudget,
                       [&] { return send_record(s.link(), rec, static_cast<int>(pick(rng, 1, 4)), c.ack); });
        if (st != 0) o.fail("the next peer's record: SendEvent returned " + status_text(st));
    }
    s.close(o, connected == 0 ? 0 : -1);
    o.recovered = o.problems.size() == problems_before;
}

// ---------------------------------------------------------------------------
// The run

struct PointTally {
    int iterations = 0;
    std::map<int, int> statuses;
    int recovered = 0;
    int failures = 0;
    double max_seconds = 0;
};

struct Totals {
    int iterations = 0;
    int failed_iterations = 0;
    int hangs = 0;
    int descriptor_leaks = 0;
    int broken_pipe_checked = 0;
    int broken_pipe_ok = 0;
    std::vector<std::string> failures;
};

bool setup_links(Links& links, FILE* report) {
    for (int local = 0; local < 2; ++local)
        for (int bigend = 0; bigend < 2; ++bigend) {
            tvt::use_local_socket(local != 0);
            links.accepting[local][bigend].reset(new Tarvex(bigend ? Tarvex::BIGEND_MODE : Tarvex::NATIVE_MODE));
            int port = 0;
            int st = tvt::listen_on(*links.accepting[local][bigend], port);
            if (st != 0) {
                std::fprintf(report, "tarvex-faults: SocketSetup failed: %s\n", status_text(st).c_str());
                return false;
            }
            links.port[local][bigend] = port;
        }
    return true;
}

void release_links(Links& links) {
    for (int local = 0; local < 2; ++local)
        for (int bigend = 0; bigend < 2; ++bigend) {
            tvt::use_local_socket(local != 0);  // the release removes the file of the transport in force
            links.accepting[local][bigend]->SocketRelease();
            links.accepting[local][bigend].reset();
        }
}

std::vector<Point> parse_points(const std::string& list, const tvt::Options& opt) {
    std::vector<std::string> names;
    for (const PointInfo& p : kPoints) names.push_back(p.name);
    std::vector<size_t> picked;
    std::string unknown;
    if (!trl::pick_names(list.empty() ? "all" : list, names, picked, unknown))
        opt.fail("unknown fault point '" + unknown + "'");
    std::vector<Point> out;
    for (size_t i : picked) out.push_back(kPoints[i].point);
    return out;
}

void print_report(FILE* f, uint64_t seed, const std::map<Point, PointTally>& tally, const Totals& t, double secs) {
    std::fprintf(f, "\ntarvex-faults: seed %llu, %d iterations in %.1f s\n\n", static_cast<unsigned long long>(seed),
                 t.iterations, secs);
    std::fprintf(f, "%-17s %5s  %-44s %9s %8s %7s\n", "fault point", "runs", "status of the call under fault",
                 "recovered", "failures", "max s");
    for (const PointInfo& p : kPoints) {
        auto it = tally.find(p.point);
        if (it == tally.end()) continue;
        const PointTally& pt = it->second;
        std::string statuses;
        for (const auto& s : pt.statuses)
            statuses += (statuses.empty() ? "" : ", ") +
                        std::string(s.first < 0 ? "none" : tarvex_status_name(s.first)) + " " +
                        std::to_string(s.second);
        std::fprintf(f, "%-17s %5d  %-44s %9d %8d %7.2f\n", p.name, pt.iterations, statuses.c_str(), pt.recovered,
                     pt.failures, pt.max_seconds);
    }
    std::fprintf(f, "\nfault points, and what the surviving end may return:\n");
    for (const PointInfo& p : kPoints) {
        if (tally.find(p.point) == tally.end()) continue;
        std::string set;
        for (int s : p.allowed) set += (set.empty() ? "" : ", ") + std::string(tarvex_status_name(s));
        std::fprintf(f, "  %-17s %s: %s\n", p.name, p.means, set.c_str());
    }
    std::fprintf(f, "\nbroken pipe: %d of %d sends into a dead peer ended in ERR_SEND with the link disconnected\n",
                 t.broken_pipe_ok, t.broken_pipe_checked);
    std::fprintf(
        f, "hangs: %d   crashes: 0   descriptor leaks: %d   memory leaks: %s\n", t.hangs, t.descriptor_leaks,
        trl::leak_checker_active() ? "checked by LeakSanitizer at exit" : "not checked (build without sanitizer)");
    if (!t.failures.empty()) {
        std::fprintf(f, "\n%d failed iterations:\n", t.failed_iterations);
        for (size_t i = 0; i < t.failures.size() && i < 60; ++i) std::fprintf(f, "  %s\n", t.failures[i].c_str());
    }
    std::fprintf(f, "\nresult: %s\n", t.failed_iterations == 0 ? "PASS" : "FAIL");
    std::fflush(f);
}

// The link's diagnostics (several lines per fault) go to `path`; the report
// keeps the original standard output.  Returns the report stream.
FILE* divert_diagnostics(const std::string& path, int saved[2]) {
    std::fflush(nullptr);
    saved[0] = ::dup(STDOUT_FILENO);
    saved[1] = ::dup(STDERR_FILENO);
    trl::redirect_output(path, true);
    trl::deadline_report_fd(saved[1]);
    return ::fdopen(::dup(saved[0]), "w");
}

void restore_diagnostics(const int saved[2]) {
    std::fflush(nullptr);
    ::dup2(saved[0], STDOUT_FILENO);
    ::dup2(saved[1], STDERR_FILENO);
    ::close(saved[0]);
    ::close(saved[1]);
    trl::deadline_report_fd(STDERR_FILENO);
}

}  // namespace

int main(int argc, char** argv) {
    tvt::Options opt("tarvex-faults", "tarvex-faults [--seed N] [--iterations N] [--points LIST] [--diag FILE]",
                     "Kills and stalls peer processes at chosen bytes of the preamble, headers, bodies and "
                     "acknowledgements, and checks that the surviving link returns a status its contract allows, "
                     "in time, without leaking, and then serves the next peer normally. Exits 1 on any failure.",
                     {{"seed", "N", "seed of the case generator (default 1)"},
                      {"iterations", "N", "number of faults (default 300)"},
                      {"points", "LIST", "comma-separated fault points to use (default all)"},
                      {"diag", "FILE", "where the link's own diagnostics go (default /dev/null)"},
                      {"verbose", nullptr, "one line per iteration"}});
    opt.parse(argc, argv);
    const uint64_t seed = static_cast<uint64_t>(opt.integer("seed", 1));
    const int iterations = static_cast<int>(opt.integer("iterations", 300));
    const std::vector<Point> points = parse_points(opt.text("points", "all"), opt);
    const bool verbose = opt.has("verbose");

    int saved[2];
    FILE* report = divert_diagnostics(opt.text("diag", "/dev/null"), saved);
    std::fprintf(report, "tarvex-faults: seed %llu, %d iterations, %zu fault points\n",
                 static_cast<unsigned long long>(seed), iterations, points.size());
    std::fflush(report);

    Links links;
    if (!setup_links(links, report)) return 1;
    const int descriptors = trl::open_descriptors();

    Rng rng(seed);
    std::map<Point, PointTally> tally;
    Totals t;
    const double start = tvt::now();
    for (int i = 0; i < iterations; ++i) {
        const Case c = make_case(i, pick_point(rng, points), rng);
        Outcome o;
        run_fault(links, c, o);
        if (!o.hang) run_recovery(links, c, o);
        const int now_open = trl::open_descriptors();
        if (now_open != descriptors) {
            ++t.descriptor_leaks;
            o.fail("open descriptors went from " + std::to_string(descriptors) + " to " + std::to_string(now_open));
        }

        PointTally& pt = tally[c.point];
        ++pt.iterations;
        ++pt.statuses[o.status];
        pt.recovered += o.recovered;
        pt.max_seconds = std::max(pt.max_seconds, o.seconds);
        t.hangs += o.hang;
        t.broken_pipe_checked += o.broken_pipe_checked;
        t.broken_pipe_ok += o.broken_pipe_ok;
        ++t.iterations;
        if (!o.problems.empty()) {
            ++pt.failures;
            ++t.failed_iterations;
            for (const std::string& p : o.problems) t.failures.push_back(describe(c) + ": " + p);
        }
        if (verbose || !o.problems.empty())
            std::fprintf(report, "%s -> %s in %.3f s%s\n", describe(c).c_str(), status_text(o.status).c_str(),
                         o.seconds, o.problems.empty() ? "" : "  FAILED");
        else if ((i + 1) % 50 == 0)
            std::fprintf(report, "  %d iterations, %d failed\n", i + 1, t.failed_iterations);
        std::fflush(report);
    }
    release_links(links);
    print_report(report, seed, tally, t, tvt::now() - start);
    std::fclose(report);
    restore_diagnostics(saved);
    return t.failed_iterations == 0 ? 0 : 1;
}
