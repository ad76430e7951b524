// The model of a hostile-peer case: what a case varies, the bounds it must
// keep, the row of the table that names it, the report its child process
// sends back, and the case as its child runs it.
#ifndef TARVEX_HOSTILE_CASE_H
#define TARVEX_HOSTILE_CASE_H

#include <sys/resource.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "Clock.h"
#include "SwitchMembers.h"
#include "Tarvex.h"
#include "Text.h"
#include "detail/Kinds.h"
#include "ringbuf.h"

namespace hostile {

using Rng = std::mt19937_64;
using Kind = tarvex::kinds::Kind;
using tt::SwitchId;

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

// The rows of every case, in the order they run (Cases.cc).
std::vector<Row> make_table();

// ---------------------------------------------------------------------------
// What a child reports to the parent

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

inline std::string status_text(int st) {
    if (st == kNoStatus) return "none";
    return std::string(tarvex_status_name(st));
}

// ---------------------------------------------------------------------------
// The case as its child process runs it

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
        return check(st == want, tt::format("%s returned %s (%d), expected %s", what, status_text(st).c_str(), st,
                                            status_text(want).c_str()));
    }

    // The call under attack: its status and wall time are what the bounds
    // judge.
    template <class Call>
    int attack(Call&& call) {
        const double start = tt::now();
        const int st = call();
        report.call_s = tt::now() - start;
        report.status = st;
        return st;
    }

    // Sets switch `id` of `link` to `value`, by its variable or by its
    // member as the seed chose.
    void set(Tarvex& link, SwitchId id, const std::string& value) {
        const char* variable = tt::variable_of(id);
        if (by_variable) {
            ::setenv(variable, value.c_str(), 1);
            return;
        }
        check(tt::set_by_member(link, id, value) == 0, std::string("the member of ") + variable + " refused " + value);
    }

    int lines_with(const std::string& text) const {
        return static_cast<int>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l == text; }));
    }
};

}  // namespace hostile

#endif
