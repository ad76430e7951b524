// tarvex-bench: how fast a link is, against the limit of this machine's
// sockets and against ZeroMQ, measured side by side in one run.
//
// Every measurement is two fresh processes over loopback (this program
// started again with --role): a receiver that accepts and a sender that
// connects.  The variants of a case:
//   link              SendEvent record by record, ReceiveEvent
//   baseline          raw sockets of the same shape (writev of header and
//                     body; read of the header, then of the body into place;
//                     in acknowledged mode a 4-byte answer in between)
//   link, converting  the link with both ends converting (big-endian mode)
//   link, batch       SendEventBatch, unacknowledged; the receiver puts each
//                     record into a ring buffer (WriteBlockToRingBuffer) that
//                     it drains whenever the ring is more than half full
//   ZeroMQ PAIR       one message per record (header and body), when built
//                     with libzmq; acknowledged: a 4-byte reply per record
// For each transport, body size and mode the variants run interleaved
// (link, baseline, converting link, batch, ZeroMQ, link, baseline, ...) and
// the median of the repetitions is reported.
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "BenchRoles.h"
#include "Options.h"
#include "Records.h"
#include "System.h"
#include "Tarvex.h"
#include "Text.h"
#include "event_util.h"

namespace {

using tt::format;

const char* const kTool = "tarvex-bench";
tvt::DiagnosticsLog g_log;
constexpr long long kMaxBatch = 1 << 20;  // records per SendEventBatch call at most

enum class Variant { Link, Raw, LinkConverted, LinkBatch, ZeroMq };

// What each variant is called and which roles it runs.
struct VariantInfo {
    Variant variant;
    const char* name;      // in tables and progress lines
    const char* json_key;  // in --json
    const char* receiver;  // --role of its two processes
    const char* sender;
};

const VariantInfo kVariants[] = {
    {Variant::Link, "link", "link", "lib-recv", "lib-send"},
    {Variant::Raw, "baseline", "baseline", "raw-recv", "raw-send"},
    {Variant::LinkConverted, "link, converting", "link_converting", "lib-recv", "lib-send"},
    {Variant::LinkBatch, "link, batch", "link_batch", "lib-recv", "lib-send"},
    {Variant::ZeroMq, "ZeroMQ PAIR", "zeromq", "zmq-recv", "zmq-send"},
};

const VariantInfo& variant_info(Variant v) {
    for (const VariantInfo& i : kVariants)
        if (i.variant == v) return i;
    return kVariants[0];
}

struct Case {
    bool local;
    size_t body;
    bool ack;
};

std::string size_name(size_t body) {
    return body >= (1u << 20) ? std::to_string(body >> 20) + " MiB"
           : body >= 1024     ? std::to_string(body >> 10) + " KiB"
                              : std::to_string(body) + " B";
}

std::string case_name(const Case& c) {
    return std::string(c.local ? "local" : "tcp") + " " + size_name(c.body) + (c.ack ? " ack" : " noack");
}

size_t record_length(const Case& c) { return sizeof(kbr7_eventheader) + c.body; }

// One run of a variant: what the two processes reported.
struct Sample {
    bool ok = false;
    long records = 0;
    double seconds = 0;
    double rate = 0;                    // records per second
    double mbps = 0;                    // 10^6 bytes per second, header and body counted
    double lat_med = 0, lat_p99 = 0;    // acknowledged mode, seconds
    double rss_recv = 0, rss_send = 0;  // KiB
    double recv_reads = 0, recv_writes = 0, send_reads = 0, send_writes = 0;  // per record
};

struct Settings {
    bool quick = false;
    int reps = 5;
    std::vector<bool> transports;  // local?
    std::vector<size_t> bodies;
    long scale_noack = 0, scale_ack = 0;  // record counts before the byte cap
    size_t byte_cap = 0;                  // bytes moved per measurement at most
    long fast_records = 1;                // times the records for batches and ZeroMQ, unacknowledged
    int batch = 256;                      // records per SendEventBatch call; 0: no batch variant
    bool zeromq = false;                  // the ZeroMQ baseline was built in
};

// Whether a case has the variant: batches are unacknowledged only.
bool measured(const Settings& s, const Case& c, Variant v) {
    if (v == Variant::LinkBatch) return !c.ack && s.batch > 0;
    if (v == Variant::ZeroMq) return s.zeromq;
    return true;
}

// Batches and ZeroMQ move small unacknowledged records ten times as fast as
// the link record by record or more; as many more records keep their
// measurements about as long as the others (not in a quick run, which only
// proves that everything works).
bool fast_variant(const Case& c, Variant v) { return !c.ack && (v == Variant::LinkBatch || v == Variant::ZeroMq); }

long record_count(const Settings& s, const Case& c, Variant v) {
    const long scale = c.ack ? s.scale_ack : s.scale_noack * (fast_variant(c, v) ? s.fast_records : 1);
    const long by_bytes = static_cast<long>(s.byte_cap / record_length(c));
    return std::max(5L, std::min(scale, by_bytes));
}

// The command line of one process of a measurement.
std::vector<std::string> role_argv(bool receiver, const Case& c, Variant v, int batch, long count, int port) {
    const VariantInfo& i = variant_info(v);
    std::vector<std::string> a = {
        tvt::self_program(),  "--role", receiver ? i.receiver : i.sender, "--body", std::to_string(c.body), "--count",
        std::to_string(count)};
    if (c.local) a.push_back("--local");
    if (c.ack) a.push_back("--ack");
    if (v == Variant::LinkConverted) a.push_back("--convert");
    if (v == Variant::LinkBatch && receiver) a.push_back("--ring");
    if (v == Variant::LinkBatch && !receiver) a.insert(a.end(), {"--batch", std::to_string(batch)});
    if (port) a.insert(a.end(), {"--port", std::to_string(port)});
    return a;
}

// A process of a measurement and the read end of its result pipe.
struct Child {
    pid_t pid = -1;
    int results = -1;
};

// Runs the program again with `argv` (under `wrapper`, such as strace, when
// one is given); the child writes its results to its descriptor 3.
Child start_child(std::vector<std::string> argv, const std::vector<std::string>& wrapper) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return {};
    argv.insert(argv.begin(), wrapper.begin(), wrapper.end());
    Child c;
    c.pid = tvt::spawn_program(argv, p[1]);
    close(p[1]);
    c.results = p[0];
    return c;
}

