// tarvex-soak: a long run that must lose and corrupt nothing.
//
// For each phase (transport x acknowledged or not x conversion off or on,
// with the accepting end alternating between receiver and sender) a sender
// process and a receiver process move a planned mix of records over one
// link: millions of small events and slow-data records, images and spectra
// in the unacknowledged phases, and large records up to several MiB among
// them.
// Every body carries its sequence number and a checksum; the receiver
// rebuilds what the sender built for each sequence number and compares the
// whole record, so a lost record shows as a gap in the sequence and any
// changed byte, header or body, as a corruption.  Both processes follow the
// same seeded plan, so the receiver knows what comes next.
//
// The report gives per phase: records, bytes, time and rates, losses,
// corruptions, failed calls, bytes the receiver's scan had to skip, and
// the peak resident memory of both processes.  Exits 1 unless every phase
// delivered everything intact.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"
#include "Options.h"
#include "Records.h"
#include "Runner.h"
#include "System.h"
#include "Tarvex.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Phase {
    const char* name;
    bool local;             // local socket instead of TCP
    bool ack;               // acknowledged transfer
    bool convert;           // the accepting end runs in big-endian mode: both ends convert
    bool receiver_accepts;  // which process listens
};

// Every transport, mode and conversion once; the listening role alternates
// so that both the non-blocking accepting end and the blocking connecting
// end send and receive in each transport.
const std::vector<Phase> kPhases = {
    {"tcp-noack-native", false, false, false, true},  {"tcp-noack-convert", false, false, true, false},
    {"tcp-ack-native", false, true, false, false},    {"tcp-ack-convert", false, true, true, true},
    {"unix-noack-native", true, false, false, false}, {"unix-noack-convert", true, false, true, true},
    {"unix-ack-native", true, true, false, true},     {"unix-ack-convert", true, true, true, false},
};

struct Config {
    uint64_t small = 10000000;  // over all phases
    uint64_t large = 400;
    size_t small_max = 256;  // payload bytes of a small record: 8 .. small_max
    size_t large_max = 4u << 20;
    uint64_t seed = 1;
    int retries = 50;                // the link's retry count: 5 s without progress
    double stall_s = 60;             // a receiver gives up after this long without a record
    std::string diag = "/dev/null";  // where the processes' link diagnostics go
};

// The records of one phase, in order.  Sender and receiver each run their
// own copy from the same seed and so agree on every record.
class Plan {
public:
    struct Item {
        tvt::Kind kind;
        size_t payload;
        int pieces;  // body fragments of the sender's gather list
    };

    Plan(const Config& cfg, size_t phase_index, uint64_t small, uint64_t large)
        : cfg_(cfg),
          ack_(kPhases[phase_index].ack),
          rng_(cfg.seed * 1000003u + phase_index),
          small_(small),
          large_(large) {}

    uint64_t total() const { return small_ + large_; }

    // The item of the next sequence number.  The large records lie evenly
    // spread among the small ones.
    Item next() {
        const uint64_t i = index_++;
        const bool large = large_ > 0 && (i + 1) * large_ / total() != i * large_ / total();
        Item it;
        it.kind = pick_kind();
        if (large) {
            it.payload = between(cfg_.large_max / 16, cfg_.large_max);
            it.pieces = between(0, 3) == 0 ? 2000 : static_cast<int>(between(1, 4));
        } else {
            it.payload = between(tvt::kTagSize, cfg_.small_max);
            it.pieces = static_cast<int>(between(1, 3));
        }
        return it;
    }

private:
    size_t between(size_t lo, size_t hi) { return lo + static_cast<size_t>(rng_() % (hi - lo + 1)); }

    tvt::Kind pick_kind() {
        static const tvt::Kind kinds[] = {tvt::Kind::Event2010, tvt::Kind::Legacy,   tvt::Kind::Event2024,
                                          tvt::Kind::Slow,      tvt::Kind::Slow2024, tvt::Kind::Image,
                                          tvt::Kind::Spectrum};
        // Images and spectra carry no acknowledgement: only the
        // unacknowledged phases send them.
        return kinds[between(0, ack_ ? 4 : 6)];
    }

    const Config& cfg_;
    bool ack_;
    std::mt19937_64 rng_;
    uint64_t small_, large_;
    uint64_t index_ = 0;
};

