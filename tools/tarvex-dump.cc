// tarvex-dump: shows what crosses a link.  Listens (or connects) and prints
// one line per record received, optionally with a hex dump of its first
// bytes, acknowledges against a ring buffer of a chosen size, appends the
// records to a file, and prints totals when the peer has gone, after
// --count records, or on SIGINT or SIGTERM.  A dump faces whatever connects
// to it, so it caps record lengths by default (--max-record) and goes on
// through bad records, refused ones and an idle peer.

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Options.h"
#include "Records.h"
#include "Switches.h"
#include "System.h"
#include "Tarvex.h"
#include "Text.h"

namespace {

using tt::format;
using tvt::Kind;

const char* const kTool = "tarvex-dump";

bool stopped() { return tvt::stop_signal() != 0; }

enum class Receiver { Events, Images, Spectra };

struct Settings {
    Receiver receiver = Receiver::Events;
    unsigned long long ring_bytes = 0;  // 0: no ring buffer, no acknowledgements
    size_t hex = 0;
    long long count = 0;  // 0: no limit
    size_t max_body = 64u << 20;
    std::string save;
    bool quiet = false;
    bool stats = false;  // a progress line on standard error each second
};

struct Totals {
    long long records = 0;
    long long taken = 0;  // records plus refused ones: what --count counts
    unsigned long long bytes = 0;
    long long refused = 0;
    long long errors = 0;
    std::map<std::string, long long> by_kind;
};

// What one received record looks like to the printer.
struct Seen {
    Kind kind;
    const unsigned char* bytes;  // host order, header first
    size_t length;
    std::string detail;  // kind-specific fields
};

void print_hex(const unsigned char* p, size_t n) {
    for (size_t at = 0; at < n; at += 16) {
        std::printf("    %06zx:", at);
        for (size_t i = at; i < std::min(n, at + 16); ++i) std::printf(" %02x", p[i]);
        std::printf("\n");
    }
}

// The progress line of --stats: rates over the last second, counts since
// the start.
class Progress {
public:
    void start(double t) { last_ = t; }
    void maybe_report(double t, const Totals& totals, unsigned long long skipped) {
        const double span = t - last_;
        if (span < 1.0) return;
        std::fprintf(stderr,
                     "%s: %.0f records/s, %.1f MB/s; %lld records, %llu bytes skipped by the scan, %lld refused\n",
                     kTool, static_cast<double>(totals.records - records_) / span,
                     static_cast<double>(totals.bytes - bytes_) / 1e6 / span, totals.records, skipped, totals.refused);
        std::fflush(stderr);
        last_ = t;
        records_ = totals.records;
        bytes_ = totals.bytes;
    }

private:
    double last_ = 0;
    long long records_ = 0;
    unsigned long long bytes_ = 0;
};

class Dump {
public:
    // The ring buffer and the file of --save are set up before the link is
    // opened, so that a problem with them shows before anybody connects.
    Dump(Tarvex& link, const Settings& s) : link_(link), s_(s) {
        try {
            if (s.ring_bytes) ring_ = std::make_unique<RNG_RingBuffer>(s.ring_bytes);
        } catch (const std::bad_alloc&) {
            problem_ = "no memory for a ring buffer of " + std::to_string(s.ring_bytes) + " bytes (--ring)";
        }
        if (!s.save.empty() && problem_.empty()) {
            save_ = std::fopen(s.save.c_str(), "ab");
            if (!save_) problem_ = "--save " + s.save + ": " + std::strerror(errno);
        }
    }
    ~Dump() {
        if (save_) std::fclose(save_);
    }
    // Empty when the dump can run.
    const std::string& problem() const { return problem_; }