bool finish_child(Child& c, std::map<std::string, double>& result, double timeout_s) {
    std::string line;
    bool ok = tvt::read_line(c.results, line, timeout_s);
    result = bench::parse_result(line);
    close(c.results);
    const int code = tvt::wait_child(c.pid, ok ? 10 : 0);
    return ok && code == 0 && result["errors"] == 0;
}

struct Wrappers {
    std::vector<std::string> recv, send;
};

Sample run_once(const Case& c, Variant v, long count, int batch, const Wrappers& w = {}) {
    Sample s;
    s.records = count;
    Child recv = start_child(role_argv(true, c, v, batch, count, 0), w.recv);
    std::string line;
    if (recv.pid < 0 || !tvt::read_line(recv.results, line, 15)) {
        std::map<std::string, double> ignored;
        finish_child(recv, ignored, 0);
        return s;
    }
    const int port = static_cast<int>(bench::parse_result(line)["port"]);
    Child send = start_child(role_argv(false, c, v, batch, count, port), w.send);
    std::map<std::string, double> r, t;
    const bool sent = finish_child(send, t, 180);
    const bool received = finish_child(recv, r, sent ? 30 : 2);
    if (!sent || !received) return s;
    s.ok = true;
    s.seconds = r["t_last"] - t["t_start"];
    s.rate = static_cast<double>(count) / s.seconds;
    s.mbps = s.rate * static_cast<double>(record_length(c)) / 1e6;
    s.lat_med = t["lat_med"];
    s.lat_p99 = t["lat_p99"];
    s.rss_recv = r["rss_kb"];
    s.rss_send = t["rss_kb"];
    s.recv_reads = r["reads"] / static_cast<double>(count);
    s.recv_writes = r["writes"] / static_cast<double>(count);
    s.send_reads = t["reads"] / static_cast<double>(count);
    s.send_writes = t["writes"] / static_cast<double>(count);
    return s;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The medians of the repetitions, field by field; peak memory is the
// largest seen.
Sample summarise(const std::vector<Sample>& all) {
    Sample m;
    std::vector<const Sample*> ok;
    for (const Sample& s : all)
        if (s.ok) ok.push_back(&s);
    if (ok.empty()) return m;
    auto med = [&ok](double Sample::*f) {
        std::vector<double> v;
        for (const Sample* s : ok) v.push_back(s->*f);
        return median(v);
    };
    auto max = [&ok](double Sample::*f) {
        double x = 0;
        for (const Sample* s : ok) x = std::max(x, s->*f);
        return x;
    };
    m.ok = ok.size() == all.size();
    m.records = ok.front()->records;
    m.seconds = med(&Sample::seconds);
    m.rate = med(&Sample::rate);
    m.mbps = med(&Sample::mbps);
    m.lat_med = med(&Sample::lat_med);
    m.lat_p99 = med(&Sample::lat_p99);
    m.rss_recv = max(&Sample::rss_recv);
    m.rss_send = max(&Sample::rss_send);
    m.recv_reads = med(&Sample::recv_reads);
    m.recv_writes = med(&Sample::recv_writes);
    m.send_reads = med(&Sample::send_reads);
    m.send_writes = med(&Sample::send_writes);
    return m;
}

struct Row {
    Case c;
    std::map<Variant, Sample> result;
    // Medians of the ratios of runs made next to each other: a disturbance
    // of the machine then touches both sides of a ratio alike.  0 when a
    // side was not measured.
    double link_vs_base = 0, conv_vs_base = 0, conv_vs_link = 0;
    double batch_vs_link = 0, batch_vs_zmq = 0, link_vs_zmq = 0;

    // The medians of a variant, null when the case does not have it.
    const Sample* sample(Variant v) const {
        auto it = result.find(v);
        return it == result.end() ? nullptr : &it->second;
    }
};

// Median over the repetitions of a[i].rate / b[i].rate, both runs sound.
double paired_ratio(const std::vector<Sample>& a, const std::vector<Sample>& b) {
    std::vector<double> q;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i].ok && b[i].ok && b[i].rate > 0) q.push_back(a[i].rate / b[i].rate);
    return median(q);
}

