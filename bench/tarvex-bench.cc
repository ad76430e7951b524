// tarvex-bench: how fast a link is, against the limit of this machine's
// sockets, measured side by side in one run.
//
// Every measurement is two fresh processes over loopback (this program
// started again with --role): a receiver that accepts and a sender that
// connects, once through the link and once as a raw-socket baseline of the
// same shape (writev of header and body; read of the header, then of the
// body into place; in acknowledged mode a 4-byte answer in between).  For
// each transport, body size and mode the variants run interleaved
// (link, baseline, converting link, link, baseline, ...) and the median of
// the repetitions is reported.
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
#include "event_util.h"

namespace {

const char* const kTool = "tarvex-bench";
tvt::DiagnosticsLog g_log;

enum class Variant { Link, Raw, LinkConverted };
const char* variant_name(Variant v) {
    return v == Variant::Raw ? "baseline" : v == Variant::Link ? "link" : "link, converting";
}

struct Case {
    bool local;
    size_t body;
    bool ack;
};

std::string case_name(const Case& c) {
    std::string size = c.body >= (1u << 20) ? std::to_string(c.body >> 20) + " MiB"
                       : c.body >= 1024     ? std::to_string(c.body >> 10) + " KiB"
                                            : std::to_string(c.body) + " B";
    return std::string(c.local ? "local" : "tcp") + " " + size + (c.ack ? " ack" : " noack");
}

size_t record_length(const Case& c) { return sizeof(kbr7_eventheader) + c.body; }

// One run of a variant: what the two processes reported.
struct Sample {
    bool ok = false;
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
};

long record_count(const Settings& s, const Case& c) {
    const long by_bytes = static_cast<long>(s.byte_cap / record_length(c));
    return std::max(5L, std::min(c.ack ? s.scale_ack : s.scale_noack, by_bytes));
}

std::vector<std::string> role_argv(const std::string& role, const Case& c, bool convert, long count, int port) {
    std::vector<std::string> a = {tvt::self_program(),  "--role", role, "--body", std::to_string(c.body), "--count",
                                  std::to_string(count)};
    if (c.local) a.push_back("--local");
    if (c.ack) a.push_back("--ack");
    if (convert) a.push_back("--convert");
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

Sample run_once(const Case& c, Variant v, long count, const Wrappers& w = {}) {
    const bool lib = v != Variant::Raw;
    const bool convert = v == Variant::LinkConverted;
    Sample s;
    Child recv = start_child(role_argv(lib ? "lib-recv" : "raw-recv", c, convert, count, 0), w.recv);
    std::string line;
    if (recv.pid < 0 || !tvt::read_line(recv.results, line, 15)) {
        std::map<std::string, double> ignored;
        finish_child(recv, ignored, 0);
        return s;
    }
    const int port = static_cast<int>(bench::parse_result(line)["port"]);
    Child send = start_child(role_argv(lib ? "lib-send" : "raw-send", c, convert, count, port), w.send);
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
    long count = 0;
    std::map<Variant, Sample> result;
    // Medians of the ratios of runs made next to each other: a disturbance
    // of the machine then touches both sides of a ratio alike.
    double link_vs_base = 0, conv_vs_base = 0, conv_vs_link = 0;
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
    const Variant order[] = {Variant::Link, Variant::Raw, Variant::LinkConverted};
    size_t done = 0;
    const bool progress = isatty(fileno(g_log.err()));
    for (const Case& c : cases) {
        Row row{c, record_count(s, c), {}};
        std::map<Variant, std::vector<Sample>> samples;
        for (int rep = 0; rep < s.reps; ++rep)
            for (Variant v : order) {
                if (progress)
                    std::fprintf(g_log.err(), "\r[%zu/%zu] %-20s rep %d/%d %-18s", done + 1, cases.size(),
                                 case_name(c).c_str(), rep + 1, s.reps, variant_name(v));
                samples[v].push_back(run_once(c, v, row.count));
            }
        for (auto& [v, list] : samples) row.result[v] = summarise(list);
        row.link_vs_base = paired_ratio(samples[Variant::Link], samples[Variant::Raw]);
        row.conv_vs_base = paired_ratio(samples[Variant::LinkConverted], samples[Variant::Raw]);
        row.conv_vs_link = paired_ratio(samples[Variant::LinkConverted], samples[Variant::Link]);
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

struct CallCount {
    double total = 0;                                 // per record
    std::vector<std::pair<std::string, double>> top;  // per record, largest first
};

// Reads a strace -c summary: "% time  seconds  usecs/call  calls  [errors]  syscall".
CallCount parse_strace(const std::string& path, long count) {
    CallCount c;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        if (w.size() < 5 || w.size() > 6 || w.back() == "total" || w.back() == "syscall") continue;
        if (!std::isdigit(static_cast<unsigned char>(w[0][0]))) continue;
        const double calls = std::strtod(w[3].c_str(), nullptr) / static_cast<double>(count);
        c.total += calls;
        if (calls >= 0.05) c.top.emplace_back(w.back(), calls);
    }
    std::sort(c.top.begin(), c.top.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return c;
}

std::string format_calls(const CallCount& c) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f:", c.total);
    std::string s = text;
    for (const auto& [name, n] : c.top) {
        std::snprintf(text, sizeof text, " %s %.2f", name.c_str(), n);
        s += text;
    }
    return s;
}

int count_syscalls(const Settings& s, bool json) {
    if (system("command -v strace >/dev/null 2>&1") != 0) {
        std::fprintf(g_log.err(), "%s: strace not found; install it with: apt-get install -y strace\n", kTool);
        return 1;
    }
    const long count = s.quick ? 500 : 5000;
    std::FILE* out = g_log.out();
    if (json)
        std::fprintf(out, "{\"records\": %ld, \"syscalls_per_record\": [\n", count);
    else
        std::fprintf(out,
                     "System calls per record (strace -c -f, %ld records of 64 B body, whole process, setup "
                     "included),\nper side: total: calls per record by name\n\n",
                     count);
    bool first = true;
    int failures = 0;
    for (bool local : s.transports)
        for (bool ack : {false, true})
            for (Variant v : {Variant::Link, Variant::Raw}) {
                const Case c{local, 64, ack};
                std::string base = "/tmp/tarvex-bench-strace-" + std::to_string(getpid());
                Wrappers w{{"strace", "-f", "-c", "-o", base + ".recv", "--"},
                           {"strace", "-f", "-c", "-o", base + ".send", "--"}};
                Sample smp = run_once(c, v, count, w);
                if (!smp.ok) ++failures;
                CallCount r = parse_strace(base + ".recv", count), t = parse_strace(base + ".send", count);
                unlink((base + ".recv").c_str());
                unlink((base + ".send").c_str());
                if (json) {
                    std::fprintf(out,
                                 "%s  {\"case\": \"%s\", \"variant\": \"%s\", \"receiver\": %.3f, \"sender\": "
                                 "%.3f}",
                                 first ? "" : ",\n", case_name(c).c_str(), variant_name(v), r.total, t.total);
                    first = false;
                } else {
                    std::fprintf(out, "%-16s %-9s receiver %s\n%-26s sender   %s\n", case_name(c).c_str(),
                                 variant_name(v), format_calls(r).c_str(), "", format_calls(t).c_str());
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
    std::string target, measured;
    bool met;
};

std::vector<Verdict> verdicts(const std::vector<Row>& rows, double idle_rss) {
    std::vector<Verdict> v;
    char text[256];
    for (bool local : {false, true}) {
        const char* t = local ? "local socket" : "tcp";
        if (const Row* r = find_row(rows, local, 1u << 20, false)) {
            const double q = r->link_vs_base;
            std::snprintf(text, sizeof text, "%.0f%% (%.0f of %.0f MB/s)", q * 100, r->result.at(Variant::Link).mbps,
                          r->result.at(Variant::Raw).mbps);
            v.push_back({std::string("1 MiB unacknowledged, ") + t + ": >= 95% of baseline MB/s", text, q >= 0.95});
            const double cq = r->conv_vs_link;
            std::snprintf(text, sizeof text, "%.0f%% (%.0f of %.0f MB/s)", cq * 100,
                          r->result.at(Variant::LinkConverted).mbps, r->result.at(Variant::Link).mbps);
            v.push_back({std::string("1 MiB conversion on, ") + t + ": >= 70% of unconverted", text, cq >= 0.70});
            const Sample& l = r->result.at(Variant::Link);
            const Sample& b = r->result.at(Variant::Raw);
            const double extra = l.rss_recv - idle_rss - 1024;
            std::snprintf(text, sizeof text, "%.0f KiB peak = idle %.0f + 1 MiB record + %.0f KiB (baseline %.0f KiB)",
                          l.rss_recv, idle_rss, extra, b.rss_recv);
            v.push_back({std::string("receiver memory, 1 MiB records, ") + t + ": record + at most 512 KiB", text,
                         extra <= 512});
            // A sender that copied the record would hold a second megabyte.
            std::snprintf(text, sizeof text, "%.0f KiB peak, baseline %.0f KiB, converting %.0f KiB", l.rss_send,
                          b.rss_send, r->result.at(Variant::LinkConverted).rss_send);
            v.push_back({std::string("sender copies nothing unconverted, 1 MiB, ") + t + ": within 512 KiB of baseline",
                         text, l.rss_send - b.rss_send <= 512});
        }
        for (size_t body : {size_t{64}, size_t{64} << 10})
            if (const Row* r = find_row(rows, local, body, true)) {
                const double q = r->link_vs_base;
                std::snprintf(text, sizeof text, "%.0f%% (%.0f of %.0f records/s)", q * 100,
                              r->result.at(Variant::Link).rate, r->result.at(Variant::Raw).rate);
                v.push_back({case_name(r->c) + ": >= 80% of baseline records/s", text, q >= 0.80});
            }
        if (const Row* r = find_row(rows, local, 64, false)) {
            const Sample& l = r->result.at(Variant::Link);
            const Sample& b = r->result.at(Variant::Raw);
            std::snprintf(text, sizeof text,
                          "%.0f records/s = %.0f%% of baseline; read/write calls per record: receiver %.1f/%.1f "
                          "(baseline %.1f/%.1f), sender %.1f/%.1f (baseline %.1f/%.1f)",
                          l.rate, r->link_vs_base * 100, l.recv_reads, l.recv_writes, b.recv_reads, b.recv_writes,
                          l.send_reads, l.send_writes, b.send_reads, b.send_writes);
            v.push_back({case_name(r->c) + ": rate and ratio (report only)", text, true});
        }
    }
    return v;
}

void print_text(const std::vector<Row>& rows, const ConversionCost& cc, double idle_rss, const Settings& s,
                const std::string& load_before) {
    std::FILE* o = g_log.out();
    std::fprintf(o, "tarvex-bench, %s; %s\n", today().c_str(), machine_line().c_str());
    std::fprintf(o, "load average before: %s; after: %s\n", load_before.c_str(), load_average().c_str());
    std::fprintf(o,
                 "%d repetitions, medians; ratios are medians of the ratios of neighbouring runs; 2010 events "
                 "(36-byte header);\nMB = 10^6 bytes, header included\n\n",
                 s.reps);
    std::fprintf(o, "%-6s %-8s %-5s %-4s %8s | %10s %9s | %10s %9s | %6s | %10s %9s %6s %6s\n", "", "body", "mode", "",
                 "records", "link rec/s", "MB/s", "base rec/s", "MB/s", "ratio", "conv rec/s", "MB/s", "ratio",
                 "/unconv");
    for (const Row& r : rows) {
        const Sample& l = r.result.at(Variant::Link);
        const Sample& b = r.result.at(Variant::Raw);
        const Sample& c = r.result.at(Variant::LinkConverted);
        std::string n = case_name(r.c);
        std::fprintf(o, "%-6s %-8s %-5s %-4s %8ld | %10.0f %9.1f | %10.0f %9.1f | %6.2f | %10.0f %9.1f %6.2f %6.2f%s\n",
                     r.c.local ? "local" : "tcp", n.substr(n.find(' ') + 1, n.rfind(' ') - n.find(' ') - 1).c_str(),
                     r.c.ack ? "ack" : "noack", "", r.count, l.rate, l.mbps, b.rate, b.mbps, r.link_vs_base, c.rate,
                     c.mbps, r.conv_vs_base, r.conv_vs_link, l.ok && b.ok && c.ok ? "" : "  (failed runs)");
    }
    std::fprintf(o, "\nAcknowledged round trip (one SendEvent; baseline: header, answer, body), microseconds\n");
    std::fprintf(o, "%-18s | %8s %8s | %8s %8s | %8s %8s\n", "", "link med", "p99", "base med", "p99", "conv med",
                 "p99");
    for (const Row& r : rows) {
        if (!r.c.ack) continue;
        const Sample& l = r.result.at(Variant::Link);
        const Sample& b = r.result.at(Variant::Raw);
        const Sample& c = r.result.at(Variant::LinkConverted);
        std::fprintf(o, "%-18s | %8.1f %8.1f | %8.1f %8.1f | %8.1f %8.1f\n", case_name(r.c).c_str(), l.lat_med * 1e6,
                     l.lat_p99 * 1e6, b.lat_med * 1e6, b.lat_p99 * 1e6, c.lat_med * 1e6, c.lat_p99 * 1e6);
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
    for (const Verdict& v : verdicts(rows, idle_rss))
        std::fprintf(o, "  [%s] %s: %s\n", v.met ? "met" : "MISSED", v.target.c_str(), v.measured.c_str());
}

void json_sample(std::FILE* o, const char* name, const Sample& s, bool comma) {
    std::fprintf(o,
                 "      \"%s\": {\"ok\": %s, \"records_per_s\": %.1f, \"mb_per_s\": %.2f, \"lat_median_us\": %.2f, "
                 "\"lat_p99_us\": %.2f, \"rss_receiver_kb\": %.0f, \"rss_sender_kb\": %.0f, "
                 "\"receiver_reads_per_record\": %.3f, \"receiver_writes_per_record\": %.3f, "
                 "\"sender_reads_per_record\": %.3f, \"sender_writes_per_record\": %.3f}%s\n",
                 name, s.ok ? "true" : "false", s.rate, s.mbps, s.lat_med * 1e6, s.lat_p99 * 1e6, s.rss_recv,
                 s.rss_send, s.recv_reads, s.recv_writes, s.send_reads, s.send_writes, comma ? "," : "");
}

void print_json(const std::vector<Row>& rows, const ConversionCost& cc, double idle_rss, const Settings& s,
                const std::string& load_before) {
    std::FILE* o = g_log.out();
    std::fprintf(o, "{\n  \"date\": \"%s\",\n  \"machine\": \"%s\",\n  \"repetitions\": %d,\n", today().c_str(),
                 machine_line().c_str(), s.reps);
    std::fprintf(o, "  \"load_before\": \"%s\",\n  \"load_after\": \"%s\",\n", load_before.c_str(),
                 load_average().c_str());
    std::fprintf(o, "  \"idle_rss_kb\": %.0f,\n  \"cases\": [\n", idle_rss);
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        std::fprintf(o,
                     "    {\"transport\": \"%s\", \"body_bytes\": %zu, \"record_bytes\": %zu, \"mode\": \"%s\", "
                     "\"records\": %ld,\n",
                     r.c.local ? "local" : "tcp", r.c.body, record_length(r.c), r.c.ack ? "ack" : "noack", r.count);
        json_sample(o, "link", r.result.at(Variant::Link), true);
        json_sample(o, "baseline", r.result.at(Variant::Raw), true);
        json_sample(o, "link_converting", r.result.at(Variant::LinkConverted), true);
        std::fprintf(o, "      \"ratio\": %.4f, \"ratio_converting\": %.4f, \"converting_vs_unconverted\": %.4f}%s\n",
                     r.link_vs_base, r.conv_vs_base, r.conv_vs_link, i + 1 < rows.size() ? "," : "");
    }
    std::fprintf(o,
                 "  ],\n  \"conversion_1mib\": {\"hton_mb_per_s\": %.1f, \"ntoh_mb_per_s\": %.1f, "
                 "\"ms_per_mb_both\": %.4f},\n  \"targets\": [\n",
                 cc.hton_mbps, cc.ntoh_mbps, cc.ms_per_mb);
    std::vector<Verdict> v = verdicts(rows, idle_rss);
    for (size_t i = 0; i < v.size(); ++i)
        std::fprintf(o, "    {\"target\": \"%s\", \"measured\": \"%s\", \"met\": %s}%s\n", v[i].target.c_str(),
                     v[i].measured.c_str(), v[i].met ? "true" : "false", i + 1 < v.size() ? "," : "");
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
    tvt::Options opt(kTool, "[--quick] [--json] [--reps N] [--transport tcp|local|both] [--count-syscalls]",
                     "Measures the link against a raw-socket baseline of the same shape, for each transport\n"
                     "(TCP, local socket), body size (64 B, 4 KiB, 64 KiB, 1 MiB) and mode (unacknowledged,\n"
                     "acknowledged), with conversion off and on (big-endian-mode link): records/s, MB/s,\n"
                     "round-trip latency median and p99 (acknowledged), peak resident memory of each process,\n"
                     "system calls per record; the ratio link/baseline per case; the cost of conversion per MB;\n"
                     "and which targets are met.  Each measurement runs two fresh processes; variants are\n"
                     "interleaved and the median of the repetitions is reported.",
                     {{"quick", nullptr, "a few seconds: few records, one repetition (proves it works, no more)"},
                      {"json", nullptr, "machine-readable output"},
                      {"reps", "N", "repetitions per variant (default 5; --quick: 1)"},
                      {"transport", "T", "tcp, local or both (default both)"},
                      {"sizes", "LIST", "body sizes, e.g. 64,4K (default 64,4K,64K,1M)"},
                      {"count-syscalls", nullptr, "count system calls per record at 64 B with strace -c instead"},
                      {"diagnostics", nullptr, "show the link's own diagnostic lines as they come"},
                      // The processes of one measurement.
                      {"role", "ROLE", "(internal) run one process of a measurement"},
                      {"body", "BYTES", "(internal)"},
                      {"count", "N", "(internal)"},
                      {"port", "PORT", "(internal)"},
                      {"local", nullptr, "(internal)"},
                      {"ack", nullptr, "(internal)"},
                      {"convert", nullptr, "(internal)"}});
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
    if (s.reps < 1) opt.fail("--reps wants at least 1");

    if (!opt.has("diagnostics")) g_log.start(kTool);
    int code = 0;
    if (opt.has("count-syscalls")) {
        code = count_syscalls(s, opt.has("json"));
    } else {
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