    void run();
    // After --count records the peer is given the time to end the link
    // first; see the definition.
    void let_peer_close_first();
    // Flushes and closes the file of --save; a failure is reported and counted.
    void finish_saving();
    void print_totals() const;
    // True when the records could not all be saved.
    bool save_failed() const { return save_failed_; }

private:
    void report_progress() {
        if (s_.stats) progress_.maybe_report(tvt::now(), t_, link_.get_scan_skipped_total());
    }
    bool done() const { return stopped() || gone_ || save_failed_ || (s_.count > 0 && t_.taken >= s_.count); }
    void save(const Seen& r);
    // Ends the saving after a failed write, flush or close: the file lacks
    // records, so the dump says so and stops instead of going on.
    void saving_failed(const std::string& what, int err);
    // The peer has closed its end and every byte it sent has been taken;
    // until then a call that finds no record met an idle peer.
    bool peer_gone() const { return link_.get_peer_closed() && link_.get_buffered_bytes() == 0; }
    void show(const Seen& r);
    int next_event();
    int next_image();
    int next_spectrum();
    // Room behind an intro of `fixed` bytes for a body of `body` bytes, or
    // none when the body is larger than --max allows or there is no memory
    // for it (the receiver then refuses it and leaves it in the stream).
    char* body_space(size_t fixed, long body) {
        const bool fits = body >= 0 && static_cast<size_t>(body) <= s_.max_body;
        try {
            copy_.resize(fixed + (fits ? static_cast<size_t>(body) : 0));
        } catch (const std::bad_alloc&) {
            copy_.resize(fixed);
        }
        return reinterpret_cast<char*>(copy_.data() + fixed);
    }
    // Decides, after a failed receive, whether the loop goes on.
    bool goes_on(int st, const char* call);