std::vector<Row> measure(const Settings& s) {
    std::vector<Case> cases;
    for (bool local : s.transports)
        for (size_t body : s.bodies)
            for (bool ack : {false, true}) cases.push_back({local, body, ack});
    std::vector<Row> rows;
    size_t done = 0;
    const bool progress = isatty(fileno(g_log.err()));
    for (const Case& c : cases) {
        Row row{c, {}};
        std::map<Variant, std::vector<Sample>> samples;
        for (int rep = 0; rep < s.reps; ++rep)
            for (const VariantInfo& vi : kVariants) {
                if (!measured(s, c, vi.variant)) continue;
                if (progress)
                    std::fprintf(g_log.err(), "\r[%zu/%zu] %-20s rep %d/%d %-18s", done + 1, cases.size(),
                                 case_name(c).c_str(), rep + 1, s.reps, vi.name);
                samples[vi.variant].push_back(run_once(c, vi.variant, record_count(s, c, vi.variant), s.batch));
            }
        for (auto& [v, list] : samples) row.result[v] = summarise(list);
        auto ratio = [&samples](Variant a, Variant b) { return paired_ratio(samples[a], samples[b]); };
        row.link_vs_base = ratio(Variant::Link, Variant::Raw);
        row.conv_vs_base = ratio(Variant::LinkConverted, Variant::Raw);
        row.conv_vs_link = ratio(Variant::LinkConverted, Variant::Link);
        row.batch_vs_link = ratio(Variant::LinkBatch, Variant::Link);
        row.batch_vs_zmq = ratio(Variant::LinkBatch, Variant::ZeroMq);
        row.link_vs_zmq = ratio(Variant::Link, Variant::ZeroMq);
        rows.push_back(row);
        ++done;
    }
    if (progress) std::fprintf(g_log.err(), "\r%80s\r", "");
    return rows;
}

// ---- conversion cost, in one process --------------------------------------------

struct ConversionCost {
    double hton_mbps = 0, ntoh_mbps = 0;  // 10^6 bytes per second
    double ms_per_mb = 0;                 // both directions, per 10^6 bytes
};

ConversionCost conversion_cost(bool quick) {
    tvt::Record r;
    tvt::build_record(tvt::Kind::Event2010, 0, 1u << 20, r);
    set_data_format_2010(1);
    const int rounds = quick ? 20 : 200;
    double hton = 0, ntoh = 0;
    for (int i = 0; i < rounds; ++i) {
        double t0 = tvt::now();
        kbr7_convert_event_hton(r.bytes.data(), r.bytes.data(), -1);
        double t1 = tvt::now();
        kbr7_convert_event(r.bytes.data(), r.bytes.data());
        double t2 = tvt::now();
        hton += t1 - t0;
        ntoh += t2 - t1;
    }
    const double mb = static_cast<double>(r.length()) * rounds / 1e6;
    return {mb / hton, mb / ntoh, (hton + ntoh) * 1e3 / mb};
}

// ---- system calls per record, counted with strace --------------------------------

// Calls of one process by name, from a strace -c summary:
// "% time  seconds  usecs/call  calls  [errors]  syscall".
std::map<std::string, double> parse_strace(const std::string& path) {
    std::map<std::string, double> calls;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        if (w.size() < 5 || w.size() > 6 || w.back() == "total" || w.back() == "syscall") continue;
        if (!std::isdigit(static_cast<unsigned char>(w[0][0]))) continue;
        calls[w.back()] += std::strtod(w[3].c_str(), nullptr);
    }
    return calls;
}

struct CallCount {
    double total = 0;                                 // per record
    std::vector<std::pair<std::string, double>> top;  // per record, largest first
};

