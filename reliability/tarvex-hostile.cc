// tarvex-hostile: hostile peers against real links.
//
// Every case puts a link opposite a peer that means harm, played with raw
// sockets or by a process of another user: headers that announce gigabytes,
// an address space too small for them, bytes that trickle or stop inside a
// record, strays and floods of connections, a stray that speaks the other
// byte order, a squatter on the local socket file, garbage, resets and
// half-closes in every phase of a record, a listener that never sends the
// preamble.  Each case asserts its bounds: the status of the call under
// attack and its wall time, the CPU time and the growth of peak memory of
// the process, no descriptor left open, and that the next good record
// arrives whole.
//
// Every case runs in a child process of its own, so that a crash, a hang or
// an address-space limit stays with its case: the parent kills a child that
// overruns its case's time and reports a crash by its signal.  The details
// of each case (byte splits, cut points, sizes, filler, whether a switch is
// set by its member or its environment variable) come from a seeded
// generator, so a run is repeated exactly with the same --seed.  The
// link's own lines go to --diag (discarded by default); the report goes to
// standard output.  Exits 1 when any case breaks a bound.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "Options.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Records.h"
#include "System.h"
#include "Tarvex.h"
#include "detail/Kinds.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Rng = std::mt19937_64;
using tvt::Kind;

// ---------------------------------------------------------------------------
// Constants of the attacks

constexpr uid_t kOtherUser = 65534;  // "nobody": the other local user
const char* const kAllowedPeer = "127.0.0.2";
const char* const kStrayPeer = "127.0.0.1";
const char* const kAllowList = "127.0.0.2/32";
constexpr unsigned long long kMaxRecord = 1u << 20;
constexpr rlim_t kAddressSpaceCap = 1ull << 30;
constexpr int kShortWaitMs = 300;  // the record and preamble time limits, the idle wait, the timer signal
constexpr int kFloodStrays = 200;
constexpr int kServedStrays = 20;
constexpr int kPeerWaitMs = 5000;
constexpr int kNoStatus = -1000;
constexpr uint32_t kPreambleNative = 0x0a0b0c0d;

// ---------------------------------------------------------------------------
// The table of cases

enum class Limit { None, MaxRecord, CappedMemory };
enum class Phase { Pattern, Header, Body };
enum class Ending { HalfClose, Reset };
enum class Need { Nothing, Root, NoSanitizer };

// What a case varies; each run function reads the fields it needs.
struct Params {
    Kind kind = Kind::Event2010;
    Limit limit = Limit::None;
    Phase phase = Phase::Body;
    Ending ending = Ending::HalfClose;
    bool allow_list = false;
    bool record_timeout = false;
    bool by_signal = false;  // a timer signal, not a time limit, ends the wait
};

// The bounds a case must keep.
struct Bounds {
    std::vector<int> statuses;  // of the call under attack
    double min_s;               // its wall time
    double max_s;
    double cpu_s;    // CPU time of the case's process
    long memory_kb;  // growth of its peak resident memory
    double limit_s;  // the child is killed after this long
    // Under AddressSanitizer an allocation costs shadow memory (an eighth of
    // its size) and the time to write it, whether or not the program touches
    // it: a receiver that allocates an announced length of 4 GiB, untouched,
    // shows 512 MiB more and seconds of CPU.  Rows where the link may do so
    // allow that much more there.
    long sanitizer_memory_kb = 0;
    double sanitizer_cpu_s = 0;
};

class Case;

struct Row {
    std::string name;
    std::string attack;  // what the hostile side does
    void (*run)(Case&);
    Params p;
    Bounds bounds;
    Need need;
    bool checks_next;  // whether the next good record is part of the case
};

// ---------------------------------------------------------------------------
// What a child reports to the parent, in one write

enum NextRecord { kNextUnchecked = 0, kNextWhole = 1, kNextBroken = 2 };

struct Report {
    int status;
    double call_s;
    double cpu_s;
    long memory_kb;
    int descriptors;  // left open beyond those at the start
    int next;
    int skipped;
    char text[2560];  // problems, or why the case was skipped
};

std::string status_text(int st) {
    if (st == kNoStatus) return "none";
    return std::string(tarvex_status_name(st));
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

double cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Starts the peak of resident memory afresh (the kernel's "5" of
// clear_refs), so that the peak at the end is the case's own.
void reset_peak_memory() {
    int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t ignored = ::write(fd, "5", 1);
    (void)ignored;
    ::close(fd);
}

// ---------------------------------------------------------------------------
// The case as its child process runs it

// A switch of the link: its variable, and its member taking the variable's text.
struct Switch {
    const char* variable;
    int (*member)(Tarvex& link, const std::string& value);
};

const Switch kMaxRecordSwitch{"KBR7_TARVEX_MAX_RECORD",
                              [](Tarvex& l, const std::string& v) { return l.set_max_record(std::stoull(v)); }};
const Switch kRecordTimeoutSwitch{"KBR7_TARVEX_RECORD_TIMEOUT_MS",
                                  [](Tarvex& l, const std::string& v) { return l.set_record_timeout(std::stoi(v)); }};
const Switch kPreambleTimeoutSwitch{"KBR7_TARVEX_PREAMBLE_TIMEOUT_MS", [](Tarvex& l, const std::string& v) {
                                        return l.set_preamble_timeout(std::stoi(v));
                                    }};
const Switch kAllowPeersSwitch{"KBR7_TARVEX_ALLOW_PEERS",
                               [](Tarvex& l, const std::string& v) { return l.set_allowed_peers(v.c_str()); }};
const Switch kAllowUidsSwitch{"KBR7_TARVEX_ALLOW_UIDS",
                              [](Tarvex& l, const std::string& v) { return l.set_allowed_uids(v.c_str()); }};
const Switch kBindAddressSwitch{"KBR7_TARVEX_BIND_ADDR",
                                [](Tarvex& l, const std::string& v) { return l.set_bind_address(v.c_str()); }};
const Switch kSocketDirSwitch{"KBR7_TARVEX_SOCK_DIR",
                              [](Tarvex& l, const std::string& v) { return l.set_socket_dir(v.c_str()); }};
const Switch kSocketModeSwitch{"KBR7_TARVEX_SOCK_MODE", [](Tarvex& l, const std::string& v) {
                                   return l.set_socket_mode(static_cast<int>(std::stoul(v, nullptr, 8)));
                               }};
const Switch kReuseSwitch{"KBR7_TARVEX_REUSE_ADDR",
                          [](Tarvex& l, const std::string&) { return l.set_reuse_address(true); }};

class Case {
public:
    Case(const Row& row, uint64_t seed) : row(row), rng(seed ^ std::hash<std::string>()(row.name)), ring(4u << 20) {
        by_variable = rng() & 1;
        report = Report{};
        report.status = kNoStatus;
    }

    const Row& row;
    Rng rng;
    bool by_variable;  // switches set through their variables instead of the members
    RNG_RingBuffer ring;
    Report report;
    std::vector<std::string> lines;  // the link's diagnostics during the case

    size_t pick(size_t lo, size_t hi) { return lo + static_cast<size_t>(rng() % (hi - lo + 1)); }

    void fail(const std::string& what) {
        const size_t used = std::strlen(report.text);
        std::snprintf(report.text + used, sizeof report.text - used, "%s%s", used ? "; " : "", what.c_str());
    }
    bool check(bool ok, const std::string& what) {
        if (!ok) fail(what);
        return ok;
    }
    bool expect(const char* what, int st, int want) {
        return check(st == want, format("%s returned %s (%d), expected %s", what, status_text(st).c_str(), st,
                                        status_text(want).c_str()));
    }

    // The call under attack: its status and wall time are what the bounds
    // judge.
    template <class Call>
    int attack(Call&& call) {
        const double start = tvt::now();
        const int st = call();
        report.call_s = tvt::now() - start;
        report.status = st;
        return st;
    }

    void set(Tarvex& link, const Switch& s, const std::string& value) {
        if (by_variable) {
            ::setenv(s.variable, value.c_str(), 1);
            return;
        }
        check(s.member(link, value) == 0, std::string("the member of ") + s.variable + " refused " + value);
    }

    int lines_with(const std::string& text) const {
        return static_cast<int>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l == text; }));
    }
};