// What one process reports: one line of key=value words through a pipe.
struct Figures {
    uint64_t records = 0;
    uint64_t bytes = 0;
    double seconds = 0;
    uint64_t losses = 0;
    uint64_t corruptions = 0;
    uint64_t failed_calls = 0;
    int first_failure = 0;
    uint64_t skipped = 0;
    long hwm_kb = 0;
    long maxrss_kb = 0;

    std::string line() const {
        std::ostringstream s;
        s << "records=" << records << " bytes=" << bytes << " seconds=" << seconds << " losses=" << losses
          << " corruptions=" << corruptions << " failed=" << failed_calls << " first=" << first_failure
          << " skipped=" << skipped << " hwm=" << hwm_kb << " maxrss=" << maxrss_kb << "\n";
        return s.str();
    }

    static bool parse(const std::string& text, Figures& f) {
        std::istringstream s(text);
        std::string word;
        int seen = 0;
        while (s >> word) {
            size_t eq = word.find('=');
            if (eq == std::string::npos) return false;
            const std::string k = word.substr(0, eq);
            const char* v = word.c_str() + eq + 1;
            ++seen;
            if (k == "records")
                f.records = std::strtoull(v, nullptr, 10);
            else if (k == "bytes")
                f.bytes = std::strtoull(v, nullptr, 10);
            else if (k == "seconds")
                f.seconds = std::strtod(v, nullptr);
            else if (k == "losses")
                f.losses = std::strtoull(v, nullptr, 10);
            else if (k == "corruptions")
                f.corruptions = std::strtoull(v, nullptr, 10);
            else if (k == "failed")
                f.failed_calls = std::strtoull(v, nullptr, 10);
            else if (k == "first")
                f.first_failure = std::atoi(v);
            else if (k == "skipped")
                f.skipped = std::strtoull(v, nullptr, 10);
            else if (k == "hwm")
                f.hwm_kb = std::atol(v);
            else if (k == "maxrss")
                f.maxrss_kb = std::atol(v);
            else
                --seen;
        }
        return seen == 10;
    }

    void failed(int status) {
        if (failed_calls++ == 0) first_failure = status;
    }

    void finish(double start) {
        seconds = tvt::now() - start;
        trl::PeakMemory m = trl::peak_memory();
        hwm_kb = m.hwm_kb;
        maxrss_kb = m.maxrss_kb;
    }
};

// ---------------------------------------------------------------------------
// The two processes

// Opens this process's end of the phase's link.  The accepting end tells
// the coordinator its port through `port_fd`.
int open_link(Tarvex& link, const Phase& ph, bool accepting, int port, int port_fd) {
    tvt::use_local_socket(ph.local);
    if (accepting) {
        int st = tvt::listen_on(link, port);
        if (st != 0) return st;
        tvt::write_all(port_fd, std::to_string(port) + "\n");
        return tvt::accept_peer(link, 60);
    }
    return tvt::connect_to(link, "127.0.0.1", port, 30);
}

void close_link(Tarvex& link, bool accepting) {
    if (accepting && link.IsLinkActive()) link.Disconnect();
    link.SocketRelease();
}

// One line in the diagnostics file for a call that failed.
void note(const char* who, uint64_t seq, const Plan::Item& it, int status) {
    std::printf("soak %s: record %" PRIu64 " (%s, %zu B payload): %s (%d)\n", who, seq, tvt::info(it.kind).name,
                it.payload, tarvex_status_name(status), status);
    std::fflush(stdout);
}

// Events, slow data and images go out through the event sender.  A
// spectrum has no sender of its own: it goes out as a raw request block,
// converted here when the link converts, as the sender would.
int send(Tarvex& link, tvt::Record& rec, int pieces, bool ack, std::vector<iovec>& v) {
    if (rec.kind == tvt::Kind::Spectrum) {
        Bytes wire = trl::wire_bytes(rec, link.get_swap());
        return link.SendRequest(reinterpret_cast<char*>(wire.data()), static_cast<int>(wire.size()));
    }
    const int n = rec.gather(v.data(), pieces);
    return link.SendEvent(v.data(), n, ack ? SendEvent_ACK : SendEvent_NOACK);
}

