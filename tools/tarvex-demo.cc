// tarvex-demo: the main job of a link, end to end.  A receiving process
// accepts a link over loopback and a sending process connects to it; phase
// after phase they move a mix of records (2010, 2024 and legacy events,
// legacy and 2024 slow data, images; acknowledged and not; through a link in
// big-endian mode, where both ends convert).  The receiver rebuilds every
// record from its sequence number and compares it, header and body, with
// what arrived.  Ends with a table per phase; exits 1 on any mismatch or
// failure.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Options.h"
#include "Records.h"
#include "Switches.h"
#include "System.h"
#include "Tarvex.h"

namespace {

using tvt::Kind;

const char* const kTool = "tarvex-demo";

// The link writes informational lines of its own ("SocketRelease() socket
// closed", and in local-socket mode "UNIX socket will be used" and the
// refused TCP_NODELAY on every connection) to the standard streams of both
// processes; the demo collects them apart from its progress and table.
tvt::DiagnosticsLog g_log;

struct Phase {
    const char* name;
    std::vector<Kind> kinds;  // taken in turn by sequence number
    int count;
    size_t min_payload, max_payload;
    bool ack;
    bool bigend;  // accepting end in BIGEND_MODE: both ends convert
    int pieces;   // body fragments of the gather list
};

const std::vector<Phase> kPhases = {
    {"2010 events", {Kind::Event2010}, 4000, 8, 4096, false, false, 2},
    {"2024 events, acknowledged", {Kind::Event2024}, 2000, 8, 4096, true, false, 1},
    {"legacy events, slow data (legacy, 2024)",
     {Kind::Legacy, Kind::Slow, Kind::Slow2024},
     4000,
     8,
     2048,
     false,
     false,
     1},
    {"all event kinds, acknowledged",
     {Kind::Event2010, Kind::Event2024, Kind::Legacy, Kind::Slow, Kind::Slow2024},
     2000,
     8,
     8192,
     true,
     false,
     3},
    {"large 2010 events", {Kind::Event2010}, 150, 64 << 10, 1 << 20, false, false, 4},
    {"images", {Kind::Image}, 300, 8 << 10, 256 << 10, false, false, 2},
    {"converted: all event kinds, acknowledged",
     {Kind::Event2010, Kind::Event2024, Kind::Legacy, Kind::Slow, Kind::Slow2024},
     2000,
     8,
     8192,
     true,
     true,
     2},
    {"converted: large 2024 events", {Kind::Event2024}, 100, 64 << 10, 1 << 20, false, true, 3},
    {"converted: images", {Kind::Image}, 200, 8 << 10, 256 << 10, false, true, 1},
};

int phase_count(const Phase& p, bool quick) { return quick ? std::max(10, p.count / 10) : p.count; }

// Both ends derive kind and size of record `seq` from the phase alone.
Kind kind_of(const Phase& p, int seq) { return p.kinds[static_cast<size_t>(seq) % p.kinds.size()]; }
size_t payload_of(const Phase& p, int seq) {
    const size_t span = p.max_payload - p.min_payload + 1;
    return p.min_payload + (static_cast<size_t>(seq) * 7919u + static_cast<size_t>(seq % 13) * 104729u) % span;
}
size_t largest_record(const Phase& p) { return p.max_payload + sizeof(kbr7_image_ext_intro); }

// ---- sending process --------------------------------------------------------

int send_phase(const Phase& p, int count, int port) {
    Tarvex link(Tarvex::NATIVE_MODE);  // the accepting end decides the byte order
    int st = tvt::connect_to(link, "127.0.0.1", port, 10.0);
    if (st != 0) {
        tvt::report_status(kTool, "sender: Connect", st);
        return 1;
    }
    tvt::Record r;
    iovec v[8];
    for (int seq = 0; seq < count; ++seq) {
        tvt::build_record(kind_of(p, seq), static_cast<uint32_t>(seq), payload_of(p, seq), r);
        int n = r.gather(v, p.pieces);
        st = link.SendEvent(v, n, p.ack ? SendEvent_ACK : SendEvent_NOACK);
        if (st != 0) {
            tvt::report_status(kTool, ("sender: SendEvent of record " + std::to_string(seq)).c_str(), st);
            link.SocketRelease();
            return 1;
        }
    }
    link.SocketRelease();
    return 0;
}

// ---- receiving process ------------------------------------------------------

struct Outcome {
    int records = 0;
    unsigned long long bytes = 0;
    double seconds = 0;
    int mismatches = 0;
    bool failed = false;
};

void tell_mismatch(const Outcome& o, int seq, const char* what) {
    if (o.mismatches <= 3) std::fprintf(g_log.out(), "  record %d: %s\n", seq, what);
}

// Compares what arrived with the record rebuilt from its sequence number.
bool same_event(const tvt::Record& want, const std::vector<unsigned char>& got, long n) {
    return static_cast<size_t>(n) == want.length() && std::memcmp(got.data(), want.bytes.data(), want.length()) == 0;
}

// The intro's pattern word is not handed back by the image receiver; the
// length, the frame header and the pixels are compared.
bool same_image(const tvt::Record& want, const kbr7_image_ext_intro& intro, const std::vector<unsigned char>& pixels) {
    return intro.intro.length == want.length() &&
           std::memcmp(&intro.head, want.bytes.data() + sizeof(kbr7_image_head), sizeof intro.head) == 0 &&
           std::memcmp(pixels.data(), want.payload(), want.payload_size()) == 0;
}

// Receives one record of the phase into `got`; returns the status.
int receive_one(Tarvex& link, const Phase& p, RNG_RingBuffer& ring, pid_t sender, std::vector<unsigned char>& got,
                long& n, kbr7_image_ext_intro& intro, int seq) {
    if (kind_of(p, seq) == Kind::Image) {
        char* into = reinterpret_cast<char*>(got.data());
        int st = link.ReceiveImage(&intro, &into, static_cast<int>(got.size()));
        n = static_cast<long>(intro.intro.length);
        return st;
    }
    int code = 0;
    int st = tvt::receive_event(link, p.ack ? &ring : nullptr, 200,
                                [&] { return !tvt::alarm_fired() && !tvt::child_ended(sender, code); });
    if (st != 0) return st;
    if ((st = link.WriteBlockToRingBuffer(ring)) != 0) return st;
    n = ring.Read(reinterpret_cast<char*>(got.data()), got.size());
    return 0;
}

Outcome receive_phase(Tarvex& link, const Phase& p, int count, pid_t sender) {
    Outcome o;
    RNG_RingBuffer ring(2 * largest_record(p));
    std::vector<unsigned char> got(largest_record(p));
    tvt::Record want;
    kbr7_image_ext_intro intro{};
    const double start = tvt::now();
    for (int seq = 0; seq < count; ++seq) {
        long n = 0;
        int st = receive_one(link, p, ring, sender, got, n, intro, seq);
        if (st != 0) {
            tvt::report_status(kTool, ("receiver: record " + std::to_string(seq)).c_str(), st);
            o.failed = true;
            break;
        }
        tvt::build_record(kind_of(p, seq), static_cast<uint32_t>(seq), payload_of(p, seq), want);
        bool same = kind_of(p, seq) == Kind::Image ? same_image(want, intro, got) : same_event(want, got, n);
        if (!same) {
            ++o.mismatches;
            tell_mismatch(o, seq, "differs from what was sent");
        }
        ++o.records;
        o.bytes += static_cast<unsigned long long>(n);
    }
    o.seconds = tvt::now() - start;
    return o;
}

Outcome run_phase(const Phase& p, bool quick) {
    const int count = phase_count(p, quick);
    Outcome o;
    Tarvex link(p.bigend ? static_cast<int>(Tarvex::BIGEND_MODE) : static_cast<int>(Tarvex::NATIVE_MODE));
    int port = 0;
    int st = tvt::listen_on(link, port);
    if (st != 0) {
        tvt::report_status(kTool, "receiver: SocketSetup", st);
        o.failed = true;
        return o;
    }
    pid_t sender = tvt::spawn([&] { return send_phase(p, count, port); });
    st = tvt::accept_peer(link, 15);
    if (st != 0) {
        tvt::report_status(kTool, "receiver: Connect", st);
        o.failed = true;
    } else {
        tvt::arm_alarm(120);  // a stalled peer must not hold the demo for ever
        o = receive_phase(link, p, count, sender);
        tvt::arm_alarm(0);
    }
    link.SocketRelease();
    if (tvt::wait_child(sender, 20) != 0) o.failed = true;
    return o;
}

void print_table(const std::vector<Outcome>& outcomes) {
    std::fprintf(g_log.out(), "\n%-42s %8s %10s %11s %9s %10s\n", "phase", "records", "MB", "records/s", "MB/s",
                 "mismatches");
    Outcome all;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome& o = outcomes[i];
        const double s = o.seconds > 0 ? o.seconds : 1e-9;
        std::fprintf(g_log.out(), "%-42s %8d %10.2f %11.0f %9.1f %10d%s\n", kPhases[i].name, o.records, o.bytes / 1e6,
                     o.records / s, o.bytes / 1e6 / s, o.mismatches, o.failed ? "  FAILED" : "");
        all.records += o.records;
        all.bytes += o.bytes;
        all.seconds += o.seconds;
        all.mismatches += o.mismatches;
    }
    std::fprintf(g_log.out(), "%-42s %8d %10.2f %11.0f %9.1f %10d\n", "all phases", all.records, all.bytes / 1e6,
                 all.records / all.seconds, all.bytes / 1e6 / all.seconds, all.mismatches);
}

}  // namespace