Case* g_case = nullptr;
int g_diag_fd = -1;

// Every line of the link goes to the case (for the lines a case counts)
// and to the diagnostics file, marked with the case.
void collect_line(int level, const char* line, void*) {
    if (g_case == nullptr) return;
    g_case->lines.emplace_back(line);
    if (g_diag_fd < 0) return;
    const std::string text = "[" + g_case->row.name + "] " + (level == TARVEX_LOG_ERROR ? "E " : "I ") + line + "\n";
    ssize_t ignored = ::write(g_diag_fd, text.data(), text.size());
    (void)ignored;
}

// ---------------------------------------------------------------------------
// Bytes of the attacks

// Bytes of every value but 0xff: no record or intro pattern, in either byte
// order, can form in them (every pattern holds 0xff bytes).
Bytes garbage(Case& c, size_t n) {
    Bytes b(n);
    for (unsigned char& x : b) x = static_cast<unsigned char>(c.rng() % 0xff);
    return b;
}

Bytes cat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

bool is_intro_kind(Kind k) { return k == Kind::Image || k == Kind::Spectrum; }

// The longest length a header of `kind` can announce that a receiver with no
// limit would try to allocate: 2^32-1 for events and slow data; for images
// and spectra, whose body the caller bounds by an int, 2^31-1.
uint64_t huge_length(Kind kind) { return is_intro_kind(kind) ? 0x7fffffffu : 0xffffffffu; }

// A header (or intro) of `kind`, as a sender writes it, announcing `length`.
Bytes header_announcing(Case& c, Kind kind, uint64_t length) {
    tvt::Record r;
    tvt::build_record(kind, static_cast<uint32_t>(c.pick(1, 1000)), 64, r);
    Bytes h(r.bytes.begin(), r.bytes.begin() + static_cast<long>(tvt::info(kind).fixed_size));
    // Images and spectra start with {pattern, length}; the others keep the
    // length where their row says.
    const tarvex::kinds::KindRow& row = tarvex::kinds::row(kind);
    const size_t at = is_intro_kind(kind) ? sizeof(uint32_t) : row.length_offset;
    if (!is_intro_kind(kind) && row.length_width == 8) {
        std::memcpy(h.data() + at, &length, sizeof length);
    } else {
        const uint32_t l = static_cast<uint32_t>(length);
        std::memcpy(h.data() + at, &l, sizeof l);
    }
    return h;
}

// A good record: what the peer sends, and what the receiver must hand over.
struct Good {
    tvt::Record rec;
    Bytes wire;
    Bytes delivered;
};

Good good_record(Case& c, Kind kind) {
    Good g;
    tvt::build_record(kind, static_cast<uint32_t>(c.pick(1, 1u << 30)), c.pick(8, 2048), g.rec);
    g.wire = trl::wire_bytes(g.rec, false);
    g.delivered = trl::delivered_bytes(g.rec);
    return g;
}

// Where a record of `kind` is cut in `phase`: inside its pattern, inside its
// header, or inside its body.
size_t cut_in(Case& c, const Good& g, Phase phase) {
    const size_t fixed = tvt::info(g.rec.kind).fixed_size;
    switch (phase) {
        case Phase::Pattern: return c.pick(1, 3);
        case Phase::Header: return c.pick(4, fixed - 1);
        case Phase::Body: return c.pick(fixed, g.wire.size() - 1);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Peers

std::string socket_file(const std::string& dir, int port) { return dir + "/" + std::to_string(port) + ".tcp"; }

// A port free on every address, whose default socket path is free as well.
// The cases' peers bind their own addresses (127.0.0.2 among them), and a
// port one of them left in TIME_WAIT there is free on 127.0.0.1 but not for
// a listener on every interface, so the test binds as the listener will.
int free_port() {
    const int port = tt::pick_port();
    if (port > 0) return port;
    std::fprintf(stderr, "tarvex-hostile: no free port\n");
    std::_Exit(1);
}

void set_nodelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A TCP connection from `source` to `dest`:`port`; invalid when refused.
tt::RawPeer tcp_peer(const char* source, const char* dest, int port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, dest, &to.sin_addr);
    if (::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(s);
        return tt::RawPeer();
    }
    set_nodelay(s);
    return tt::RawPeer(s);
}

tt::RawPeer tcp_peer(int port) { return tcp_peer("127.0.0.1", "127.0.0.1", port); }

sockaddr_un local_address(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    return a;
}

tt::RawPeer local_peer(const std::string& path) {
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = local_address(path);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return tt::RawPeer();
    }
    return tt::RawPeer(s);
}

void reset_connection(tt::RawPeer& p) {
    linger l{1, 0};
    ::setsockopt(p.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    p.close();
}

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
    Feeder(tt::RawPeer& peer, std::vector<Piece> pieces, After after)
        : thread_([&peer, pieces = std::move(pieces), after] {
              for (const Piece& p : pieces) {
                  if (p.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(p.pause_ms));
                  if (!peer.send(p.bytes)) return;
              }
              if (after == After::HalfClose) peer.shutdown_write();
              if (after == After::Reset) reset_connection(peer);
          }) {}
    ~Feeder() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

// `bytes` in the pieces the seed chooses: at once, in random chunks, or
// (when short) byte by byte.
std::vector<Feeder::Piece> split(Case& c, const Bytes& bytes) {
    const int style = static_cast<int>(c.rng() % 3);
    if (style == 0 || bytes.empty()) return {{bytes, 0}};
    std::vector<Feeder::Piece> out;
    for (size_t at = 0; at < bytes.size();) {
        const size_t n = style == 2 && bytes.size() <= 256 ? 1 : std::min(bytes.size() - at, c.pick(1, 8192));
        out.push_back({Bytes(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + n)),
                       style == 2 ? 1 : 0});
        at += n;
    }
    return out;
}

// One byte at a time, `gap_ms` apart.
std::vector<Feeder::Piece> trickle(const Bytes& bytes, int gap_ms) {
    std::vector<Feeder::Piece> out;
    for (unsigned char b : bytes) out.push_back({Bytes{b}, gap_ms});
    return out;
}

// Runs `body` in a process of the other user (this process must be root);
// its exit code is its answer.
pid_t as_other_user(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0) std::_Exit(97);
        std::_Exit(body());
    }
    return pid;
}

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
bool take(Case& c, AcceptingEnd& end, tt::RawPeer& peer) {
    if (!c.check(peer.valid(), "the peer could not connect")) return false;
    if (!c.expect("Connect(true)", end.link.Connect(true), 0)) return false;
    return c.check(peer.read_exact(4, kPeerWaitMs).size() == 4, "the peer got no preamble");
}

// One record of `kind` as a caller receives it: the event receiver waiting
// as long as the pattern takes to come together (a scan that would block is
// called again, as a caller does), or the image or spectrum receiver, which
// allocates the body itself.  `got` holds the record as delivered.
int receive(Case& c, Tarvex& link, Kind kind, Bytes& got) {
    got.clear();
    if (is_intro_kind(kind)) {
        char* body = nullptr;
        int st;
        kbr7_image_ext_intro image{};
        kbr7_spect_intro spectrum{};
        const unsigned char* intro = kind == Kind::Image ? reinterpret_cast<const unsigned char*>(&image)
                                                         : reinterpret_cast<const unsigned char*>(&spectrum);
        const size_t intro_size = kind == Kind::Image ? sizeof image : sizeof spectrum;
        st = kind == Kind::Image ? link.ReceiveImage(&image, &body, INT_MAX)
                                 : link.ReceiveSpect(&spectrum, &body, INT_MAX);
        if (st == 0) {
            uint32_t length;
            std::memcpy(&length, intro + sizeof(uint32_t), sizeof length);
            got.assign(intro, intro + intro_size);
            got.insert(got.end(), body, body + (length - intro_size));
        }
        delete[] body;  // the caller's on every path
        return st;
    }
    int st;
    // Each new call waits for bytes first, so the loop ends with the stream.
    do st = link.ReceiveEvent(nullptr, -1, kPeerWaitMs / 1000, 0);
    while (st == ERR_SCAN_AGAIN);
    if (st != 0) return st;
    st = link.WriteBlockToRingBuffer(c.ring);
    if (st != 0) return st;
    got.resize(c.ring.nextRecordSize());
    c.ring.Read(reinterpret_cast<char*>(got.data()), got.size());
    return 0;
}

