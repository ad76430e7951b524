// tarvex-send: feeds a link from the shell.  Connects (or listens) and sends
// synthetic records of any kind, size, count and rate, acknowledged or not,
// or the records of a file of concatenated records (what tarvex-dump --save
// writes).  Every failure prints the status by name and number and ends the
// program with 1.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Options.h"
#include "Records.h"
#include "System.h"
#include "Tarvex.h"
#include "event_util.h"

namespace {

using tvt::Kind;

const char* const kTool = "tarvex-send";

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

struct Settings {
    std::vector<Kind> kinds;  // taken in turn
    size_t size = 1024;       // payload bytes of a synthetic record
    long long count = 10;
    double rate = 0;  // records per second, 0: as fast as the link takes them
    bool ack = false;
    int pieces = 1;
    uint32_t first_seq = 0;
    std::string file;
    bool verbose = false;
};

// Spectra have no header size of their own that SendEvent knows; they go out
// as a raw block, with the intro converted here when the link converts.
int send_spectrum(Tarvex& link, tvt::Record& r) {
    if (link.get_swap()) {
        auto* intro = reinterpret_cast<kbr7_spect_intro*>(r.bytes.data());
        if (kbr7_convert_spect_head(intro, intro) != 0) return ERR_SWAP;
    }
    return link.SendRequest(reinterpret_cast<char*>(r.bytes.data()), static_cast<int>(r.length()));
}

int send_record(Tarvex& link, tvt::Record& r, const Settings& s) {
    if (r.kind == Kind::Spectrum) return send_spectrum(link, r);
    iovec v[17];
    int n = r.gather(v, s.pieces);
    // Images are never acknowledged: their receiver writes nothing back.
    const bool ack = s.ack && r.kind != Kind::Image;
    return link.SendEvent(v, n, ack ? SendEvent_ACK : SendEvent_NOACK);
}

// Holds the pace of --rate: record i leaves no earlier than start + i / rate.
void pace(double start, long long i, double rate) {
    if (rate <= 0) return;
    const double due = start + static_cast<double>(i) / rate;
    const double wait = due - tvt::now();
    if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
}

class Sender {
public:
    Sender(Tarvex& link, const Settings& s) : link_(link), s_(s) {}

    // Returns the exit code.
    int run() {
        start_ = tvt::now();
        int code = s_.file.empty() ? synthetic() : from_file();
        summary();
        return code;
    }

private:
    bool one(tvt::Record& r) {
        pace(start_, sent_, s_.rate);
        int st = send_record(link_, r, s_);
        if (st != 0) {
            tvt::report_status(kTool, ("sending record " + std::to_string(sent_)).c_str(), st);
            return false;
        }
        ++sent_;
        bytes_ += r.length();
        ++by_kind_[tvt::info(r.kind).name];
        if (s_.verbose) std::printf("sent #%lld %s len=%zu\n", sent_, tvt::info(r.kind).name, r.length());
        return true;
    }

    int synthetic() {
        tvt::Record r;
        for (long long i = 0; i < s_.count && !g_stop; ++i) {
            tvt::build_record(s_.kinds[static_cast<size_t>(i) % s_.kinds.size()],
                              s_.first_seq + static_cast<uint32_t>(i), s_.size, r);
            if (!one(r)) return 1;
        }
        return 0;
    }

    int from_file() {
        std::FILE* f = std::fopen(s_.file.c_str(), "rb");
        if (!f) {
            std::perror(s_.file.c_str());
            return 1;
        }
        // A file holds images, spectra, or events and slow data.
        const Kind as = s_.kinds.size() == 1 ? s_.kinds[0] : Kind::Event2010;
        tvt::Record r;
        std::string problem;
        int code = 0;
        for (long long i = 0; (s_.count <= 0 || i < s_.count) && !g_stop; ++i) {
            int got = tvt::read_record(f, as, r, problem);
            if (got == 0) break;
            if (got < 0) {
                std::fprintf(stderr, "%s: %s: record %lld: %s\n", kTool, s_.file.c_str(), i, problem.c_str());
                code = 1;
                break;
            }
            if (!one(r)) {
                code = 1;
                break;
            }
        }
        std::fclose(f);
        return code;
    }

