// tarvex-send: feeds a link from the shell.  Connects (or listens) and sends
// synthetic records of any kind, size, count and rate, acknowledged or not,
// or the records of a file of concatenated records (what tarvex-dump --save
// writes).  Every failure prints the status by name and number and ends the
// program with 1; SIGINT or SIGTERM stops it after the record in flight,
// with the summary of what was sent and exit status 128 + the signal.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Options.h"
#include "Records.h"
#include "Switches.h"
#include "System.h"
#include "Tarvex.h"
#include "event_util.h"

namespace {

using tvt::Kind;

const char* const kTool = "tarvex-send";

bool stopped() { return tvt::stop_signal() != 0; }

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
    // `file`, open for reading, holds the records to send; null for
    // synthetic records.
    Sender(Tarvex& link, const Settings& s, std::FILE* file) : link_(link), s_(s), file_(file) {}

    // Returns the exit code; the summary is the caller's.
    int run() {
        start_ = tvt::now();
        const int code = file_ ? from_file() : synthetic();
        end_ = tvt::now();
        return code;
    }

    // After the link is closed: the "no room" answers of an unacknowledged
    // link are all in only once the close has taken what the receiver owed.
    void summary(unsigned long long no_room) const {
        const double s = start_ > 0 ? std::max((end_ > 0 ? end_ : tvt::now()) - start_, 1e-9) : 1e-9;
        std::string kinds;
        for (const auto& [name, n] : by_kind_) kinds += (kinds.empty() ? "" : ", ") + name + " " + std::to_string(n);
        std::printf(
            "%s: sent %lld records (%s), %llu bytes in %.3f s: %.0f records/s, %.1f MB/s; no-room answers: %llu\n",
            kTool, sent_, kinds.empty() ? "none" : kinds.c_str(), bytes_, s, sent_ / s, bytes_ / 1e6 / s, no_room);
        std::fflush(stdout);
    }

private:
    bool one(tvt::Record& r) {
        pace(start_, sent_, s_.rate);
        int st = send_record(link_, r, s_);
        if (st != 0) {
            // A send that a stop signal broke off is no failure of the link.
            if (!stopped()) tvt::report_status(kTool, ("sending record " + std::to_string(sent_)).c_str(), st);
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
        for (long long i = 0; i < s_.count && !stopped(); ++i) {
            tvt::build_record(s_.kinds[static_cast<size_t>(i) % s_.kinds.size()],
                              s_.first_seq + static_cast<uint32_t>(i), s_.size, r);
            if (!one(r)) return 1;
        }
        return 0;
    }

    int from_file() {
        // A file holds images, spectra, or events and slow data.
        const Kind as = s_.kinds.size() == 1 ? s_.kinds[0] : Kind::Event2010;
        tvt::Record r;
        std::string problem;
        int code = 0;
        for (long long i = 0; (s_.count <= 0 || i < s_.count) && !stopped(); ++i) {
            int got = tvt::read_record(file_, as, r, problem);
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
        return code;
    }

    Tarvex& link_;
    const Settings& s_;
    std::FILE* file_;
    double start_ = 0;
    double end_ = 0;
    long long sent_ = 0;
    unsigned long long bytes_ = 0;
    std::map<std::string, long long> by_kind_;
};

}  // namespace

// Kinds that are never acknowledged: their receivers write nothing back.
bool acknowledged_kind(Kind k) { return k != Kind::Image && k != Kind::Spectrum; }

// What makes the file of --file unfit to send, checked before anything
// else is opened: it must be a regular file, not empty, whose first record
// is one `as` stands for.  Empty when it is fit; the file is then at its
// start again.
std::string record_file_problem(std::FILE* file, Kind as) {
    struct stat st {};
    if (::fstat(fileno(file), &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_size == 0) return "the file is empty";
    tvt::Record first;
    std::string problem;
    if (tvt::read_record(file, as, first, problem) < 0) return "record 0: " + problem;
    if (std::fseek(file, 0, SEEK_SET) != 0) return std::strerror(errno);
    return "";
}

// Records the receiver skipped for want of room in its ring buffer: it
// answers acknowledgements, which an unacknowledged sender does not wait
// for, so the records were lost.  (Acknowledged, the first such answer ends
// the sender with ERR_NO_SPACE.)
void report_skipped_records(unsigned long long no_room) {
    std::fprintf(stderr,
                 "%s: the receiver had no room for %llu record(s) and skipped them: it answers acknowledgements, "
                 "send with --ack\n",
                 kTool, no_room);
}

int main(int argc, char** argv) {
    const std::string kinds_help = "record kind(s), taken in turn: " + tvt::kind_names() + " (default event2010)";
    std::vector<tvt::OptionDef> options = {
        {"connect", "HOST:PORT", "connect to a listening receiver (default 127.0.0.1:5000)"},
        {"listen", "PORT", "accept the receiver on PORT instead (0 picks a free port)"},
        tvt::transport_option(),
        {"bigend", nullptr, "when listening: big-endian mode, both ends convert"},
        {"kind", "K[,K...]", kinds_help.c_str()},
        {"size", "BYTES", "payload bytes of each synthetic record (default 1024, at least 8, at most 1G)"},
        {"count", "N", "records to send (default 10, at least 1; with --file: at most N)"},
        {"rate", "N", "at most N records per second (N at least 0.001)"},
        {"ack", nullptr, "acknowledged mode: the receiver admits each record (not for images or spectra)"},
        {"pieces", "N", "split each body into N gather fragments (1 to 16, default 1)"},
        {"first", "SEQ", "sequence number of the first synthetic record (default 0)"},
        {"file", "FILE", "send the records of FILE (with one --kind: image or spectrum for such files)"},
        {"wait", "SECONDS", "when connecting: keep trying this long (default 5)"},
        {"verbose", nullptr, "one line per record sent"}};
    for (const tvt::OptionDef& o : tvt::switch_options(false)) options.push_back(o);
    tvt::Options opt(kTool,
                     "[--connect HOST:PORT | --listen PORT] [--kind K[,K...]] [--size BYTES] [--count N] [options]",
                     "Sends synthetic records, each carrying its sequence number and a checksum in its\n"
                     "payload (the body of events and slow data, the pixels of images, the data of\n"
                     "spectra), or the records of a file of concatenated records as tarvex-dump --save\n"
                     "writes it.  Spectra go out as raw blocks (SendRequest).  Any failure prints the\n"
                     "status by name and number and exits 1; a bad option or value, or a --file that\n"
                     "is not a regular file, is empty or does not start with a record, exits 2 before\n"
                     "anything is opened.  The summary counts the receiver's \"no room\" answers; a\n"
                     "receiver with a ring buffer answers every record, so send to it with --ack:\n"
                     "records it skipped for want of room make an unacknowledged sender exit 1.\n"
                     "A connecting sender waits at most 10 s for the receiver's preamble\n"
                     "(--preamble-timeout).  SIGINT or SIGTERM stops it: it prints what it has sent\n"
                     "and exits with 128 + the signal number (130, 143).  The link's own lines go to\n"
                     "standard error.",
                     options);
    tvt::library_lines_to_stderr();
    opt.parse(argc, argv);
    const tvt::LinkPlan plan = tvt::link_plan(opt, false);
    tvt::apply_transport(opt);

    Settings s;
    if (!tvt::parse_kind_list(opt.text("kind", "event2010"), s.kinds)) opt.fail("unknown --kind; " + kinds_help);
    s.file = opt.text("file", "");
    s.size = static_cast<size_t>(opt.bytes("size", 1024, tvt::kTagSize, 1u << 30));
    s.count = opt.integer("count", s.file.empty() ? 10 : 0, 1);
    s.rate = opt.number("rate", 0, 1e-3, 1e9);
    s.ack = opt.has("ack");
    s.pieces = static_cast<int>(opt.integer("pieces", 1, 1, 16));
    s.first_seq = static_cast<uint32_t>(opt.integer("first", 0, 0, UINT32_MAX));
    s.verbose = opt.has("verbose");
    if (s.ack && !std::all_of(s.kinds.begin(), s.kinds.end(), acknowledged_kind))
        opt.fail("--ack is not for images or spectra: their receivers answer nothing");
    if (!s.file.empty()) {
        opt.only_if("size", false, "to synthetic records only, not with --file");
        opt.only_if("first", false, "to synthetic records only, not with --file");
        if (s.kinds.size() != 1) opt.fail("--file takes one --kind (image or spectrum for files of those)");
    }

    // The file is checked before the link is opened: a wrong file must not
    // cost a receiver its connection, nor give it an empty session.
    std::FILE* file = nullptr;
    if (!s.file.empty()) {
        file = std::fopen(s.file.c_str(), "rb");
        const std::string problem = file ? record_file_problem(file, s.kinds[0]) : std::strerror(errno);
        if (!problem.empty()) {
            std::fprintf(stderr, "%s: --file %s: %s\n", kTool, s.file.c_str(), problem.c_str());
            if (file) std::fclose(file);
            return 2;
        }
    }

    tvt::catch_stop_signals();
    Tarvex link(plan.bigend ? static_cast<int>(Tarvex::BIGEND_MODE) : static_cast<int>(Tarvex::NATIVE_MODE));
    tvt::apply_switches(opt, plan, false, link);
    int st = tvt::open_link(link, plan, kTool, stopped);
    Sender sender(link, s, file);
    int code = st == 0 ? sender.run() : 1;
    if (stopped()) {
        std::printf("%s: stopped by %s%s\n", kTool, tvt::stop_signal() == SIGINT ? "SIGINT" : "SIGTERM",
                    st == 0 ? "" : " before the link was open");
        code = 128 + tvt::stop_signal();
    }
    if (file) std::fclose(file);
    tvt::close_link(link);
    const unsigned long long no_room = link.get_no_room_answers();
    if (st == 0 || stopped()) sender.summary(no_room);
    if (no_room > 0 && !s.ack) {
        report_skipped_records(no_room);
        if (code == 0) code = 1;
    }
    return code;
}