// One call of the event receiver that waits `ms` for a record and expects
// none: what a caller's loop does while its peer is idle.
int probe(Tarvex& link, int ms) { return link.ReceiveEvent(nullptr, 1, ms / 1000, (ms % 1000) * 1000); }

// The next good record must arrive whole on `link`.
void expect_whole(Case& c, Tarvex& link, const Good& g) {
    Bytes got;
    const int st = receive(c, link, g.rec.kind, got);
    const bool whole = st == 0 && got == g.delivered;
    c.report.next = whole ? kNextWhole : kNextBroken;
    if (st != 0)
        c.fail("the next good record: receive returned " + status_text(st));
    else if (!whole)
        c.fail(format("the next good record arrived changed (%zu bytes, %zu sent)", got.size(), g.delivered.size()));
}

// After a peer has gone: the accepting end disconnects, and a new peer's
// good record must arrive whole.
void next_peer_whole(Case& c, AcceptingEnd& end, Kind kind) {
    if (end.link.IsLinkActive()) c.expect("Disconnect", end.link.Disconnect(), 0);
    tt::RawPeer next = tcp_peer(end.port);
    if (!take(c, end, next)) return;
    const Good g = good_record(c, kind);
    Feeder f(next, split(c, g.wire), After::StayOpen);
    expect_whole(c, end.link, g);
}

// An accepting TCP end that has taken one peer; false (with the problem
// noted) when that failed.
bool serve(Case& c, AcceptingEnd& end, tt::RawPeer& peer) {
    if (!c.expect("SocketSetup", end.link.SocketSetup(end.port), 0)) return false;
    peer = tcp_peer(end.port);
    return take(c, end, peer);
}

// ---------------------------------------------------------------------------
// Huge lengths

void run_huge(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    if (p.limit == Limit::MaxRecord) c.set(end.link, kMaxRecordSwitch, std::to_string(kMaxRecord));
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    const Good g = good_record(c, p.kind);
    Bytes bytes = header_announcing(c, p.kind, huge_length(p.kind));
    // With a limit the stream goes on: filler the scan passes over, then the
    // good record.  Without one the receiver takes everything as the body,
    // and the peer's end of the stream ends the call.
    if (p.limit != Limit::None) bytes = cat(cat(bytes, garbage(c, c.pick(1, 4000))), g.wire);
    if (p.limit == Limit::CappedMemory) {
        const rlimit cap{kAddressSpaceCap, kAddressSpaceCap};
        c.check(::setrlimit(RLIMIT_AS, &cap) == 0, "setrlimit(RLIMIT_AS) failed");
    }
    Feeder f(peer, split(c, bytes), After::HalfClose);
    Bytes got;
    c.attack([&] { return receive(c, end.link, p.kind, got); });
    if (p.limit == Limit::None) {
        f.join();
        peer.close();
        next_peer_whole(c, end, p.kind);
    } else {
        expect_whole(c, end.link, g);
    }
}

// ---------------------------------------------------------------------------
// Slow and stalled peers

void run_trickle(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    if (p.record_timeout) c.set(end.link, kRecordTimeoutSwitch, "5000");
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    Good g;
    tvt::build_record(p.kind, static_cast<uint32_t>(c.pick(1, 1000)), c.pick(200, 300), g.rec);
    g.wire = trl::wire_bytes(g.rec, false);
    g.delivered = trl::delivered_bytes(g.rec);
    Feeder f(peer, trickle(g.wire, 2), After::StayOpen);
    Bytes got;
    const int st = c.attack([&] { return receive(c, end.link, p.kind, got); });
    c.report.next = st == 0 && got == g.delivered ? kNextWhole : kNextBroken;
    if (st == 0) c.check(got == g.delivered, "the trickled record arrived changed");
}

void run_stall(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    c.set(end.link, kRecordTimeoutSwitch, std::to_string(kShortWaitMs));
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    const Good stalled = good_record(c, p.kind);
    const size_t cut = cut_in(c, stalled, p.phase);
    {
        Feeder f(peer, split(c, Bytes(stalled.wire.begin(), stalled.wire.begin() + static_cast<long>(cut))),
                 After::StayOpen);
        Bytes got;
        c.attack([&] { return receive(c, end.link, p.kind, got); });
    }
    // The peer is still there and now behaves: the partial record is gone,
    // and the next call scans afresh.
    const Good g = good_record(c, p.kind);
    Feeder f(peer, split(c, g.wire), After::StayOpen);
    expect_whole(c, end.link, g);
}

// ---------------------------------------------------------------------------
// Idle and gone peers, garbage, resets and half-closes

void run_idle(Case& c) {
    AcceptingEnd end;
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    c.attack([&] { return probe(end.link, kShortWaitMs); });
    c.check(!end.link.get_peer_closed(), "get_peer_closed() is true for an idle peer");
    const Good g = good_record(c, Kind::Event2010);
    Feeder f(peer, split(c, g.wire), After::StayOpen);
    expect_whole(c, end.link, g);
}

void run_gone(Case& c) {
    AcceptingEnd end;
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    peer.shutdown_write();
    c.attack([&] { return probe(end.link, kShortWaitMs); });
    c.check(end.link.get_peer_closed(), "get_peer_closed() is false after the peer has gone");
    peer.close();
    next_peer_whole(c, end, Kind::Event2010);
}

void run_garbage(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    // Below the scan's limit of 200000 bytes the record is found in the same
    // call, however the garbage is split.
    const size_t n = c.pick(1000, 150000);
    const Good g = good_record(c, p.kind);
    Feeder f(peer, split(c, cat(garbage(c, n), g.wire)), After::StayOpen);
    const unsigned long long skipped_before = end.link.get_scan_skipped_total();
    Bytes got;
    const int st = c.attack([&] { return receive(c, end.link, p.kind, got); });
    c.report.next = st == 0 && got == g.delivered ? kNextWhole : kNextBroken;
    if (st == 0) c.check(got == g.delivered, "the record behind the garbage arrived changed");
    const unsigned long long skipped = end.link.get_scan_skipped_total() - skipped_before;
    if (!is_intro_kind(p.kind))
        c.check(skipped == n, format("the scan skipped %llu bytes, %zu were garbage", skipped, n));
}

void run_broken(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    const Good g = good_record(c, p.kind);
    const size_t cut = cut_in(c, g, p.phase);
    {
        Feeder f(peer, split(c, Bytes(g.wire.begin(), g.wire.begin() + static_cast<long>(cut))),
                 p.ending == Ending::HalfClose ? After::HalfClose : After::Reset);
        f.join();
        Bytes got;
        c.attack([&] { return receive(c, end.link, p.kind, got); });
    }
    if (p.ending == Ending::HalfClose)
        c.check(end.link.get_peer_closed(), "get_peer_closed() is false after a half-close");
    peer.close();
    next_peer_whole(c, end, p.kind);
}

// ---------------------------------------------------------------------------
// Strays and floods