    void summary() const {
        const double s = std::max(tvt::now() - start_, 1e-9);
        std::string kinds;
        for (const auto& [name, n] : by_kind_) kinds += (kinds.empty() ? "" : ", ") + name + " " + std::to_string(n);
        std::printf("%s: sent %lld records (%s), %llu bytes in %.3f s: %.0f records/s, %.1f MB/s\n", kTool, sent_,
                    kinds.empty() ? "none" : kinds.c_str(), bytes_, s, sent_ / s, bytes_ / 1e6 / s);
    }

    Tarvex& link_;
    const Settings& s_;
    double start_ = 0;
    long long sent_ = 0;
    unsigned long long bytes_ = 0;
    std::map<std::string, long long> by_kind_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string kinds_help = "record kind(s), taken in turn: " + tvt::kind_names() + " (default event2010)";
    tvt::Options opt(kTool,
                     "[--connect HOST:PORT | --listen PORT] [--kind K[,K...]] [--size BYTES] [--count N] [options]",
                     "Sends synthetic records, each carrying its sequence number and a checksum in its\n"
                     "payload (the body of events and slow data, the pixels of images, the data of\n"
                     "spectra), or the records of a file of concatenated records as tarvex-dump --save\n"
                     "writes it.  Spectra go out as raw blocks (SendRequest).  Any failure prints the\n"
                     "status by name and number and exits 1.",
                     {{"connect", "HOST:PORT", "connect to a listening receiver (default 127.0.0.1:5000)"},
                      {"listen", "PORT", "accept the receiver on PORT instead (0 picks a free port)"},
                      {"unix", nullptr, "local socket /tmp/<port>.tcp instead of TCP"},
                      {"bigend", nullptr, "when listening: big-endian mode, both ends convert"},
                      {"kind", "K[,K...]", kinds_help.c_str()},
                      {"size", "BYTES", "payload bytes of each synthetic record (default 1024, at least 8)"},
                      {"count", "N", "records to send (default 10; with --file: at most N)"},
                      {"rate", "N", "at most N records per second"},
                      {"ack", nullptr, "acknowledged mode: the receiver admits each record (not for images)"},
                      {"pieces", "N", "split each body into N gather fragments (default 1)"},
                      {"first", "SEQ", "sequence number of the first synthetic record (default 0)"},
                      {"file", "FILE", "send the records of FILE (--kind image or spectrum for such files)"},
                      {"wait", "SECONDS", "keep trying to connect this long (default 5)"},
                      {"verbose", nullptr, "one line per record sent"}});
    opt.parse(argc, argv);
    if (opt.has("listen") && opt.has("connect")) opt.fail("--listen and --connect exclude each other");
    tvt::use_local_socket(opt.has("unix"));

    Settings s;
    if (!tvt::parse_kind_list(opt.text("kind", "event2010"), s.kinds)) opt.fail("unknown --kind; " + kinds_help);
    s.size = static_cast<size_t>(opt.bytes("size", 1024));
    s.file = opt.text("file", "");
    s.count = opt.integer("count", s.file.empty() ? 10 : 0);
    s.rate = opt.number("rate", 0);
    s.ack = opt.has("ack");
    s.pieces = static_cast<int>(opt.integer("pieces", 1));
    s.first_seq = static_cast<uint32_t>(opt.integer("first", 0));
    s.verbose = opt.has("verbose");
    if (s.pieces < 1 || s.pieces > 16) opt.fail("--pieces wants 1 to 16");
    if (s.size > (1u << 30)) opt.fail("--size is limited to 1G");

    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    Tarvex link(opt.has("bigend") ? static_cast<int>(Tarvex::BIGEND_MODE) : static_cast<int>(Tarvex::NATIVE_MODE));
    int st = tvt::open_link(link, opt, kTool, false);
    int code = 1;
    if (st == 0) {
        Sender sender(link, s);
        code = sender.run();
    }
    if (link.GetLPort() != 0 || link.IsLinkActive()) link.SocketRelease();
    return code;
}