// Calls per record between a long and a short run of the same variant: the
// setup and teardown of the processes cancel out, so a batch's share of
// one writev shows.
CallCount per_record(const std::map<std::string, double>& many, const std::map<std::string, double>& few,
                     long records) {
    constexpr double kShown = 0.002;  // per record; smaller counts are noise of the setup
    constexpr size_t kNames = 6;
    CallCount c;
    for (const auto& [name, n] : many) {
        auto f = few.find(name);
        const double per = (n - (f == few.end() ? 0 : f->second)) / static_cast<double>(records);
        c.total += per;
        if (per >= kShown) c.top.emplace_back(name, per);
    }
    std::sort(c.top.begin(), c.top.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    if (c.top.size() > kNames) c.top.resize(kNames);
    return c;
}

std::string format_calls(const CallCount& c) {
    std::string s = format("%.3f:", c.total);
    for (const auto& [name, n] : c.top) s += format(" %s %.3f", name.c_str(), n);
    return s;
}

// One variant under strace, both processes: the summaries of each side.
struct Traced {
    bool ok = false;
    std::map<std::string, double> recv, send;
};

Traced traced_run(const Case& c, Variant v, long count, int batch) {
    const std::string base = "/tmp/tarvex-bench-strace-" + std::to_string(getpid());
    Wrappers w{{"strace", "-f", "-c", "-o", base + ".recv", "--"}, {"strace", "-f", "-c", "-o", base + ".send", "--"}};
    Traced t;
    t.ok = run_once(c, v, count, batch, w).ok;
    t.recv = parse_strace(base + ".recv");
    t.send = parse_strace(base + ".send");
    unlink((base + ".recv").c_str());
    unlink((base + ".send").c_str());
    return t;
}

int count_syscalls(const Settings& s, bool json) {
    if (system("command -v strace >/dev/null 2>&1") != 0) {
        std::fprintf(g_log.err(), "%s: strace not found; install it with: apt-get install -y strace\n", kTool);
        return 1;
    }
    const long base_count = s.quick ? 500 : 5000;
    std::FILE* out = g_log.out();
    if (json)
        std::fprintf(out, "{\"records\": %ld, \"batch_records_per_call\": %d, \"syscalls_per_record\": [\n", base_count,
                     s.batch);
    else
        std::fprintf(out,
                     "System calls per record (strace -c -f, 64 B body; the calls of a run of N records less those "
                     "of a run of N/10,\nover 0.9 N, so that process setup cancels out; N = %ld, %ld for batches "
                     "and ZeroMQ; batches of %d records),\nper side: total: calls per record by name\n\n",
                     base_count, base_count * s.fast_records, s.batch);
    if (!s.zeromq) std::fprintf(g_log.err(), "ZeroMQ not found: skipped\n");
    bool first = true;
    int failures = 0;
    for (bool local : s.transports)
        for (bool ack : {false, true})
            for (const VariantInfo& vi : kVariants) {
                const Case c{local, 64, ack};
                if (!measured(s, c, vi.variant) || vi.variant == Variant::LinkConverted) continue;
                const long many = base_count * (fast_variant(c, vi.variant) ? s.fast_records : 1);
                const long few = many / 10;
                const Traced a = traced_run(c, vi.variant, many, s.batch);
                const Traced b = traced_run(c, vi.variant, few, s.batch);
                if (!a.ok || !b.ok) ++failures;
                const CallCount r = per_record(a.recv, b.recv, many - few);
                const CallCount t = per_record(a.send, b.send, many - few);
                if (json) {
                    std::fprintf(out,
                                 "%s  {\"case\": \"%s\", \"variant\": \"%s\", \"records\": %ld, \"receiver\": "
                                 "%.4f, \"sender\": %.4f}",
                                 first ? "" : ",\n", case_name(c).c_str(), vi.name, many, r.total, t.total);
                    first = false;
                } else {
                    std::fprintf(out, "%-16s %-12s receiver %s\n%-29s sender   %s\n", case_name(c).c_str(), vi.name,
                                 format_calls(r).c_str(), "", format_calls(t).c_str());
                }
            }
    if (json) std::fprintf(out, "\n]}\n");
    return failures ? 1 : 0;
}

// ---- reports ---------------------------------------------------------------

std::string machine_line() {
    std::string cpu = "unknown CPU";
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 10, "model name") == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs, " + cpu + ", " + u.sysname + " " + u.release;
}

// Other work on the machine shows in the figures; the load average tells how much there was.
std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " (1 min), " + five + " (5 min)";
}

std::string today() {
    char text[64];
    std::time_t t = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&t));
    return text;
}

const Row* find_row(const std::vector<Row>& rows, bool local, size_t body, bool ack) {
    for (const Row& r : rows)
        if (r.c.local == local && r.c.body == body && r.c.ack == ack) return &r;
    return nullptr;
}

// The targets of the link, judged from the medians (reported, never enforced).
struct Verdict {
    enum State { Met, Missed, Skipped };
    std::string target, measured;
    State state;

    const char* label() const { return state == Met ? "met" : state == Missed ? "MISSED" : "skipped"; }
    const char* json_met() const { return state == Met ? "true" : state == Missed ? "false" : "null"; }
};

Verdict judged(const std::string& target, const std::string& measured, bool met) {
    return {target, measured, met ? Verdict::Met : Verdict::Missed};
}

std::string percent(double q) { return format("%.0f%%", q * 100); }

// Unacknowledged SendEvent against the raw baseline, every body size.
void unacknowledged_targets(const std::vector<Row>& rows, bool local, std::vector<Verdict>& v) {
    for (const Row& r : rows) {
        if (r.c.local != local || r.c.ack) continue;
        const double need = r.c.body >= (1u << 20) ? 0.95 : 0.90;
        const Sample& l = r.result.at(Variant::Link);
        const Sample& b = r.result.at(Variant::Raw);
        const bool large = r.c.body >= (64u << 10);
        v.push_back(judged("unacknowledged SendEvent, " + case_name(r.c) + ": >= " + percent(need) + " of baseline",
                           format("%s (%.0f of %.0f %s)", percent(r.link_vs_base).c_str(), large ? l.mbps : l.rate,
                                  large ? b.mbps : b.rate, large ? "MB/s" : "records/s"),
                           r.link_vs_base >= need));
    }
}