int run_sender(const Config& cfg, size_t phase_index, const Plan& plan_in, bool accepting, int port, int port_fd,
               std::string& report) {
    const Phase& ph = kPhases[phase_index];
    Tarvex link(accepting && ph.convert ? Tarvex::BIGEND_MODE : Tarvex::NATIVE_MODE);
    link.SetRetry(cfg.retries);
    Figures f;
    int st = open_link(link, ph, accepting, port, port_fd);
    if (st != 0) {
        f.failed(st);
        report = f.line();
        return 1;
    }
    Plan plan = plan_in;
    tvt::Record rec;
    std::vector<iovec> v(2001);
    const double start = tvt::now();
    for (uint64_t seq = 0; seq < plan.total(); ++seq) {
        const Plan::Item it = plan.next();
        tvt::build_record(it.kind, static_cast<uint32_t>(seq), it.payload, rec);
        st = send(link, rec, it.pieces, ph.ack, v);
        if (st != 0) {
            note("sender", seq, it, st);
            f.failed(st);
            if (!link.IsLinkActive()) break;
            continue;
        }
        ++f.records;
        f.bytes += rec.length();
    }
    f.finish(start);
    // Hang up only after the receiver has: it sees the end of the stream
    // (readable) when it has taken everything and closed.
    const double until = tvt::now() + cfg.stall_s + 60;
    while (link.IsLinkActive() && tvt::now() < until && link.IfReady(Tarvex::RECEIVER_READ, 1, 1, 0) == ERR_TIMEOUT) {
    }
    close_link(link, accepting);
    report = f.line();
    return 0;
}

// A receiver that keeps failing on a live link gives up after this many.
constexpr uint64_t kMaxFailedCalls = 1000;

class Receiver {
public:
    Receiver(const Config& cfg, size_t phase_index, const Plan& plan)
        : cfg_(cfg), ph_(kPhases[phase_index]), plan_(plan), ring_(cfg.large_max + 64 * 1024) {}

    int run(bool accepting, int port, int port_fd, std::string& report) {
        Tarvex link(accepting && ph_.convert ? Tarvex::BIGEND_MODE : Tarvex::NATIVE_MODE);
        link.SetRetry(cfg_.retries);
        int st = open_link(link, ph_, accepting, port, port_fd);
        if (st != 0) {
            f_.failed(st);
            report = f_.line();
            return 1;
        }
        const double start = tvt::now();
        receive_all(link);
        f_.finish(start);
        f_.skipped = link.get_scan_skipped_total();
        close_link(link, accepting);
        report = f_.line();
        return 0;
    }

private:
    void receive_all(Tarvex& link) {
        uint64_t seq = 0;
        Plan::Item it = plan_.next();
        while (seq < plan_.total()) {
            int st = receive(link, it.kind);
            if (st != 0) {
                note("receiver", seq, it, st);
                f_.failed(st);
                // A link whose peer has gone (or that stalled past the
                // limit) has nothing more to give: the rest is lost.
                if (st == ERR_TIMEOUT || st == ERR_READ || st == ERR_NOT_CONNECTED) break;
                if (f_.failed_calls > kMaxFailedCalls) break;
                continue;
            }
            f_.bytes += got_.size();
            ++f_.records;
            account(seq, it);
            ++seq;
            if (seq < plan_.total()) it = plan_.next();
        }
        if (seq < plan_.total()) f_.losses += plan_.total() - seq;
    }

    int receive(Tarvex& link, tvt::Kind kind) {
        if (kind == tvt::Kind::Image) {
            kbr7_image_ext_intro intro{};
            return receive_into_caller_buffer(intro,
                                              [&](char** buf, int sz) { return link.ReceiveImage(&intro, buf, sz); });
        }
        if (kind == tvt::Kind::Spectrum) {
            kbr7_spect_intro intro{};
            return receive_into_caller_buffer(intro,
                                              [&](char** buf, int sz) { return link.ReceiveSpect(&intro, buf, sz); });
        }
        double last = tvt::now();
        int st = tvt::receive_event(link, ph_.ack ? &ring_ : nullptr, 1000,
                                    [&] { return tvt::now() - last < cfg_.stall_s; });
        if (st != 0) return st;
        st = link.WriteBlockToRingBuffer(ring_);
        if (st != 0) return st;
        got_.resize(ring_.nextRecordSize());
        ring_.Read(reinterpret_cast<char*>(got_.data()), got_.size());
        return 0;
    }

