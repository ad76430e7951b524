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
//
// The cases are a table (hostile/Cases.cc) of attacks (hostile/Attacks.cc)
// played by the peers of hostile/Peers.cc; each runs in a child of the
// reliability programs' runner (Runner.h).
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Case.h"
#include "Clock.h"
#include "Harness.h"
#include "Options.h"
#include "Runner.h"
#include "System.h"
#include "Tarvex.h"
#include "Text.h"

namespace hostile {
namespace {

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
    trl::Child child([&](std::string& report) {
        const Report r = run_in_child(row, seed);
        report.assign(reinterpret_cast<const char*>(&r), sizeof r);
        return 0;
    });
    if (!child.started()) {
        o.problems.push_back("fork failed");
        return o;
    }
    const double until = tt::now() + row.bounds.limit_s;
    o.reported = child.take_report(until) && child.report().size() == sizeof o.report;
    if (o.reported) std::memcpy(&o.report, child.report().data(), sizeof o.report);
    child.finish(o.reported ? until + 10 : until);
    o.ended = child.ending(row.bounds.limit_s);
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
        o.problems.push_back(tt::format("the call took %.3f s, bound %.2f to %.2f s", r.call_s, b.min_s, b.max_s));
    const bool sanitized = trl::leak_checker_active();
    const double cpu_bound = b.cpu_s + (sanitized ? b.sanitizer_cpu_s : 0);
    const long memory_bound = b.memory_kb + (sanitized ? b.sanitizer_memory_kb : 0);
    if (r.cpu_s > cpu_bound) o.problems.push_back(tt::format("%.2f s of CPU, bound %.2f s", r.cpu_s, cpu_bound));
    if (r.memory_kb > memory_bound)
        o.problems.push_back(tt::format("peak memory grew by %ld KiB, bound %ld KiB", r.memory_kb, memory_bound));
    if (r.descriptors != 0) o.problems.push_back(tt::format("%d descriptors left open", r.descriptors));
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

// A row is chosen by any of the names or prefixes `wanted` gives; no name
// chooses every row.
bool selected(const Row& row, const std::vector<std::string>& wanted) {
    if (wanted.empty()) return true;
    for (const std::string& w : wanted)
        if (row.name.compare(0, w.size(), w) == 0) return true;
    return false;
}

// The names of --cases, empty ones left out.
std::vector<std::string> case_names(const std::string& text) {
    std::vector<std::string> out;
    for (const std::string& name : tt::split_list(text))
        if (!name.empty()) out.push_back(name);
    return out;
}

}  // namespace
}  // namespace hostile

int main(int argc, char** argv) {
    using namespace hostile;
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
    const std::vector<std::string> wanted = case_names(opt.text("cases", ""));
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
    const double start = tt::now();
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
    std::printf("\n%d cases in %.1f s: %d passed, %d failed, %d skipped\nresult: %s\n", ran, tt::now() - start,
                ran - failed - skipped, failed, skipped, failed == 0 ? "PASS" : "FAIL");
    return failed == 0 ? 0 : 1;
}