// SendEventBatch at 64 B against ZeroMQ PAIR, and the moonshot.
void batch_targets(const Row& r, const Settings& s, std::vector<Verdict>& v) {
    const std::string against = "SendEventBatch, " + case_name(r.c) + ": more records/s than ZeroMQ PAIR";
    const std::string moonshot = "SendEventBatch, " + case_name(r.c) + ": 5 M records/s (moonshot)";
    const Sample* batch = r.sample(Variant::LinkBatch);
    const Sample* zmq = r.sample(Variant::ZeroMq);
    if (!batch) {
        v.push_back({against, "batch mode off (--batch 0)", Verdict::Skipped});
        v.push_back({moonshot, "batch mode off (--batch 0)", Verdict::Skipped});
        return;
    }
    if (zmq)
        v.push_back(judged(against,
                           format("%.2f times (%.0f against %.0f records/s, batches of %d)", r.batch_vs_zmq,
                                  batch->rate, zmq->rate, s.batch),
                           r.batch_vs_zmq > 1));
    else
        v.push_back({against, "ZeroMQ not found", Verdict::Skipped});
    v.push_back(judged(moonshot, format("%.2f M records/s", batch->rate / 1e6), batch->rate >= 5e6));
}

// What the 1 MiB records show: the receiver's memory, and that the sender
// copies nothing (a sender that copied the record would hold a second
// megabyte).
void memory_targets(const Row& r, double idle_rss, std::vector<Verdict>& v) {
    const std::string t = r.c.local ? "local socket" : "tcp";
    const Sample& l = r.result.at(Variant::Link);
    const Sample& b = r.result.at(Variant::Raw);
    const double extra = l.rss_recv - idle_rss - 1024;
    v.push_back(judged("receiver memory, 1 MiB records, " + t + ": record + at most 512 KiB",
                       format("%.0f KiB peak = idle %.0f + 1 MiB record + %.0f KiB (baseline %.0f KiB)", l.rss_recv,
                              idle_rss, extra, b.rss_recv),
                       extra <= 512));
    v.push_back(judged("sender copies nothing unconverted, 1 MiB, " + t + ": within 512 KiB of baseline",
                       format("%.0f KiB peak, baseline %.0f KiB, converting %.0f KiB", l.rss_send, b.rss_send,
                              r.result.at(Variant::LinkConverted).rss_send),
                       l.rss_send - b.rss_send <= 512));
}

std::vector<Verdict> verdicts(const std::vector<Row>& rows, double idle_rss, const Settings& s) {
    std::vector<Verdict> v;
    for (bool local : {false, true}) {
        unacknowledged_targets(rows, local, v);
        if (const Row* r = find_row(rows, local, 64, false)) batch_targets(*r, s, v);
        for (size_t body : {size_t{64}, size_t{64} << 10})
            if (const Row* r = find_row(rows, local, body, true)) {
                const double q = r->link_vs_base;
                v.push_back(judged("acknowledged, " + case_name(r->c) + ": >= 90% of baseline",
                                   format("%s (%.0f of %.0f records/s)", percent(q).c_str(),
                                          r->result.at(Variant::Link).rate, r->result.at(Variant::Raw).rate),
                                   q >= 0.90));
            }
        for (size_t body : {size_t{64} << 10, size_t{1} << 20})
            if (const Row* r = find_row(rows, local, body, false)) {
                const double q = r->conv_vs_link;
                v.push_back(judged("both ends converting, " + case_name(r->c) + ": >= 85% of unconverted",
                                   format("%s (%.0f of %.0f MB/s)", percent(q).c_str(),
                                          r->result.at(Variant::LinkConverted).mbps, r->result.at(Variant::Link).mbps),
                                   q >= 0.85));
            }
        if (const Row* r = find_row(rows, local, 1u << 20, false)) memory_targets(*r, idle_rss, v);
        if (const Row* r = find_row(rows, local, 64, false)) {
            const Sample& l = r->result.at(Variant::Link);
            const Sample& b = r->result.at(Variant::Raw);
            v.push_back(judged(case_name(r->c) + ": rate and ratio (report only)",
                               format("%.0f records/s = %.0f%% of baseline; read/write calls per record: receiver "
                                      "%.1f/%.1f (baseline %.1f/%.1f), sender %.1f/%.1f (baseline %.1f/%.1f)",
                                      l.rate, r->link_vs_base * 100, l.recv_reads, l.recv_writes, b.recv_reads,
                                      b.recv_writes, l.send_reads, l.send_writes, b.send_reads, b.send_writes),
                               true));
        }
    }
    return v;
}

// A table cell: the figure, or "-" for a variant the case does not have.
std::string cell(const Sample* s, double Sample::*f, double scale, int decimals) {
    return s ? format("%.*f", decimals, s->*f * scale) : "-";
}
std::string cell(bool present, double x, int decimals) { return present ? format("%.*f", decimals, x) : "-"; }