// Reads what the link sends `p` until it closes the connection (the end of
// the stream or a reset); false when it has not closed within the peer
// wait.  `bytes` counts what came before.
bool read_until_closed(tt::RawPeer& p, size_t& bytes) {
    bytes = 0;
    const long long deadline = tt::now_ms() + kPeerWaitMs;
    char chunk[4096];
    while (tt::now_ms() < deadline) {
        pollfd pf{p.fd(), POLLIN, 0};
        if (::poll(&pf, 1, static_cast<int>(deadline - tt::now_ms())) <= 0) continue;
        const ssize_t n = ::recv(p.fd(), chunk, sizeof chunk, 0);
        if (n > 0) bytes += static_cast<size_t>(n);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
    return false;
}

void check_refusals(Case& c, AcceptingEnd& end, int strays) {
    c.check(end.link.get_refused_peers() == static_cast<unsigned long long>(strays),
            format("get_refused_peers() is %llu, expected %d", end.link.get_refused_peers(), strays));
    const std::string line = std::string("Connect(): peer ") + kStrayPeer + " is not allowed, connection closed";
    c.check(c.lines_with(line) == strays,
            format("%d lines '%s', expected %d", c.lines_with(line), line.c_str(), strays));
}

void run_stray(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    if (p.allow_list) c.set(end.link, kAllowPeersSwitch, kAllowList);
    if (!c.expect("SocketSetup", end.link.SocketSetup(end.port), 0)) return;
    // The stray is first in line; with the other byte order (the row's
    // kind says Legacy for it) it would switch conversion on.
    const bool reversed = p.kind == Kind::Legacy;
    tt::RawPeer stray = tcp_peer(kStrayPeer, "127.0.0.1", end.port);
    const Good stray_record = good_record(c, Kind::Event2010);
    const Bytes stray_bytes = trl::wire_bytes(stray_record.rec, reversed);
    if (!c.check(stray.valid() && stray.send(stray_bytes), "the stray could not connect")) return;
    tt::RawPeer real = tcp_peer(kAllowedPeer, "127.0.0.1", end.port);
    const Good g = good_record(c, Kind::Event2010);
    if (!c.check(real.valid() && real.send(g.wire), "the real peer could not connect")) return;

    c.attack([&] { return end.link.Connect(true); });
    if (p.allow_list) {
        size_t sent = 0;
        c.check(read_until_closed(stray, sent), "the stray was not closed");
        c.check(sent == 0, format("the stray was sent %zu bytes", sent));
        check_refusals(c, end, 1);
        c.check(real.read_exact(4, kPeerWaitMs).size() == 4, "the real peer got no preamble");
        expect_whole(c, end.link, g);
        c.check(!end.link.get_swap(), "conversion is on for the real peer");
        return;
    }
    // Without a list the first in line is the peer, as specified: its
    // record is taken (and a reversed one switches conversion on).
    Bytes got;
    c.check(receive(c, end.link, Kind::Event2010, got) == 0 && got == stray_record.delivered,
            "the stray's record was not received, although no list keeps it out");
    if (reversed) {
        c.check(end.link.get_swap(), "a reversed record did not switch conversion on");
        return;  // the switch carries over to the next peer, as specified
    }
    c.expect("Disconnect", end.link.Disconnect(), 0);
    stray.close();
    c.expect("Connect(true) for the real peer", end.link.Connect(true), 0);
    c.check(real.read_exact(4, kPeerWaitMs).size() == 4, "the real peer got no preamble");
    expect_whole(c, end.link, g);
}

// Many strays, never more than a few of them waiting in the listen backlog
// (5 places; a full backlog would have the kernel drop connections and the
// flood slow down to TCP's retries), then the real peer.  With an allow
// list the link must close each stray at once, sending it nothing; without
// one it serves each in turn, as specified.
void run_flood(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    if (p.allow_list) c.set(end.link, kAllowPeersSwitch, kAllowList);
    if (!c.expect("SocketSetup", end.link.SocketSetup(end.port), 0)) return;
    const int strays = p.allow_list ? kFloodStrays : kServedStrays;
    const size_t waiting_at_most = p.allow_list ? 4 : 1;
    std::vector<Good> records;
    for (int i = 0; i < strays; ++i) records.push_back(good_record(c, Kind::Event2010));
    const Good g = good_record(c, Kind::Event2010);

    // A refused stray must get nothing, a served one its preamble only.
    const size_t due = p.allow_list ? 0 : 4;
    int wrong_bytes = 0, not_closed = 0;
    tt::RawPeer real;
    std::thread flood([&] {
        std::vector<tt::RawPeer> waiting;
        auto settle = [&](size_t keep) {
            while (waiting.size() > keep) {
                size_t got = 0;
                not_closed += !read_until_closed(waiting.front(), got);
                wrong_bytes += got != due;
                waiting.erase(waiting.begin());
            }
        };
        for (int i = 0; i < strays; ++i) {
            settle(waiting_at_most - 1);
            tt::RawPeer s = tcp_peer(kStrayPeer, "127.0.0.1", end.port);
            if (!s.valid() || !s.send(records[static_cast<size_t>(i)].wire)) ++not_closed;
            waiting.push_back(std::move(s));
        }
        settle(0);
        real = tcp_peer(kAllowedPeer, "127.0.0.1", end.port);
        if (real.valid()) real.send(g.wire);
    });
    c.attack([&] {
        if (p.allow_list) return end.link.Connect(true);
        for (int i = 0; i < strays; ++i) {
            int st = end.link.Connect(true);
            Bytes got;
            if (st == 0) st = receive(c, end.link, Kind::Event2010, got);
            if (st == 0 && got != records[static_cast<size_t>(i)].delivered) c.fail(format("stray %d: changed", i));
            if (st == 0) st = end.link.Disconnect();
            if (st != 0) return st;
        }
        return end.link.Connect(true);
    });
    flood.join();
    c.check(not_closed == 0, format("%d strays were not closed by the link", not_closed));
    c.check(wrong_bytes == 0, format("%d strays were sent other than %zu bytes", wrong_bytes, due));
    check_refusals(c, end, p.allow_list ? strays : 0);
    if (!c.check(real.valid(), "the real peer could not connect")) return;
    c.check(real.read_exact(4, kPeerWaitMs).size() == 4, "the real peer got no preamble");
    expect_whole(c, end.link, g);
}

// ---------------------------------------------------------------------------
// The connecting end and the preamble

volatile sig_atomic_t g_alarms = 0;
void on_alarm(int) { g_alarms = g_alarms + 1; }

// A timer signal after `ms` (no restart: a blocked call returns); 0 disarms.
void signal_after(int ms) {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    itimerval t{};
    t.it_value.tv_sec = ms / 1000;
    t.it_value.tv_usec = (ms % 1000) * 1000;
    ::setitimer(ITIMER_REAL, &t, nullptr);
}

// The connecting end, after a failed attempt, connects to a good listener
// and sends a good record, which must arrive whole.
void next_listener_whole(Case& c, Tarvex& link) {
    const int port = free_port();
    tt::RawListener listener(port, false);
    const Good g = good_record(c, Kind::Event2010);
    Bytes got;
    std::thread peer([&] {
        tt::RawPeer p = listener.accept(kPeerWaitMs);
        if (!p.valid() || !p.send(&kPreambleNative, sizeof kPreambleNative)) return;
        got = p.read_exact(g.wire.size(), kPeerWaitMs);
        p.sees_close(kPeerWaitMs);
    });
    int st = link.Connect("127.0.0.1", port);
    if (st == 0) {
        tvt::Record r = g.rec;
        iovec v[3];
        st = link.SendEvent(v, r.gather(v, 1), SendEvent_NOACK);
        link.Disconnect();
    }
    peer.join();
    link.SocketRelease();
    c.report.next = st == 0 && got == g.wire ? kNextWhole : kNextBroken;
    c.check(st == 0, "the next listener: the link returned " + status_text(st));
    c.check(st != 0 || got == g.wire, "the next listener got the record changed");
}

void run_preamble(Case& c) {
    const Params& p = c.row.p;
    const int port = free_port();
    tt::RawListener listener(port, false);
    Tarvex link(false);
    // Signal rows set no time limit: the timer signal is what ends the wait.
    const bool by_signal = p.by_signal;
    if (!by_signal) c.set(link, kPreambleTimeoutSwitch, std::to_string(kShortWaitMs));
    // The listener accepts and sends part of the preamble (Phase::Pattern),
    // or never accepts at all: the kernel completes the connection anyway.
    tt::RawPeer accepted;
    std::thread part;
    if (p.phase == Phase::Pattern)
        part = std::thread([&] {
            accepted = listener.accept(kPeerWaitMs);
            if (accepted.valid()) accepted.send(&kPreambleNative, 2);
        });
    if (by_signal) signal_after(kShortWaitMs);
    c.attack([&] { return link.Connect("127.0.0.1", port); });
    signal_after(0);
    if (part.joinable()) part.join();
    c.check(!link.IsLinkActive(), "the link is active after a failed preamble");
    if (!by_signal)
        c.check(c.lines_with("Connect(): failed to receive preamble: Connection timed out") == 1,
                "no line 'Connect(): failed to receive preamble: Connection timed out'");
    next_listener_whole(c, link);
}

// ---------------------------------------------------------------------------
// Addresses, reuse and the local socket

void run_bind_address(Case& c) {
    AcceptingEnd end;
    c.set(end.link, kBindAddressSwitch, kAllowedPeer);
    if (!c.expect("SocketSetup", c.attack([&] { return end.link.SocketSetup(end.port); }), 0)) return;
    tt::RawPeer elsewhere = tcp_peer("127.0.0.1", "127.0.0.1", end.port);
    c.check(!elsewhere.valid(), "a peer reached the listener on 127.0.0.1");
    elsewhere.close();
    tt::RawPeer peer = tcp_peer("127.0.0.1", kAllowedPeer, end.port);
    if (!take(c, end, peer)) return;
    const Good g = good_record(c, Kind::Event2010);
    Feeder f(peer, split(c, g.wire), After::StayOpen);
    expect_whole(c, end.link, g);
}

// Leaves `port` in TIME_WAIT the way a receiver that hung up first does:
// the connection it closed stays there for a minute.
void leave_time_wait(Case& c, int port, bool reuse) {
    Tarvex first(static_cast<int>(Tarvex::NATIVE_MODE));
    if (reuse) c.set(first, kReuseSwitch, "1");
    if (!c.expect("SocketSetup", first.SocketSetup(port), 0)) return;
    tt::RawPeer peer = tcp_peer(port);
    c.expect("Connect(true)", first.Connect(true), 0);
    peer.read_exact(4, kPeerWaitMs);
    first.Disconnect();
    peer.sees_close(kPeerWaitMs);
    peer.close();
    first.SocketRelease();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// A receiver restarted while its port is in TIME_WAIT: without address
// reuse it cannot listen again for a minute (as specified); with reuse,
// which its first run had as well (the connection in TIME_WAIT keeps the
// setting it was made with), it listens at once.
void run_time_wait(Case& c) {
    const int plain_port = free_port();
    leave_time_wait(c, plain_port, false);
    {
        Tarvex again(static_cast<int>(Tarvex::NATIVE_MODE));
        c.expect("SocketSetup without address reuse (as specified)", again.SocketSetup(plain_port), ERR_BIND);
    }
    const int port = free_port();
    leave_time_wait(c, port, true);
    AcceptingEnd end;
    end.port = port;
    c.set(end.link, kReuseSwitch, "1");
    if (c.attack([&] { return end.link.SocketSetup(port); }) != 0) return;
    tt::RawPeer peer = tcp_peer(port);
    if (!take(c, end, peer)) return;
    const Good g = good_record(c, Kind::Event2010);
    Feeder f(peer, split(c, g.wire), After::StayOpen);
    expect_whole(c, end.link, g);
}

void use_local_socket() { ::setenv("KBR7_TARVEX_SOCK_TYPE", "UNIX", 1); }

// A local socket file that nobody listens on any more: what a crashed
// receiver leaves behind.
void leave_stale_socket(const std::string& path) {
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = local_address(path);
    ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    ::close(s);
}

void serve_local_peer(Case& c, AcceptingEnd& end, const std::string& path) {
    tt::RawPeer peer = local_peer(path);
    if (!take(c, end, peer)) return;
    const Good g = good_record(c, Kind::Event2010);
    Feeder f(peer, split(c, g.wire), After::StayOpen);
    expect_whole(c, end.link, g);
}

// Waits (up to 2 s) until `n` bytes wait unread on `fd`.
bool queued(int fd, size_t n) {
    for (int i = 0; i < 2000; ++i) {
        int unread = 0;
        if (::ioctl(fd, FIONREAD, &unread) == 0 && static_cast<size_t>(unread) >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// More garbage than the scan passes over in one call: the call gives up
// with ERR_TIMEOUT after 200000 bytes, and the next call finds the record.
// The limit counts within one call, and a call that finds the stream empty
// returns (ERR_SCAN_AGAIN) to be called again, so the bytes must all wait on
// the socket before the call: a local socket holds them.  The window the
// scan gives up on (the 4 bytes behind the 200001st) is dropped uncounted,
// so it must hold garbage only.
void run_garbage_beyond(Case& c) {
    use_local_socket();
    AcceptingEnd end;
    if (!c.expect("SocketSetup", end.link.SocketSetup(end.port), 0)) return;
    tt::RawPeer peer = local_peer(socket_file("/tmp", end.port));
    if (!take(c, end, peer)) return;
    const size_t n = c.pick(200010, 200500);
    const Good g = good_record(c, Kind::Event2010);
    const Bytes bytes = cat(garbage(c, n), g.wire);
    peer.set_sndbuf(1 << 20);
    Feeder f(peer, {{bytes, 0}}, After::StayOpen);
    if (!c.check(queued(end.link.get_data_fd(), bytes.size()), "the garbage did not fit into the socket")) return;
    const unsigned long long skipped_before = end.link.get_scan_skipped_total();
    Bytes got;
    c.attack([&] { return receive(c, end.link, Kind::Event2010, got); });
    expect_whole(c, end.link, g);
    const unsigned long long skipped = end.link.get_scan_skipped_total() - skipped_before;
    c.check(skipped + 4 == n, format("the scan skipped %llu bytes, %zu were garbage", skipped, n));
}

void run_stale_file(Case& c) {
    use_local_socket();
    AcceptingEnd end;
    const std::string path = socket_file("/tmp", end.port);
    leave_stale_socket(path);
    c.expect("SocketSetup on a stale file without reuse (as specified)", end.link.SocketSetup(end.port), ERR_BIND);
    c.set(end.link, kReuseSwitch, "1");
    if (c.attack([&] { return end.link.SocketSetup(end.port); }) != 0) {
        ::unlink(path.c_str());
        return;
    }
    serve_local_peer(c, end, path);
}

unsigned file_mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0;
}

void run_umask(Case& c) {
    use_local_socket();
    ::umask(0);
    AcceptingEnd end;
    const std::string path = socket_file("/tmp", end.port);
    if (c.attack([&] { return end.link.SocketSetup(end.port); }) != 0) return;
    const unsigned mode = file_mode(path);
    c.check((mode & 0002) == 0, format("the socket file is world-writable under umask 000 (mode %04o)", mode));
    serve_local_peer(c, end, path);
}

// Whether a process of the other user can connect to `path` (0: refused,
// 1: connected, 2: something else failed).
int other_user_connects(const std::string& path) {
    const pid_t pid = as_other_user([&] {
        int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un a = local_address(path);
        return ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 1 : 0;
    });
    return pid > 0 ? tvt::wait_child(pid, 10) : 2;
}

// A squatter: a process of the other user that binds the socket path first,
// accepts, sends a preamble as the real receiver would, and counts the
// bytes it is sent.  It says "ready" once it listens and the count at the
// end, on a pipe.
struct Squatter {
    pid_t pid = -1;
    int answers = -1;
    std::string path;

    bool start(const std::string& where) {
        path = where;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        pid = as_other_user([&] {
            ::close(fds[0]);
            int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
            const sockaddr_un a = local_address(path);
            if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 4) != 0) return 1;
            tvt::write_all(fds[1], "ready\n");
            pollfd pf{s, POLLIN, 0};
            if (::poll(&pf, 1, 10000) != 1) return tvt::write_all(fds[1], "0\n") ? 0 : 1;
            tt::RawPeer p(::accept(s, nullptr, nullptr));
            p.send(&kPreambleNative, sizeof kPreambleNative);
            const Bytes got = p.read_until_closed(10000);
            tvt::write_all(fds[1], std::to_string(got.size()) + "\n");
            return 0;
        });
        ::close(fds[1]);
        answers = fds[0];
        std::string line;
        return pid > 0 && tvt::read_line(answers, line, 10) && line == "ready";
    }
    // The bytes it was sent; -1 when it did not say.
    long bytes_received(double wait_s) {
        std::string line;
        return tvt::read_line(answers, line, wait_s) ? std::atol(line.c_str()) : -1;
    }
    ~Squatter() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            tvt::wait_child(pid, 10);
        }
        if (answers >= 0) ::close(answers);
        if (!path.empty()) ::unlink(path.c_str());  // root may: the file is the test's
    }
};