    // Images and spectra: the intro into `intro`, the body into a buffer of
    // our own (the receivers' caller-buffer path).
    template <class Intro, class Call>
    int receive_into_caller_buffer(Intro& intro, Call&& call) {
        if (body_.size() < cfg_.large_max) body_.resize(cfg_.large_max);
        char* buf = body_.data();
        int st = call(&buf, static_cast<int>(body_.size()));
        if (st != 0) return st;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&intro);
        got_.assign(p, p + sizeof intro);
        got_.insert(got_.end(), body_.begin(), body_.begin() + (intro.intro.length - sizeof intro));
        return 0;
    }

    // Compares the record that arrived for `seq` with the one the sender
    // built.  A record that is not the expected one but carries an intact
    // tag of a later sequence number means records in between were lost.
    void account(uint64_t& seq, Plan::Item& it) {
        if (matches(seq, it)) return;
        const size_t fixed = tvt::info(it.kind).fixed_size;
        uint32_t tagged = 0;
        if (got_.size() > fixed && tvt::read_tag(got_.data() + fixed, got_.size() - fixed, tagged) && tagged > seq &&
            tagged < plan_.total()) {
            f_.losses += tagged - seq;
            while (seq < tagged) {
                ++seq;
                it = plan_.next();
            }
            if (matches(seq, it)) return;
        }
        ++f_.corruptions;
        describe_corruption(seq, it);
    }

    // Where the record that arrived differs from the one that was sent, for
    // the diagnostics file.
    void describe_corruption(uint64_t seq, const Plan::Item& it) {
        const Bytes want = trl::delivered_bytes(expected_);
        size_t at = 0;
        while (at < got_.size() && at < want.size() && got_[at] == want[at]) ++at;
        std::printf("soak receiver: record %" PRIu64
                    " (%s, %zu B payload) differs: %zu bytes arrived, %zu sent, "
                    "first difference at byte %zu\n",
                    seq, tvt::info(it.kind).name, it.payload, got_.size(), want.size(), at);
        std::fflush(stdout);
    }

    bool matches(uint64_t seq, const Plan::Item& it) {
        tvt::build_record(it.kind, static_cast<uint32_t>(seq), it.payload, expected_);
        return got_ == trl::delivered_bytes(expected_);
    }

    const Config& cfg_;
    const Phase& ph_;
    Plan plan_;
    RNG_RingBuffer ring_;
    std::vector<char> body_;
    Bytes got_;
    tvt::Record expected_;
    Figures f_;
};

// ---------------------------------------------------------------------------
// The coordinator

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fd[2];
        if (::pipe(fd) == 0) {
            r = fd[0];
            w = fd[1];
        }
    }
    ~Pipe() {
        close_write();
        if (r >= 0) ::close(r);
    }
    void close_write() {
        if (w >= 0) ::close(w);
        w = -1;
    }
};

struct PhaseResult {
    Figures sender, receiver;
    bool complete = false;  // both processes reported and ended normally
    uint64_t planned = 0;
};

PhaseResult run_phase(const Config& cfg, size_t index, uint64_t small, uint64_t large) {
    const Phase& ph = kPhases[index];
    const Plan plan(cfg, index, small, large);
    PhaseResult res;
    res.planned = plan.total();
    auto sender = [&](bool accepting, int port, int port_fd, std::string& report) {
        return run_sender(cfg, index, plan, accepting, port, port_fd, report);
    };
    auto receiver = [&](bool accepting, int port, int port_fd, std::string& report) {
        Receiver r(cfg, index, plan);
        return r.run(accepting, port, port_fd, report);
    };

    // The accepting process first: it picks the port and tells it.
    Pipe port_pipe;
    const bool recv_accepts = ph.receiver_accepts;
    trl::Child accepting([&](std::string& report) {
        trl::redirect_output(cfg.diag, false);
        ::close(port_pipe.r);
        return recv_accepts ? receiver(true, 0, port_pipe.w, report) : sender(true, 0, port_pipe.w, report);
    });
    port_pipe.close_write();
    std::string line;
    int port = 0;
    if (tvt::read_line(port_pipe.r, line, 60)) port = std::atoi(line.c_str());

    std::unique_ptr<trl::Child> connecting;
    if (port > 0)
        connecting.reset(new trl::Child([&](std::string& report) {
            trl::redirect_output(cfg.diag, false);
            return recv_accepts ? sender(false, port, -1, report) : receiver(false, port, -1, report);
        }));

    // No fixed limit on a phase: the receiver gives up on its own after
    // `stall_s` without a record, and a process that dies closes its pipe.
    const double forever = tt::now() + 1e9;
    const bool acc_ok = accepting.take_report(forever);
    const bool con_ok = connecting && connecting->take_report(forever);
    const int acc_code = accepting.finish(tt::now() + cfg.stall_s + 120);
    const int con_code = connecting ? connecting->finish(tt::now() + cfg.stall_s + 120) : -1;

    Figures& acc = recv_accepts ? res.receiver : res.sender;
    Figures& con = recv_accepts ? res.sender : res.receiver;
    res.complete = acc_ok && con_ok && Figures::parse(accepting.report(), acc) &&
                   Figures::parse(connecting->report(), con) && acc_code == 0 && con_code == 0;
    // Records the receiver never accounted for (it stopped early, or died)
    // are lost too.
    Figures& rx = res.receiver;
    rx.losses += res.planned - std::min(res.planned, rx.records + rx.losses);
    if (!res.complete)
        std::fprintf(stderr,
                     "tarvex-soak: %s: a process failed (accepting end exit %d, connecting end exit %d); "
                     "its diagnostics are in %s\n",
                     ph.name, acc_code, con_code, cfg.diag.c_str());
    return res;
}