void print_text(const std::vector<Row>& rows, const ConversionCost& cc, double idle_rss, const Settings& s,
                const std::string& load_before) {
    std::FILE* o = g_log.out();
    std::fprintf(o, "tarvex-bench, %s; %s\n", today().c_str(), machine_line().c_str());
    std::fprintf(o, "load average before: %s; after: %s\n", load_before.c_str(), load_average().c_str());
    std::fprintf(o,
                 "%d repetitions, medians; ratios are medians of the ratios of neighbouring runs; 2010 events "
                 "(36-byte header);\nMB = 10^6 bytes, header included\n",
                 s.reps);
    if (s.zeromq)
        std::fprintf(o, "ZeroMQ %s, PAIR sockets\n", bench::zeromq_version().c_str());
    else
        std::fprintf(o, "ZeroMQ not found: skipped\n");
    std::fprintf(o, "\n%-6s %-8s %-5s %-4s %8s | %10s %9s | %10s %9s | %6s | %10s %9s %6s %6s\n", "", "body", "mode",
                 "", "records", "link rec/s", "MB/s", "base rec/s", "MB/s", "ratio", "conv rec/s", "MB/s", "ratio",
                 "/unconv");
    for (const Row& r : rows) {
        const Sample& l = r.result.at(Variant::Link);
        const Sample& b = r.result.at(Variant::Raw);
        const Sample& c = r.result.at(Variant::LinkConverted);
        bool all_ok = true;
        for (const auto& [v, smp] : r.result) all_ok = all_ok && smp.ok;
        std::fprintf(o, "%-6s %-8s %-5s %-4s %8ld | %10.0f %9.1f | %10.0f %9.1f | %6.2f | %10.0f %9.1f %6.2f %6.2f%s\n",
                     r.c.local ? "local" : "tcp", size_name(r.c.body).c_str(), r.c.ack ? "ack" : "noack", "", l.records,
                     l.rate, l.mbps, b.rate, b.mbps, r.link_vs_base, c.rate, c.mbps, r.conv_vs_base, r.conv_vs_link,
                     all_ok ? "" : "  (failed runs)");
    }
    const std::string per_call = s.batch > 0 ? format("%d records per call", s.batch) : "off: --batch 0";
    std::fprintf(o,
                 "\nSendEventBatch (%s; receiver: ReceiveEvent + WriteBlockToRingBuffer, ring drained) and ZeroMQ "
                 "PAIR\n",
                 per_call.c_str());
    std::fprintf(o, "%-18s | %8s %11s %9s %6s %6s | %8s %11s %9s %6s | %6s\n", "", "records", "batch rec/s", "MB/s",
                 "/link", "recv r", "records", "ZeroMQ r/s", "MB/s", "link/Z", "batch/Z");
    for (const Row& r : rows) {
        const Sample* b = r.sample(Variant::LinkBatch);
        const Sample* z = r.sample(Variant::ZeroMq);
        std::fprintf(o, "%-18s | %8s %11s %9s %6s %6s | %8s %11s %9s %6s | %6s\n", case_name(r.c).c_str(),
                     cell(b != nullptr, b ? b->records : 0, 0).c_str(), cell(b, &Sample::rate, 1, 0).c_str(),
                     cell(b, &Sample::mbps, 1, 1).c_str(), cell(b != nullptr, r.batch_vs_link, 2).c_str(),
                     cell(b, &Sample::recv_reads, 1, 2).c_str(), cell(z != nullptr, z ? z->records : 0, 0).c_str(),
                     cell(z, &Sample::rate, 1, 0).c_str(), cell(z, &Sample::mbps, 1, 1).c_str(),
                     cell(z != nullptr, r.link_vs_zmq, 2).c_str(), cell(b && z, r.batch_vs_zmq, 2).c_str());
    }
    std::fprintf(o, "\nAcknowledged round trip (one SendEvent; baseline: header, answer, body), microseconds\n");
    std::fprintf(o, "%-18s | %8s %8s | %8s %8s | %8s %8s | %8s %8s\n", "", "link med", "p99", "base med", "p99",
                 "conv med", "p99", "ZMQ med", "p99");
    for (const Row& r : rows) {
        if (!r.c.ack) continue;
        const Sample& l = r.result.at(Variant::Link);
        const Sample& b = r.result.at(Variant::Raw);
        const Sample& c = r.result.at(Variant::LinkConverted);
        const Sample* z = r.sample(Variant::ZeroMq);
        std::fprintf(o, "%-18s | %8.1f %8.1f | %8.1f %8.1f | %8.1f %8.1f | %8s %8s\n", case_name(r.c).c_str(),
                     l.lat_med * 1e6, l.lat_p99 * 1e6, b.lat_med * 1e6, b.lat_p99 * 1e6, c.lat_med * 1e6,
                     c.lat_p99 * 1e6, cell(z, &Sample::lat_med, 1e6, 1).c_str(),
                     cell(z, &Sample::lat_p99, 1e6, 1).c_str());
    }
    std::fprintf(o,
                 "\nPeak resident memory (KiB; an idle process of this program: %.0f) and read-/write-like system "
                 "calls per record\n",
                 idle_rss);
    std::fprintf(o, "%-18s | %9s %9s %9s | %9s %9s %9s | %13s %13s | %13s %13s\n", "", "recv link", "base", "conv",
                 "send link", "base", "conv", "recv link r/w", "base r/w", "send link r/w", "base r/w");
    for (const Row& r : rows) {
        const Sample& l = r.result.at(Variant::Link);
        const Sample& b = r.result.at(Variant::Raw);
        const Sample& c = r.result.at(Variant::LinkConverted);
        std::fprintf(o,
                     "%-18s | %9.0f %9.0f %9.0f | %9.0f %9.0f %9.0f | %6.2f %6.2f %6.2f %6.2f | %6.2f %6.2f %6.2f "
                     "%6.2f\n",
                     case_name(r.c).c_str(), l.rss_recv, b.rss_recv, c.rss_recv, l.rss_send, b.rss_send, c.rss_send,
                     l.recv_reads, l.recv_writes, b.recv_reads, b.recv_writes, l.send_reads, l.send_writes,
                     b.send_reads, b.send_writes);
    }
    std::fprintf(o,
                 "\nConversion of a 1 MiB event in one process: host to peer %.0f MB/s, peer to host %.0f MB/s; "
                 "%.3f ms per MB for both directions\n",
                 cc.hton_mbps, cc.ntoh_mbps, cc.ms_per_mb);
    std::fprintf(o, "\nTargets (measured here, not enforced):\n");
    for (const Verdict& v : verdicts(rows, idle_rss, s))
        std::fprintf(o, "  [%s] %s: %s\n", v.label(), v.target.c_str(), v.measured.c_str());
}