int main(int argc, char** argv) {
    tvt::Options opt(kTool, "[--unix] [--quick]",
                     "Runs a receiving and a sending process over loopback and moves, phase by phase,\n"
                     "events of every generation, slow data and images, acknowledged and not, also\n"
                     "through a byte-order-converting (big-endian mode) link.  Every record is checked\n"
                     "against what was sent.  Exits 0 when all records arrived intact, 1 otherwise.",
                     {tvt::transport_option(),
                      {"quick", nullptr, "a tenth of the records (for the test suite)"},
                      {"diagnostics", nullptr, "show the link's own diagnostic lines as they come"}});
    tvt::library_lines_to_stderr();
    opt.parse(argc, argv);
    tvt::apply_transport(opt);
    const bool quick = opt.has("quick");

    if (!opt.has("diagnostics")) g_log.start("tarvex-demo");
    std::fprintf(g_log.out(), "tarvex-demo: %zu phases over %s loopback, receiver accepts, sender connects\n",
                 kPhases.size(), tvt::transport_name());
    std::vector<Outcome> outcomes;
    bool ok = true;
    for (size_t i = 0; i < kPhases.size(); ++i) {
        outcomes.push_back(run_phase(kPhases[i], quick));
        const Outcome& o = outcomes.back();
        std::fprintf(g_log.out(), "[%zu/%zu] %-42s %6d records %s\n", i + 1, kPhases.size(), kPhases[i].name, o.records,
                     o.failed       ? "FAILED"
                     : o.mismatches ? "MISMATCH"
                                    : "ok");
        std::fflush(g_log.out());
        ok = ok && !o.failed && o.mismatches == 0;
    }
    print_table(outcomes);
    std::fprintf(g_log.out(), "%s\n",
                 ok ? "demo passed: every record arrived as it was sent" : "demo FAILED: see the phases marked above");
    g_log.finish(!ok);
    return ok ? 0 : 1;
}