// A sender meets a squatter on the default path: it must refuse the other
// user's listener before any record goes out (or, with the other user on
// its allow list, go ahead: the site chose so).  Then the squatter leaves,
// and the real receiver gets the sender's record.
void run_squatter(Case& c) {
    const Params& p = c.row.p;
    use_local_socket();
    const int port = free_port();
    const std::string path = socket_file("/tmp", port);
    Squatter squatter;
    if (!c.check(squatter.start(path), "the squatter could not bind the socket path")) return;
    Tarvex sender(false);
    if (p.allow_list) c.set(sender, kAllowUidsSwitch, std::to_string(kOtherUser));
    const Good g = good_record(c, Kind::Event2010);
    c.attack([&] { return sender.Connect("127.0.0.1", port); });
    if (sender.IsLinkActive()) {
        tvt::Record r = g.rec;
        iovec v[3];
        sender.SendEvent(v, r.gather(v, 1), SendEvent_NOACK);
        sender.Disconnect();
        sender.SocketRelease();
    }
    const long squatted = squatter.bytes_received(p.allow_list ? 10 : 0.5);
    if (p.allow_list) {
        c.check(squatted == static_cast<long>(g.wire.size()),
                format("the listed listener got %ld bytes, %zu were sent", squatted, g.wire.size()));
        return;
    }
    c.check(squatted <= 0, format("the squatter got %ld bytes", squatted));
    const std::string line = format("Connect(1): listener of user %u is not allowed, socket released", kOtherUser);
    c.check(c.lines_with(line) == 1, "no line '" + line + "'");
    // The squatter leaves; the real receiver takes the path.
    ::kill(squatter.pid, SIGKILL);
    tvt::wait_child(squatter.pid, 10);
    squatter.pid = -1;
    ::unlink(path.c_str());
    AcceptingEnd end;
    end.port = port;
    if (!c.expect("SocketSetup", end.link.SocketSetup(port), 0)) return;
    int connected = -1;
    std::thread connecting([&] { connected = sender.Connect("127.0.0.1", port); });
    const int accepted = end.link.Connect(true);
    connecting.join();
    if (!c.check(accepted == 0 && connected == 0, "the real receiver and the sender could not connect")) return;
    tvt::Record r = g.rec;
    iovec v[3];
    c.expect("SendEvent", sender.SendEvent(v, r.gather(v, 1), SendEvent_NOACK), 0);
    expect_whole(c, end.link, g);
    sender.Disconnect();
    sender.SocketRelease();
}