void json_sample(std::FILE* o, const char* name, const Sample& s) {
    std::fprintf(o,
                 "      \"%s\": {\"ok\": %s, \"records\": %ld, \"records_per_s\": %.1f, \"mb_per_s\": %.2f, "
                 "\"lat_median_us\": %.2f, \"lat_p99_us\": %.2f, \"rss_receiver_kb\": %.0f, \"rss_sender_kb\": %.0f, "
                 "\"receiver_reads_per_record\": %.3f, \"receiver_writes_per_record\": %.3f, "
                 "\"sender_reads_per_record\": %.3f, \"sender_writes_per_record\": %.3f},\n",
                 name, s.ok ? "true" : "false", s.records, s.rate, s.mbps, s.lat_med * 1e6, s.lat_p99 * 1e6, s.rss_recv,
                 s.rss_send, s.recv_reads, s.recv_writes, s.send_reads, s.send_writes);
}

// A ratio, or null when one side was not measured.
std::string json_ratio(bool present, double q) { return present ? format("%.4f", q) : "null"; }

void print_json(const std::vector<Row>& rows, const ConversionCost& cc, double idle_rss, const Settings& s,
                const std::string& load_before) {
    std::FILE* o = g_log.out();
    std::fprintf(o, "{\n  \"date\": \"%s\",\n  \"machine\": \"%s\",\n  \"repetitions\": %d,\n", today().c_str(),
                 machine_line().c_str(), s.reps);
    std::fprintf(o, "  \"load_before\": \"%s\",\n  \"load_after\": \"%s\",\n", load_before.c_str(),
                 load_average().c_str());
    std::fprintf(o, "  \"batch_records_per_call\": %d,\n  \"zeromq\": \"%s\",\n", s.batch,
                 s.zeromq ? bench::zeromq_version().c_str() : "not found: skipped");
    std::fprintf(o, "  \"idle_rss_kb\": %.0f,\n  \"cases\": [\n", idle_rss);
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        std::fprintf(o,
                     "    {\"transport\": \"%s\", \"body_bytes\": %zu, \"record_bytes\": %zu, \"mode\": \"%s\", "
                     "\"records\": %ld,\n",
                     r.c.local ? "local" : "tcp", r.c.body, record_length(r.c), r.c.ack ? "ack" : "noack",
                     r.result.at(Variant::Link).records);
        for (const VariantInfo& vi : kVariants)
            if (const Sample* smp = r.sample(vi.variant)) json_sample(o, vi.json_key, *smp);
        const bool batch = r.sample(Variant::LinkBatch) != nullptr, zmq = r.sample(Variant::ZeroMq) != nullptr;
        std::fprintf(o,
                     "      \"ratio\": %.4f, \"ratio_converting\": %.4f, \"converting_vs_unconverted\": %.4f, "
                     "\"batch_vs_link\": %s, \"batch_vs_zeromq\": %s, \"link_vs_zeromq\": %s}%s\n",
                     r.link_vs_base, r.conv_vs_base, r.conv_vs_link, json_ratio(batch, r.batch_vs_link).c_str(),
                     json_ratio(batch && zmq, r.batch_vs_zmq).c_str(), json_ratio(zmq, r.link_vs_zmq).c_str(),
                     i + 1 < rows.size() ? "," : "");
    }
    std::fprintf(o,
                 "  ],\n  \"conversion_1mib\": {\"hton_mb_per_s\": %.1f, \"ntoh_mb_per_s\": %.1f, "
                 "\"ms_per_mb_both\": %.4f},\n  \"targets\": [\n",
                 cc.hton_mbps, cc.ntoh_mbps, cc.ms_per_mb);
    std::vector<Verdict> v = verdicts(rows, idle_rss, s);
    for (size_t i = 0; i < v.size(); ++i)
        std::fprintf(o, "    {\"target\": \"%s\", \"measured\": \"%s\", \"met\": %s, \"status\": \"%s\"}%s\n",
                     v[i].target.c_str(), v[i].measured.c_str(), v[i].json_met(), v[i].label(),
                     i + 1 < v.size() ? "," : "");
    std::fprintf(o, "  ]\n}\n");
}

double idle_rss_kb() {
    Child c = start_child({tvt::self_program(), "--role", "idle"}, {});
    std::map<std::string, double> r;
    finish_child(c, r, 10);
    return r["rss_kb"];
}

}  // namespace