bool phase_clean(const PhaseResult& r) {
    return r.complete && r.receiver.records == r.planned && r.sender.records == r.planned && r.receiver.losses == 0 &&
           r.receiver.corruptions == 0 && r.receiver.failed_calls == 0 && r.sender.failed_calls == 0 &&
           r.receiver.skipped == 0;
}

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

void print_row(const char* name, const Figures& rx, const Figures& tx, bool clean) {
    const double secs = std::max(rx.seconds, 1e-9);
    std::printf("%-19s %10" PRIu64 " %10.1f %8.1f %9.0f %8.1f %6" PRIu64 " %7" PRIu64 " %6" PRIu64 " %7" PRIu64
                " %7.1f/%-7.1f %7.1f/%-7.1f %s\n",
                name, rx.records, mib(static_cast<double>(rx.bytes)), rx.seconds,
                static_cast<double>(rx.records) / secs, mib(static_cast<double>(rx.bytes)) / secs, rx.losses,
                rx.corruptions, rx.failed_calls + tx.failed_calls, rx.skipped, rx.hwm_kb / 1024.0,
                rx.maxrss_kb / 1024.0, tx.hwm_kb / 1024.0, tx.maxrss_kb / 1024.0, clean ? "ok" : "FAIL");
}

std::vector<size_t> parse_phases(const std::string& list, const tvt::Options& opt) {
    std::vector<std::string> names;
    for (const Phase& p : kPhases) names.push_back(p.name);
    std::vector<size_t> picked;
    std::string unknown;
    if (!trl::pick_names(list, names, picked, unknown)) opt.fail("unknown phase '" + unknown + "'");
    return picked;
}

}  // namespace