// Both ends keep their socket in a private directory with mode 0600: a
// squatter on the default path meets nobody, the other user cannot even
// connect, and the record goes where it belongs.
void run_private_dir(Case& c) {
    use_local_socket();
    char dir_template[] = "/tmp/tarvex-hostile-XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    if (!c.check(dir != nullptr, "mkdtemp failed")) return;
    const int port = free_port();
    const std::string path = socket_file(dir, port);
    {
        Squatter squatter;
        c.check(squatter.start(socket_file("/tmp", port)), "the squatter could not bind the default path");
        AcceptingEnd end;
        end.port = port;
        c.set(end.link, kSocketDirSwitch, dir);
        c.set(end.link, kSocketModeSwitch, "0600");
        if (c.attack([&] { return end.link.SocketSetup(port); }) == 0) {
            c.check(file_mode(path) == 0600, format("the socket file has mode %04o, not 0600", file_mode(path)));
            c.check(other_user_connects(path) == 0, "the other user could connect to the private socket");
            Tarvex sender(false);
            c.set(sender, kSocketDirSwitch, dir);
            int connected = -1;
            std::thread connecting([&] { connected = sender.Connect("127.0.0.1", port); });
            const int accepted = end.link.Connect(true);
            connecting.join();
            if (c.check(accepted == 0 && connected == 0, "the ends could not connect in the private directory")) {
                const Good g = good_record(c, Kind::Event2010);
                tvt::Record r = g.rec;
                iovec v[3];
                c.expect("SendEvent", sender.SendEvent(v, r.gather(v, 1), SendEvent_NOACK), 0);
                expect_whole(c, end.link, g);
                sender.Disconnect();
            }
            sender.SocketRelease();
        }
        c.check(squatter.bytes_received(0.2) <= 0, "the squatter on the default path got bytes");
    }
    ::unlink(path.c_str());
    ::rmdir(dir);
}

// A process of the other user connects to a listener that lets everybody
// connect (mode 0666) but admits only its own user: it is closed at once
// and gets nothing; the real peer behind it is served.
void run_other_user_peer(Case& c) {
    use_local_socket();
    AcceptingEnd end;
    const std::string path = socket_file("/tmp", end.port);
    c.set(end.link, kSocketModeSwitch, "0666");
    c.set(end.link, kAllowUidsSwitch, "self");
    if (!c.expect("SocketSetup", end.link.SocketSetup(end.port), 0)) return;
    int fds[2];
    if (!c.check(::pipe2(fds, O_CLOEXEC) == 0, "pipe failed")) return;
    const Good stray_record = good_record(c, Kind::Event2010);
    // Exit 0: connected, closed by the link, sent nothing; 1: could not
    // connect; 2: was sent bytes; 3: not closed.
    const pid_t other = as_other_user([&] {
        ::close(fds[0]);
        tt::RawPeer p = local_peer(path);
        if (!p.valid()) return 1;
        p.send(stray_record.wire);
        tvt::write_all(fds[1], "connected\n");
        const long long start = tt::now_ms();
        const Bytes got = p.read_until_closed(kPeerWaitMs);
        if (!got.empty()) return 2;
        return tt::now_ms() - start < kPeerWaitMs ? 0 : 3;
    });
    ::close(fds[1]);
    std::string line;
    const bool other_connected = tvt::read_line(fds[0], line, 10) && line == "connected";
    ::close(fds[0]);
    if (!c.check(other_connected, "the other user's process could not connect (mode 0666)")) {
        tvt::wait_child(other, 10);
        return;
    }
    tt::RawPeer real = local_peer(path);
    const Good g = good_record(c, Kind::Event2010);
    if (!c.check(real.valid() && real.send(g.wire), "the real peer could not connect")) return;
    c.attack([&] { return end.link.Connect(true); });
    const int code = tvt::wait_child(other, 10);
    c.check(code == 0, format("the other user's process %s", code == 2   ? "was sent bytes"
                                                             : code == 3 ? "was not closed"
                                                                         : "ended unexpectedly"));
    c.check(end.link.get_refused_peers() == 1,
            format("get_refused_peers() is %llu, expected 1", end.link.get_refused_peers()));
    const std::string refused = format("Connect(): peer of user %u is not allowed, connection closed", kOtherUser);
    c.check(c.lines_with(refused) == 1, "no line '" + refused + "'");
    c.check(real.read_exact(4, kPeerWaitMs).size() == 4, "the real peer got no preamble");
    expect_whole(c, end.link, g);
}

// ---------------------------------------------------------------------------
// The table

const Kind kHeaderKinds[] = {Kind::Event2010, Kind::Event2024, Kind::Slow, Kind::Image, Kind::Spectrum};

std::string header_name(Kind k) {
    switch (k) {
        case Kind::Event2010: return "36";
        case Kind::Event2024: return "48";
        case Kind::Slow: return "12";
        case Kind::Image: return "image";
        case Kind::Spectrum: return "spectrum";
        default: return tvt::info(k).name;
    }
}

const char* phase_name(Phase p) { return p == Phase::Pattern ? "pattern" : p == Phase::Header ? "header" : "body"; }

// Bounds shared by many rows.  Time bounds leave room for a sanitized build
// on a loaded machine; the timed waits of the link are 300 ms here.
Bounds quick(std::vector<int> statuses) { return {std::move(statuses), 0, 5, 2.0, 32 << 10, 20}; }
Bounds timed_out(std::vector<int> statuses) { return {std::move(statuses), 0.25, 3, 2.0, 32 << 10, 20}; }