int main(int argc, char** argv) {
    tvt::Options opt(kTool,
                     "[--quick] [--json] [--reps N] [--transport tcp|local|both] [--sizes LIST] [--batch N] "
                     "[--count-syscalls]",
                     "Measures the link against a raw-socket baseline of the same shape, for each transport\n"
                     "(TCP, local socket), body size (64 B, 4 KiB, 64 KiB, 1 MiB) and mode (unacknowledged,\n"
                     "acknowledged), with conversion off and on (big-endian-mode link); unacknowledged also with\n"
                     "SendEventBatch into a receiver that fills a ring buffer; and against ZeroMQ PAIR sockets\n"
                     "when built with libzmq: records/s, MB/s, round-trip latency median and p99 (acknowledged),\n"
                     "peak resident memory of each process, system calls per record; the ratios per case; the\n"
                     "cost of conversion per MB; and which targets are met.  Each measurement runs two fresh\n"
                     "processes; variants are interleaved and the median of the repetitions is reported.",
                     {{"quick", nullptr, "a few seconds: few records, one repetition (proves it works, no more)"},
                      {"json", nullptr, "machine-readable output"},
                      {"reps", "N", "repetitions per variant (default 5; --quick: 1)"},
                      {"transport", "T", "tcp, local or both (default both)"},
                      {"sizes", "LIST", "body sizes, e.g. 64,4K (default 64,4K,64K,1M)"},
                      {"batch", "N", "records per SendEventBatch call (default 256; 0 leaves the batch variant out)"},
                      {"count-syscalls", nullptr,
                       "count system calls per record at 64 B with strace -c instead (batch and ZeroMQ too)"},
                      {"diagnostics", nullptr, "show the link's own diagnostic lines as they come"},
                      // The processes of one measurement.
                      {"role", "ROLE", "(internal) run one process of a measurement"},
                      {"body", "BYTES", "(internal)"},
                      {"count", "N", "(internal)"},
                      {"port", "PORT", "(internal)"},
                      {"local", nullptr, "(internal)"},
                      {"ack", nullptr, "(internal)"},
                      {"convert", nullptr, "(internal)"},
                      {"ring", nullptr, "(internal)"}});
    opt.parse(argc, argv);
    if (opt.has("role")) {
        bench::RoleArgs a;
        a.role = opt.text("role", "");
        a.local = opt.has("local");
        a.port = static_cast<int>(opt.integer("port", 0));
        a.body = static_cast<size_t>(opt.bytes("body", 64));
        a.count = static_cast<long>(opt.integer("count", 1000));
        a.ack = opt.has("ack");
        a.convert = opt.has("convert");
        a.batch = static_cast<int>(opt.integer("batch", 0));
        a.ring = opt.has("ring");
        return bench::run_role(a);
    }

    Settings s;
    s.quick = opt.has("quick");
    s.reps = static_cast<int>(opt.integer("reps", s.quick ? 1 : 5));
    const std::string t = opt.text("transport", "both");
    if (t != "tcp" && t != "local" && t != "both") opt.fail("--transport wants tcp, local or both");
    if (t != "local") s.transports.push_back(false);
    if (t != "tcp") s.transports.push_back(true);
    std::string sizes = opt.text("sizes", "64,4K,64K,1M");
    for (size_t at = 0; at < sizes.size();) {
        size_t comma = std::min(sizes.find(',', at), sizes.size());
        std::string one = sizes.substr(at, comma - at);
        char* end = nullptr;
        unsigned long long n = std::strtoull(one.c_str(), &end, 10);
        if (*end == 'K' || *end == 'k') n <<= 10, ++end;
        if (*end == 'M' || *end == 'm') n <<= 20, ++end;
        if (n < tvt::kTagSize || *end) opt.fail("--sizes wants a list such as 64,4K,64K,1M (each at least 8)");
        s.bodies.push_back(static_cast<size_t>(n));
        at = comma + 1;
    }
    // About a third of a second per measurement on a small machine.
    s.scale_noack = s.quick ? 2000 : 20000;
    s.scale_ack = s.quick ? 300 : 5000;
    s.byte_cap = s.quick ? (8u << 20) : (512u << 20);
    s.fast_records = s.quick ? 1 : 10;
    if (s.reps < 1) opt.fail("--reps wants at least 1");
    const long long batch = opt.integer("batch", s.batch);
    if (batch < 0 || batch > kMaxBatch) opt.fail("--batch wants 0 to " + std::to_string(kMaxBatch));
    s.batch = static_cast<int>(batch);
    s.zeromq = bench::zeromq_built();

    if (!opt.has("diagnostics")) g_log.start(kTool);
    int code = 0;
    if (opt.has("count-syscalls")) {
        code = count_syscalls(s, opt.has("json"));
    } else {
        if (!s.zeromq && opt.has("json")) std::fprintf(g_log.err(), "ZeroMQ not found: skipped\n");
        const std::string load_before = load_average();
        const double idle = idle_rss_kb();
        std::vector<Row> rows = measure(s);
        const ConversionCost cc = conversion_cost(s.quick);
        if (opt.has("json"))
            print_json(rows, cc, idle, s, load_before);
        else
            print_text(rows, cc, idle, s, load_before);
        for (const Row& r : rows)
            for (const auto& [v, smp] : r.result)
                if (!smp.ok) code = 1;
    }
    g_log.finish(code != 0);
    return code;
}