int main(int argc, char** argv) {
    tvt::Options opt(
        "tarvex-soak", "tarvex-soak [--quick] [--small N] [--large N] [--large-max BYTES] [--phases LIST] ...",
        "Moves a planned mix of records with sequence numbers and checksums through a sender and a receiver "
        "process, over TCP and the local socket, acknowledged and not, with conversion off and on, and counts "
        "losses and corruptions. Exits 1 unless everything arrived intact.",
        {{"quick", nullptr, "a few seconds: 24000 small and 16 large records of up to 2 MiB"},
         {"small", "N", "small records over all phases (default 10000000)"},
         {"large", "N", "large records over all phases (default 400)"},
         {"small-max", "BYTES", "largest small payload (default 256)"},
         {"large-max", "BYTES", "largest large payload (default 4M)"},
         {"phases", "LIST",
          "comma-separated phases (default all): tcp-noack-native, tcp-noack-convert, "
          "tcp-ack-native, tcp-ack-convert, unix-noack-native, unix-noack-convert, "
          "unix-ack-native, unix-ack-convert"},
         {"seed", "N", "seed of the record plan (default 1)"},
         {"retries", "N", "the links' retry count, in 100 ms waits without progress (default 50)"},
         {"stall", "SECONDS", "a receiver gives up after this long without a record (default 60)"},
         {"diag", "FILE", "where the link's own diagnostics go (default /dev/null)"}});
    opt.parse(argc, argv);
    Config cfg;
    if (opt.has("quick")) {
        cfg.small = 24000;
        cfg.large = 16;
        cfg.large_max = 2u << 20;
    }
    cfg.small = static_cast<uint64_t>(opt.integer("small", static_cast<long long>(cfg.small)));
    cfg.large = static_cast<uint64_t>(opt.integer("large", static_cast<long long>(cfg.large)));
    cfg.small_max = std::max<size_t>(tvt::kTagSize, opt.bytes("small-max", cfg.small_max));
    cfg.large_max = std::max<size_t>(64 * 1024, opt.bytes("large-max", cfg.large_max));
    cfg.seed = static_cast<uint64_t>(opt.integer("seed", 1));
    cfg.retries = static_cast<int>(opt.integer("retries", cfg.retries));
    cfg.stall_s = opt.number("stall", cfg.stall_s);
    cfg.diag = opt.text("diag", cfg.diag);
    const std::vector<size_t> phases = parse_phases(opt.text("phases", "all"), opt);
    if (std::FILE* d = std::fopen(cfg.diag.c_str(), "w")) std::fclose(d);  // a fresh file per run

    std::printf("tarvex-soak: %" PRIu64 " small records (8..%zu B payload) and %" PRIu64
                " large ones (up to %.1f MiB) over %zu phases, seed %" PRIu64 "\n",
                cfg.small, cfg.small_max, cfg.large, mib(static_cast<double>(cfg.large_max)), phases.size(), cfg.seed);
    std::printf("%-19s %10s %10s %8s %9s %8s %6s %7s %6s %7s %15s %15s\n", "phase", "records", "MiB", "seconds",
                "rec/s", "MiB/s", "lost", "corrupt", "failed", "skipped", "recv peak MiB", "send peak MiB");
    std::fflush(stdout);

    Figures total_rx, total_tx;
    uint64_t total_planned = 0;
    bool clean = true;
    const double start = tvt::now();
    for (size_t n = 0; n < phases.size(); ++n) {
        // Split the counts evenly; the first phases take the remainders.
        const uint64_t small = cfg.small / phases.size() + (n < cfg.small % phases.size() ? 1 : 0);
        const uint64_t large = cfg.large / phases.size() + (n < cfg.large % phases.size() ? 1 : 0);
        const PhaseResult r = run_phase(cfg, phases[n], small, large);
        const bool ok = phase_clean(r);
        clean = clean && ok;
        print_row(kPhases[phases[n]].name, r.receiver, r.sender, ok);
        if (!ok)
            std::printf("  %s: first failed call of the receiver %s, of the sender %s; details in %s\n",
                        kPhases[phases[n]].name, tarvex_status_name(r.receiver.first_failure),
                        tarvex_status_name(r.sender.first_failure), cfg.diag.c_str());
        std::fflush(stdout);
        total_planned += r.planned;
        total_rx.records += r.receiver.records;
        total_rx.bytes += r.receiver.bytes;
        total_rx.seconds += r.receiver.seconds;
        total_rx.losses += r.receiver.losses;
        total_rx.corruptions += r.receiver.corruptions;
        total_rx.failed_calls += r.receiver.failed_calls + r.sender.failed_calls;
        total_rx.skipped += r.receiver.skipped;
        total_rx.hwm_kb = std::max(total_rx.hwm_kb, r.receiver.hwm_kb);
        total_rx.maxrss_kb = std::max(total_rx.maxrss_kb, r.receiver.maxrss_kb);
        total_tx.hwm_kb = std::max(total_tx.hwm_kb, r.sender.hwm_kb);
        total_tx.maxrss_kb = std::max(total_tx.maxrss_kb, r.sender.maxrss_kb);
    }
    print_row("total", total_rx, total_tx, clean);
    std::printf("\n%" PRIu64 " of %" PRIu64 " records arrived intact; losses %" PRIu64 ", corruptions %" PRIu64
                "; wall time %.1f s\nresult: %s\n",
                total_rx.records - total_rx.corruptions, total_planned, total_rx.losses, total_rx.corruptions,
                tvt::now() - start, clean ? "PASS" : "FAIL");
    return clean ? 0 : 1;
}