std::vector<Row> make_table() {
    std::vector<Row> t;
    for (Kind k : kHeaderKinds) {
        const std::string h = header_name(k);
        const std::string announce =
            format("a %s header announcing %llu bytes", h.c_str(), static_cast<unsigned long long>(huge_length(k)));
        Params p;
        p.kind = k;
        p.limit = Limit::None;
        t.push_back({"huge-" + h,
                     announce + ", then the end of the stream",
                     run_huge,
                     p,
                     {{ERR_READ, ERR_ALLOC}, 0, 10, 3.0, 64 << 10, 30, 640 << 10, 10.0},
                     Need::Nothing,
                     true});
        p.limit = Limit::MaxRecord;
        t.push_back({"huge-" + h + "-max-record", announce + "; MAX_RECORD 1 MiB", run_huge, p, quick({ERR_BAD_VALUE}),
                     Need::Nothing, true});
        p.limit = Limit::CappedMemory;
        t.push_back({"huge-" + h + "-capped", announce + "; address space capped at 1 GiB", run_huge, p,
                     quick({ERR_ALLOC}), Need::NoSanitizer, true});
    }
    {
        Params p;
        t.push_back({"trickle-event",
                     "a 2010 event, one byte every 2 ms",
                     run_trickle,
                     p,
                     {{0}, 0, 10, 1.0, 32 << 10, 30},
                     Need::Nothing,
                     true});
        p.record_timeout = true;
        t.push_back({"trickle-event-record-timeout",
                     "the same, RECORD_TIMEOUT 5 s",
                     run_trickle,
                     p,
                     {{0}, 0, 5, 1.0, 32 << 10, 30},
                     Need::Nothing,
                     true});
        p.record_timeout = false;
        p.kind = Kind::Image;
        t.push_back({"trickle-image",
                     "an image, one byte every 2 ms",
                     run_trickle,
                     p,
                     {{0}, 0, 10, 1.0, 32 << 10, 30},
                     Need::Nothing,
                     true});
    }
    for (Kind k : {Kind::Event2024, Kind::Slow, Kind::Image, Kind::Spectrum})
        for (Phase ph : {Phase::Header, Phase::Body}) {
            Params p;
            p.kind = k;
            p.phase = ph;
            t.push_back({"stall-" + header_name(k) + "-" + phase_name(ph),
                         std::string("stops inside the ") + phase_name(ph) + "; RECORD_TIMEOUT 300 ms", run_stall, p,
                         timed_out({ERR_TIMEOUT}), Need::Nothing, true});
        }
    t.push_back({"idle-peer", "connected, sends nothing; a 300 ms wait", run_idle, Params(), timed_out({ERR_TIMEOUT}),
                 Need::Nothing, true});
    t.push_back({"gone-peer", "closes without a byte", run_gone, Params(), quick({ERR_TIMEOUT, ERR_READ}),
                 Need::Nothing, true});
    for (Kind k : {Kind::Event2010, Kind::Image}) {
        Params p;
        p.kind = k;
        t.push_back({"garbage-" + header_name(k), "up to 150000 bytes of garbage, then a record", run_garbage, p,
                     quick({0}), Need::Nothing, true});
    }
    t.push_back({"garbage-beyond-scan-limit", "over 200000 bytes of garbage, then a record", run_garbage_beyond,
                 Params(), quick({ERR_TIMEOUT}), Need::Nothing, true});
    for (Ending e : {Ending::HalfClose, Ending::Reset})
        for (Phase ph : {Phase::Pattern, Phase::Header, Phase::Body}) {
            Params p;
            p.kind = ph == Phase::Body ? Kind::Event2024 : Kind::Event2010;
            p.phase = ph;
            p.ending = e;
            const char* how = e == Ending::HalfClose ? "half-close" : "reset";
            std::vector<int> st =
                ph == Phase::Pattern ? std::vector<int>{ERR_TIMEOUT, ERR_READ} : std::vector<int>{ERR_READ};
            t.push_back({std::string(how) + "-" + phase_name(ph), std::string(how) + " inside the " + phase_name(ph),
                         run_broken, p, quick(st), Need::Nothing, true});
        }
    {
        Params p;
        t.push_back({"stray", "a stray in line before the real peer; no list (served, as specified)", run_stray, p,
                     quick({0}), Need::Nothing, true});
        p.allow_list = true;
        t.push_back(
            {"stray-allow-list", "the same; ALLOW_PEERS 127.0.0.2/32", run_stray, p, quick({0}), Need::Nothing, true});
        p.kind = Kind::Legacy;  // the stray speaks the other byte order
        t.push_back({"reversed-stray-allow-list", "a byte-reversed stray first; ALLOW_PEERS 127.0.0.2/32", run_stray, p,
                     quick({0}), Need::Nothing, true});
        p.allow_list = false;
        t.push_back({"reversed-stray", "the same, no list (conversion switched on, as specified)", run_stray, p,
                     quick({0}), Need::Nothing, false});
        p.kind = Kind::Event2010;
        t.push_back({"flood",
                     format("%d strays in turn, then the real peer; no list (each served)", kServedStrays),
                     run_flood,
                     p,
                     {{0}, 0, 15, 3.0, 32 << 10, 40},
                     Need::Nothing,
                     true});
        p.allow_list = true;
        t.push_back({"flood-allow-list",
                     format("%d strays, then the real peer; ALLOW_PEERS", kFloodStrays),
                     run_flood,
                     p,
                     {{0}, 0, 15, 3.0, 32 << 10, 40},
                     Need::Nothing,
                     true});
    }
    {
        Params p;
        t.push_back({"preamble-none", "the listener never sends the preamble; PREAMBLE_TIMEOUT 300 ms", run_preamble, p,
                     timed_out({ERR_PROTOCOL}), Need::Nothing, true});
        p.phase = Phase::Pattern;
        t.push_back({"preamble-partial", "the listener sends 2 preamble bytes; PREAMBLE_TIMEOUT 300 ms", run_preamble,
                     p, timed_out({ERR_PROTOCOL}), Need::Nothing, true});
        p.by_signal = true;
        p.phase = Phase::Body;
        t.push_back({"preamble-signal", "the listener never sends the preamble; a signal after 300 ms", run_preamble, p,
                     timed_out({ERR_PROTOCOL}), Need::Nothing, true});
    }
    t.push_back({"bind-addr", "a peer tries 127.0.0.1; BIND_ADDR 127.0.0.2", run_bind_address, Params(), quick({0}),
                 Need::Nothing, true});
    t.push_back({"time-wait-port", "a restart while the port is in TIME_WAIT; REUSE_ADDR", run_time_wait, Params(),
                 quick({0}), Need::Nothing, true});
    t.push_back({"stale-socket-file", "a stale socket file; REUSE_ADDR", run_stale_file, Params(), quick({0}),
                 Need::Nothing, true});
    t.push_back(
        {"umask-000", "the listener runs under umask 000", run_umask, Params(), quick({0}), Need::Nothing, true});
    {
        Params p;
        t.push_back({"squatter", "another user holds /tmp/<port>.tcp and listens", run_squatter, p,
                     quick({ERR_CONNECT}), Need::Root, true});
        p.allow_list = true;
        t.push_back({"squatter-listed", "the same; ALLOW_UIDS lists that user (allowed by the site)", run_squatter, p,
                     quick({0}), Need::Root, false});
    }
    t.push_back({"private-dir", "a squatter on /tmp; SOCK_DIR private, SOCK_MODE 0600", run_private_dir, Params(),
                 quick({0}), Need::Root, true});
    t.push_back({"other-user-peer", "another user connects first; SOCK_MODE 0666, ALLOW_UIDS self", run_other_user_peer,
                 Params(), quick({0}), Need::Root, true});
    return t;
}

// ---------------------------------------------------------------------------
// Running a case in a child

// Why a row cannot run here, or empty.
std::string cannot_run(const Row& row) {
    if (row.need == Need::Root && ::geteuid() != 0)
        return "skipped: needs root, to play the other user (uid 65534) with setuid";
    if (row.need == Need::NoSanitizer && trl::leak_checker_active())
        return "skipped under AddressSanitizer: its allocator ends the process instead of failing an "
               "allocation, and its shadow memory needs more than the cap; the normal build runs it";
    return "";
}

Report run_in_child(const Row& row, uint64_t seed) {
    Case c(row, seed);
    g_case = &c;
    tarvex_set_log_handler(collect_line, nullptr);
    const int descriptors = trl::open_descriptors();
    reset_peak_memory();
    const long resident = tvt::current_rss_kb();
    const double cpu = cpu_seconds();
    row.run(c);
    c.report.cpu_s = cpu_seconds() - cpu;
    c.report.memory_kb = tvt::peak_rss_kb() - resident;
    c.report.descriptors = trl::open_descriptors() - descriptors;
    tarvex_set_log_handler(nullptr, nullptr);
    g_case = nullptr;
    return c.report;
}