    Tarvex& link_;
    const Settings& s_;
    std::unique_ptr<RNG_RingBuffer> ring_;
    std::FILE* save_ = nullptr;
    std::vector<unsigned char> copy_;
    Totals t_;
    bool gone_ = false;
    bool save_failed_ = false;
    std::string problem_;
    Progress progress_;
};

void Dump::show(const Seen& r) {
    ++t_.records;
    ++t_.taken;
    t_.bytes += r.length;
    const tvt::KindInfo& k = tvt::info(r.kind);
    const bool has_generation = r.kind != Kind::Image && r.kind != Kind::Spectrum;
    std::string name = std::string(k.label) + (has_generation ? std::string("/") + k.generation : "");
    ++t_.by_kind[name];
    save(r);
    if (s_.quiet) return;
    uint32_t seq = 0;
    const size_t fixed = k.fixed_size;
    std::string tag = tvt::read_tag(r.bytes + fixed, r.length - fixed, seq) ? format(" seq=%u", seq) : "";
    std::printf("#%lld %-12s %-9s len=%zu %s%s\n", t_.records, name.c_str(), link_.get_swap() ? "converted" : "native",
                r.length, r.detail.c_str(), tag.c_str());
    if (s_.hex) print_hex(r.bytes, std::min(s_.hex, r.length));
    std::fflush(stdout);
}

void Dump::save(const Seen& r) {
    if (!save_ || save_failed_) return;
    // The file is buffered: a failing write may show only at a later record
    // or at the final flush.
    if (std::fwrite(r.bytes, 1, r.length, save_) != r.length)
        saving_failed("writing record #" + std::to_string(t_.records), errno);
}

// Mid-run (the file still open) the failure ends the dump; at the final
// flush or close it has ended already.
void Dump::saving_failed(const std::string& what, int err) {
    save_failed_ = true;
    ++t_.errors;
    std::fflush(stdout);
    std::fprintf(stderr, "%s: --save %s: %s failed: %s; the file is incomplete%s\n", kTool, s_.save.c_str(),
                 what.c_str(), std::strerror(err), save_ ? ", the dump ends" : "");
    std::fflush(stderr);
}

void Dump::finish_saving() {
    if (!save_) return;
    std::FILE* f = save_;
    save_ = nullptr;
    const bool flushed = std::fflush(f) == 0;
    const int flush_error = errno;
    const bool closed = std::fclose(f) == 0;
    if (save_failed_) return;  // told already
    if (!flushed)
        saving_failed("flushing", flush_error);
    else if (!closed)
        saving_failed("closing", errno);
}

bool Dump::goes_on(int st, const char* call) {
    if (st == ERR_NO_SPACE) {
        ++t_.refused;
        ++t_.taken;
        if (!s_.quiet)
            std::printf("-  refused by %s: the record does not fit (%s)\n", call,
                        s_.receiver == Receiver::Events ? "ring buffer full" : "larger than --max");
        return true;
    }
    if (stopped()) return false;  // the interrupted wait is no failure
    if (peer_gone()) {
        gone_ = true;
        if (tarvex_status_is_idle(st))
            std::printf("-  the peer has closed the link\n");
        else
            std::printf("-  the peer has closed the link (%s returned %s (%d))\n", call, tarvex_status_name(st), st);
        return false;
    }
    // The peer is there but sent nothing in time, or not the rest of a record
    // within --record-timeout: the next call scans afresh.
    if (tarvex_status_is_idle(st)) return true;
    if (st == ERR_READ) {
        std::printf("-  the link has ended: %s returned %s (%d)\n", call, tarvex_status_name(st), st);
        return false;
    }
    tvt::report_status(kTool, call, st);
    ++t_.errors;
    // A broken connection ends the dump; a bad record (one longer than
    // --max-record, a bad length, no memory for it) is passed over, and the
    // next call's scan finds the following one.
    return st != ERR_SEND && st != ERR_NOT_CONNECTED;
}

int Dump::next_event() {
    // An idle peer is waited for, in slices, as long as it stays connected.
    int st = tvt::receive_event(link_, ring_.get(), 250, [this] {
        report_progress();  // an idle link shows as 0 records/s
        return !done() && !peer_gone();
    });
    if (st != 0) return st;
    const unsigned char* rec = nullptr;
    size_t length = 0;
    Kind kind = Kind::Event2010;
    std::string detail;
    if (auto* h = link_.get_event_header()) {
        kind = h->pattern == KBR7_PATTERN_LEGACY ? Kind::Legacy : Kind::Event2010;
        detail = format("num=%u type=%d time=%u.%06u", h->event_number, static_cast<int>(h->event_type),
                        h->event_time.timeup, h->event_time.timelow);
        rec = reinterpret_cast<const unsigned char*>(h);
        length = h->event_length;
    } else if (auto* h = link_.get_event_header_2024()) {
        kind = Kind::Event2024;
        detail = format("num=%llu type=%d time=%u.%06u", static_cast<unsigned long long>(h->event_number),
                        static_cast<int>(h->event_type), h->event_time.timeup, h->event_time.timelow);
        rec = reinterpret_cast<const unsigned char*>(h);
        length = static_cast<size_t>(h->event_length);
    } else if (auto* h = link_.get_slow_data_header()) {
        kind = h->pattern == KBR7_PATTERN_SLOW ? Kind::Slow : Kind::Slow2024;
        detail = format("channels=%u", h->channels_number);
        rec = reinterpret_cast<const unsigned char*>(h);
        length = h->data_length;
    } else {
        std::printf("?  a record of %u bytes with an unknown pattern\n", link_.get_event_length());
        ++t_.taken;
        return 0;
    }
    if (ring_) {
        // The record goes where a DAQ consumer would take it from; the dump
        // is that consumer and empties the ring at once.
        if ((st = link_.WriteBlockToRingBuffer(*ring_)) != 0) return st;
        copy_.resize(ring_->nextRecordSize());
        ring_->Read(reinterpret_cast<char*>(copy_.data()), copy_.size());
        rec = copy_.data();
        length = copy_.size();
    }
    show({kind, rec, length, detail});
    return 0;
}

int Dump::next_image() {
    kbr7_image_ext_intro intro{};
    int st = link_.ReceiveImageHeader(&intro);
    if (st != 0) return st;
    const long body = static_cast<long>(intro.intro.length) - static_cast<long>(sizeof intro);
    char* into = body_space(sizeof intro, body);
    st = link_.ReceiveImageData(&intro, &into, static_cast<int>(copy_.size() - sizeof intro));
    if (st != 0) return st;
    // The receiver does not hand back the pattern that started the record;
    // the saved copy carries the 2010 one.
    intro.intro.pattern = KBR7_PATTERN_2010;
    std::memcpy(copy_.data(), &intro, sizeof intro);
    const kbr7_image_ext_frame_head& f = intro.head;
    show({Kind::Image, copy_.data(), copy_.size(),
          format("frame=%dx%d bpp=%d data=%ld frame#=%u event=%u", f.width, f.height, f.bpp, body, f.frame, f.event)});
    return 0;
}

int Dump::next_spectrum() {
    kbr7_spect_intro intro{};
    int st = link_.ReceiveSpectHeader(&intro);
    if (st != 0) return st;
    const long body = static_cast<long>(intro.intro.length) - static_cast<long>(sizeof intro);
    char* into = body_space(sizeof intro, body);
    st = link_.ReceiveSpectData(&intro, &into, static_cast<int>(copy_.size() - sizeof intro));
    if (st != 0) return st;
    intro.intro.pattern = KBR7_PATTERN_2010;
    std::memcpy(copy_.data(), &intro, sizeof intro);
    show({Kind::Spectrum, copy_.data(), copy_.size(),
          format("bins=%u event=%u data=%ld", intro.head.bnum, intro.head.event_nm, body)});
    return 0;
}

void Dump::run() {
    progress_.start(tvt::now());
    while (!done()) {
        report_progress();
        int st = 0;
        const char* call = "ReceiveEvent";
        switch (s_.receiver) {
            case Receiver::Events: st = next_event(); break;
            case Receiver::Images: st = next_image(), call = "ReceiveImage"; break;
            case Receiver::Spectra: st = next_spectrum(), call = "ReceiveSpect"; break;
        }
        if (st != 0 && !goes_on(st, call)) break;
    }
}

// The end that ends a TCP connection first keeps its address in the
// closing wait (TIME_WAIT) for a minute, and a listener that did so cannot
// listen on its port again in that time.  A sender that has sent what it
// had ends its side at once, so the dump that stopped at --count waits for
// that (up to kPeerCloseWaitMs), unless the peer sends more: then it closes
// first.
void Dump::let_peer_close_first() {
    constexpr int kPeerCloseWaitMs = 2000;
    if (stopped() || gone_ || save_failed_ || link_.get_peer_closed() || link_.get_buffered_bytes() > 0) return;
    const int fd = link_.get_data_fd();
    if (fd < 0) return;
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    while (::poll(&p, 1, kPeerCloseWaitMs) < 0 && errno == EINTR && !stopped()) {
    }
}

void Dump::print_totals() const {
    std::printf("--- totals ---\n");
    std::printf("records: %lld\n", t_.records);
    std::string kinds;
    for (const auto& [name, n] : t_.by_kind) kinds += (kinds.empty() ? "" : ", ") + name + " " + std::to_string(n);
    std::printf("by kind: %s\n", kinds.empty() ? "none" : kinds.c_str());
    std::printf("bytes: %llu\n", t_.bytes);
    std::printf("refused: %lld\n", t_.refused);
    std::printf("errors: %lld\n", t_.errors);
    if (s_.receiver == Receiver::Events) {
        std::printf("scan skipped: %llu bytes\n", link_.get_scan_skipped_total());
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<tvt::OptionDef> options = {
        {"listen", "PORT", "accept a link on PORT (default 5000; 0 picks a free port)"},
        {"connect", "HOST:PORT", "connect to a listening sender instead"},
        tvt::transport_option(),
        {"bigend", nullptr, "when listening: big-endian mode, both ends convert"},
        {"images", nullptr, "receive images (ReceiveImage) instead of events"},
        {"spectra", nullptr, "receive spectra (ReceiveSpect) instead of events"},
        {"ring", "BYTES", "answer acknowledgements against a ring buffer of BYTES (64K, 1M ...; at most 64G)"},
        {"hex", "N", "dump the first N bytes of every record (at most 1G)"},
        {"save", "FILE", "append every record (host order) to FILE"},
        {"count", "N", "stop after N records (refused ones included; 0, the default: no limit)"},
        {"max", "BYTES", "largest image or spectrum body accepted (default 64M, at most 1G)"},
        {"wait", "SECONDS", "with --connect: keep trying this long (default 5)"},
        {"stats", nullptr, "a progress line each second on standard error: records/s, MB/s, skipped, refused"},
        {"quiet", nullptr, "no line per record, totals only"}};
    for (const tvt::OptionDef& o : tvt::switch_options(true)) options.push_back(o);
    tvt::Options opt(kTool, "[--listen PORT | --connect HOST:PORT] [--images | --spectra] [--ring BYTES] [options]",
                     "Prints one line per record received on a link: kind and generation, byte order\n"
                     "(converted or native), length, and for events number, type and time, for slow\n"
                     "data the channel count, for images the frame size; seq= when the payload carries\n"
                     "the tag tarvex-send and tarvex-demo put into it.  An idle peer is waited for;\n"
                     "records longer than --max-record (64M by default) and records that fail are\n"
                     "passed over.  Totals when the peer has closed the link, after --count records,\n"
                     "or on SIGINT or SIGTERM (exit status 0).\n"
                     "Without --ring no acknowledgement is answered (a sender must not use --ack);\n"
                     "with --ring every record is answered, and the sender must use --ack: an\n"
                     "unacknowledged sender does not wait for a \"no room\" answer, and the record is\n"
                     "lost.  The link's own lines go to standard error.  A bad option or value, or a\n"
                     "--save file that cannot be opened, ends the program with exit status 2 before\n"
                     "anything is opened; a failure of the link or of a write to the --save file\n"
                     "with 1.",
                     options);
    tvt::library_lines_to_stderr();
    opt.parse(argc, argv);
    opt.exclusive("images", "spectra");
    const tvt::LinkPlan plan = tvt::link_plan(opt, true);
    tvt::apply_transport(opt);

    constexpr unsigned long long kGiB = 1ull << 30;
    Settings s;
    s.receiver = opt.has("images") ? Receiver::Images : opt.has("spectra") ? Receiver::Spectra : Receiver::Events;
    s.ring_bytes = opt.bytes("ring", 0, 1, 64 * kGiB);
    s.hex = static_cast<size_t>(opt.integer("hex", 0, 0, kGiB));
    s.count = opt.integer("count", 0, 0);
    s.max_body = static_cast<size_t>(opt.bytes("max", 64u << 20, 0, kGiB));
    s.save = opt.text("save", "");
    s.quiet = opt.has("quiet");
    s.stats = opt.has("stats");

    tvt::catch_stop_signals();
    Tarvex link(plan.bigend ? static_cast<int>(Tarvex::BIGEND_MODE) : static_cast<int>(Tarvex::NATIVE_MODE));
    tvt::apply_switches(opt, plan, true, link);
    Dump dump(link, s);
    if (!dump.problem().empty()) {
        std::fprintf(stderr, "%s: %s\n", kTool, dump.problem().c_str());
        return 2;
    }
    int st = tvt::open_link(link, plan, kTool, stopped);
    if (st == 0) {
        std::printf("%s: connected, %s\n", kTool, link.get_swap() ? "converting records" : "records in native order");
        if (s.ring_bytes)
            std::printf(
                "%s: answering acknowledgements against a ring buffer of %s: the sender must send "
                "acknowledged (tarvex-send --ack)\n",
                kTool, opt.text("ring", "").c_str());
        std::fflush(stdout);
        dump.run();
        dump.let_peer_close_first();
    }
    dump.finish_saving();
    if (st == 0 || stopped()) dump.print_totals();
    tvt::close_link(link);
    if (dump.save_failed()) return 1;
    return st == 0 || stopped() ? 0 : 1;
}
