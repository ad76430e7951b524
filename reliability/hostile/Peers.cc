#include "Peers.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "Harness.h"
#include "Headers.h"
#include "Ports.h"
#include "System.h"
#include "detail/Preamble.h"

namespace hostile {

int free_port() {
    const int port = tt::pick_port();
    if (port > 0) return port;
    std::fprintf(stderr, "tarvex-hostile: no free port\n");
    std::_Exit(1);
}

tt::RawPeer tcp_peer(int port) { return tt::RawPeer::connect_from("127.0.0.1", "127.0.0.1", port); }

Bytes garbage(Case& c, size_t n) {
    Bytes b(n);
    for (unsigned char& x : b) x = static_cast<unsigned char>(c.rng() % 0xff);
    return b;
}

bool is_intro_kind(Kind k) { return k == Kind::Image || k == Kind::Spectrum; }

uint64_t huge_length(Kind kind) { return is_intro_kind(kind) ? 0x7fffffffu : 0xffffffffu; }

Bytes header_announcing(Case& c, Kind kind, uint64_t length) {
    tvt::Record r;
    tvt::build_record(kind, static_cast<uint32_t>(c.pick(1, 1000)), 64, r);
    Bytes h(r.bytes.begin(), r.bytes.begin() + static_cast<long>(tvt::info(kind).fixed_size));
    tt::put_record_length(kind, h.data(), length);
    return h;
}

Good good_record(Case& c, Kind kind) {
    Good g;
    tvt::build_record(kind, static_cast<uint32_t>(c.pick(1, 1u << 30)), c.pick(8, 2048), g.rec);
    g.wire = trl::wire_bytes(g.rec, false);
    g.delivered = trl::delivered_bytes(g.rec);
    return g;
}

size_t cut_in(Case& c, const Good& g, Phase phase) {
    const size_t fixed = tvt::info(g.rec.kind).fixed_size;
    switch (phase) {
        case Phase::Pattern: return c.pick(1, 3);
        case Phase::Header: return c.pick(4, fixed - 1);
        case Phase::Body: return c.pick(fixed, g.wire.size() - 1);
    }
    return 0;
}

Feeder::Feeder(tt::RawPeer& peer, std::vector<Piece> pieces, After after)
    : thread_([&peer, pieces = std::move(pieces), after] {
          for (const Piece& p : pieces) {
              if (p.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(p.pause_ms));
              if (!peer.send(p.bytes)) return;
          }
          if (after == After::HalfClose) peer.shutdown_write();
          if (after == After::Reset) peer.reset();
      }) {}

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

std::vector<Feeder::Piece> trickle(const Bytes& bytes, int gap_ms) {
    std::vector<Feeder::Piece> out;
    for (unsigned char b : bytes) out.push_back({Bytes{b}, gap_ms});
    return out;
}

pid_t as_other_user(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0) std::_Exit(97);
        std::_Exit(body());
    }
    return pid;
}

bool take(Case& c, AcceptingEnd& end, tt::RawPeer& peer) {
    if (!c.check(peer.valid(), "the peer could not connect")) return false;
    if (!c.expect("Connect(true)", end.link.Connect(true), 0)) return false;
    return c.check(peer.read_exact(4, kPeerWaitMs).size() == 4, "the peer got no preamble");
}

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

int probe(Tarvex& link, int ms) { return link.ReceiveEvent(nullptr, 1, ms / 1000, (ms % 1000) * 1000); }

void expect_whole(Case& c, Tarvex& link, const Good& g) {
    Bytes got;
    const int st = receive(c, link, g.rec.kind, got);
    const bool whole = st == 0 && got == g.delivered;
    c.report.next = whole ? kNextWhole : kNextBroken;
    if (st != 0)
        c.fail("the next good record: receive returned " + status_text(st));
    else if (!whole)
        c.fail(
            tt::format("the next good record arrived changed (%zu bytes, %zu sent)", got.size(), g.delivered.size()));
}

void good_record_arrives(Case& c, Tarvex& link, tt::RawPeer& peer, Kind kind) {
    const Good g = good_record(c, kind);
    Feeder f(peer, split(c, g.wire), After::StayOpen);
    expect_whole(c, link, g);
}

int send_unacknowledged(Tarvex& link, const Good& g) {
    tvt::Record r = g.rec;  // the sender may rewrite its gather list
    iovec v[3];
    return link.SendEvent(v, r.gather(v, 1), SendEvent_NOACK);
}

bool connect_both(Tarvex& accepting, Tarvex& connecting, int port) {
    int connected = -1;
    std::thread peer([&] { connected = connecting.Connect("127.0.0.1", port); });
    const int accepted = accepting.Connect(true);
    peer.join();
    return accepted == 0 && connected == 0;
}

void next_peer_whole(Case& c, AcceptingEnd& end, Kind kind) {
    if (end.link.IsLinkActive()) c.expect("Disconnect", end.link.Disconnect(), 0);
    tt::RawPeer next = tcp_peer(end.port);
    if (!take(c, end, next)) return;
    good_record_arrives(c, end.link, next, kind);
}

bool serve(Case& c, AcceptingEnd& end, tt::RawPeer& peer) {
    if (!c.expect("SocketSetup", end.link.SocketSetup(end.port), 0)) return false;
    peer = tcp_peer(end.port);
    return take(c, end, peer);
}

namespace {
volatile sig_atomic_t g_alarms = 0;
void on_alarm(int) { g_alarms = g_alarms + 1; }
}  // namespace

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

bool queued(int fd, size_t n) {
    for (int i = 0; i < 2000; ++i) {
        int unread = 0;
        if (::ioctl(fd, FIONREAD, &unread) == 0 && static_cast<size_t>(unread) >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

unsigned file_mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0;
}

int other_user_connects(const std::string& path) {
    const pid_t pid = as_other_user([&] { return tt::RawPeer::connect_path(path).valid() ? 1 : 0; });
    return pid > 0 ? tvt::wait_child(pid, 10) : 2;
}

bool Squatter::start(const std::string& where) {
    path = where;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pid = as_other_user([&] {
        ::close(fds[0]);
        tt::RawListener listener(path);
        if (!listener.listening()) return 1;
        tvt::write_all(fds[1], "ready\n");
        tt::RawPeer p = listener.accept(10000);
        if (!p.valid()) return tvt::write_all(fds[1], "0\n") ? 0 : 1;
        p.send(&tarvex::preamble::kNative, sizeof tarvex::preamble::kNative);
        const Bytes got = p.read_until_closed(10000);
        tvt::write_all(fds[1], std::to_string(got.size()) + "\n");
        return 0;
    });
    ::close(fds[1]);
    answers = fds[0];
    std::string line;
    return pid > 0 && tvt::read_line(answers, line, 10) && line == "ready";
}

long Squatter::bytes_received(double wait_s) {
    std::string line;
    return tvt::read_line(answers, line, wait_s) ? std::atol(line.c_str()) : -1;
}

Squatter::~Squatter() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        tvt::wait_child(pid, 10);
    }
    if (answers >= 0) ::close(answers);
    if (!path.empty()) ::unlink(path.c_str());  // root may: the file is the test's
}

}  // namespace hostile