struct Outcome {
    Report report{};
    bool reported = false;
    std::string ended;  // how the child ended, when not normally
    std::vector<std::string> problems;
};

Outcome run_case(const Row& row, uint64_t seed) {
    Outcome o;
    const std::string why_not = cannot_run(row);
    if (!why_not.empty()) {
        o.reported = true;
        o.report.skipped = 1;
        o.report.status = kNoStatus;
        std::snprintf(o.report.text, sizeof o.report.text, "%s", why_not.c_str());
        return o;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        o.problems.push_back("pipe failed");
        return o;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const Report r = run_in_child(row, seed);
        ssize_t ignored = ::write(fds[1], &r, sizeof r);
        (void)ignored;
        trl::check_leaks_now();
        std::_Exit(0);
    }
    ::close(fds[1]);
    const double until = tvt::now() + row.bounds.limit_s;
    size_t have = 0;
    auto* into = reinterpret_cast<char*>(&o.report);
    while (have < sizeof o.report) {
        const double left = until - tvt::now();
        if (left <= 0) break;
        pollfd pf{fds[0], POLLIN, 0};
        if (::poll(&pf, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        const ssize_t n = ::read(fds[0], into + have, sizeof o.report - have);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    ::close(fds[0]);
    o.reported = have == sizeof o.report;
    const double left = std::max(until - tvt::now(), 0.0);
    const int code = tvt::wait_child(pid, o.reported ? left + 10 : left);
    if (!o.reported && code == 128 + SIGKILL && tvt::now() >= until)
        o.ended = format("hung: killed after %.0f s", row.bounds.limit_s);
    else if (code > 128)
        o.ended = format("crashed: %s", strsignal(code - 128));
    else if (code != 0)
        o.ended = format("exit status %d (a sanitizer's report?)", code);
    else if (!o.reported)
        o.ended = "no report";
    return o;
}

// Every bound of the row against what the child saw.
void judge(const Row& row, Outcome& o) {
    if (!o.ended.empty()) o.problems.push_back(o.ended);
    if (!o.reported || o.report.skipped) return;
    const Report& r = o.report;
    const Bounds& b = row.bounds;
    if (std::find(b.statuses.begin(), b.statuses.end(), r.status) == b.statuses.end()) {
        std::string want;
        for (int s : b.statuses) want += (want.empty() ? "" : " or ") + status_text(s);
        o.problems.push_back("status " + status_text(r.status) + ", expected " + want);
    }
    if (r.call_s < b.min_s || r.call_s > b.max_s)
        o.problems.push_back(format("the call took %.3f s, bound %.2f to %.2f s", r.call_s, b.min_s, b.max_s));
    const bool sanitized = trl::leak_checker_active();
    const double cpu_bound = b.cpu_s + (sanitized ? b.sanitizer_cpu_s : 0);
    const long memory_bound = b.memory_kb + (sanitized ? b.sanitizer_memory_kb : 0);
    if (r.cpu_s > cpu_bound) o.problems.push_back(format("%.2f s of CPU, bound %.2f s", r.cpu_s, cpu_bound));
    if (r.memory_kb > memory_bound)
        o.problems.push_back(format("peak memory grew by %ld KiB, bound %ld KiB", r.memory_kb, memory_bound));
    if (r.descriptors != 0) o.problems.push_back(format("%d descriptors left open", r.descriptors));
    if (row.checks_next && r.next != kNextWhole && r.text[0] == '\0')
        o.problems.push_back("the next good record was not checked");
    if (r.text[0] != '\0') o.problems.push_back(r.text);
}

const char* next_text(const Row& row, const Outcome& o) {
    if (!o.reported || o.report.skipped) return "-";
    if (!row.checks_next) return "n/a";
    return o.report.next == kNextWhole ? "whole" : o.report.next == kNextBroken ? "BROKEN" : "-";
}

void print_header(FILE* f) {
    std::fprintf(f, "%-30s %-13s %-22s %7s %6s %8s %4s %-6s %s\n", "case", "status", "allowed", "call s", "cpu s",
                 "mem KiB", "fds", "next", "result");
}

void print_row(FILE* f, const Row& row, const Outcome& o) {
    std::string allowed;
    for (int s : row.bounds.statuses) allowed += (allowed.empty() ? "" : ",") + status_text(s);
    const bool skipped = o.reported && o.report.skipped;
    const Report& r = o.report;
    const std::string status = o.reported && !skipped ? status_text(r.status) : "-";
    if (skipped || !o.reported)
        std::fprintf(f, "%-30s %-13s %-22s %7s %6s %8s %4s %-6s %s\n", row.name.c_str(), status.c_str(),
                     allowed.c_str(), "-", "-", "-", "-", "-", skipped ? "skip" : "FAIL");
    else
        std::fprintf(f, "%-30s %-13s %-22s %7.3f %6.2f %8ld %4d %-6s %s\n", row.name.c_str(), status.c_str(),
                     allowed.c_str(), r.call_s, r.cpu_s, r.memory_kb, r.descriptors, next_text(row, o),
                     o.problems.empty() ? "ok" : "FAIL");
    for (const std::string& p : o.problems) std::fprintf(f, "    %s\n", p.c_str());
    if (skipped) std::fprintf(f, "    %s\n", r.text);
    std::fflush(f);
}

bool selected(const Row& row, const std::vector<std::string>& wanted) {
    if (wanted.empty()) return true;
    for (const std::string& w : wanted)
        if (row.name.compare(0, w.size(), w) == 0) return true;
    return false;
}

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        if (comma > start) out.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    tvt::Options opt(
        "tarvex-hostile", "tarvex-hostile [--seed N] [--cases NAME[,NAME...]] [--diag FILE] [--list]",
        "Plays hostile peers against real links, one case per child process, and checks each case's bounds: "
        "the status and time of the call under attack, CPU time, peak memory, descriptors, and that the next "
        "good record arrives whole. Exits 1 when a case breaks a bound.",
        {{"seed", "N", "seed of the byte splits, cut points and sizes (default 1)"},
         {"cases", "LIST", "comma-separated case names or prefixes (default all)"},
         {"diag", "FILE", "where the link's own lines go (default /dev/null)"},
         {"list", nullptr, "print the cases and their bounds, run nothing"}});
    opt.parse(argc, argv);
    const uint64_t seed = static_cast<uint64_t>(opt.integer("seed", 1, 0));
    const std::vector<std::string> wanted = split_list(opt.text("cases", ""));
    const std::vector<Row> table = make_table();

    if (opt.has("list")) {
        for (const Row& row : table) {
            std::string allowed;
            for (int s : row.bounds.statuses) allowed += (allowed.empty() ? "" : ",") + status_text(s);
            std::printf("%-30s %-22s %.2f-%.0f s  %s\n", row.name.c_str(), allowed.c_str(), row.bounds.min_s,
                        row.bounds.max_s, row.attack.c_str());
        }
        return 0;
    }
    g_diag_fd = ::open(opt.text("diag", "/dev/null").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (g_diag_fd < 0) opt.fail("--diag " + opt.text("diag", "") + ": " + std::strerror(errno));
    ::signal(SIGPIPE, SIG_IGN);

    std::printf("tarvex-hostile: seed %llu\n\n", static_cast<unsigned long long>(seed));
    print_header(stdout);
    int ran = 0, failed = 0, skipped = 0;
    const double start = tvt::now();
    for (const Row& row : table) {
        if (!selected(row, wanted)) continue;
        Outcome o = run_case(row, seed);
        judge(row, o);
        ++ran;
        skipped += o.reported && o.report.skipped;
        failed += !o.problems.empty();
        print_row(stdout, row, o);
    }
    if (ran == 0) opt.fail("no case matches --cases " + opt.text("cases", ""));
    std::printf("\n%d cases in %.1f s: %d passed, %d failed, %d skipped\nresult: %s\n", ran, tvt::now() - start,
                ran - failed - skipped, failed, skipped, failed == 0 ? "PASS" : "FAIL");
    return failed == 0 ? 0 : 1;
}
