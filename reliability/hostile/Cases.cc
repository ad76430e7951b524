// The table of hostile-peer cases: every row names its attack, its
// parameters and its bounds.
#include <string>
#include <utility>
#include <vector>

#include "Attacks.h"
#include "Case.h"
#include "Peers.h"

namespace hostile {

namespace {

const Kind kHeaderKinds[] = {Kind::Event2010, Kind::Event2024, Kind::Slow, Kind::Image, Kind::Spectrum};

// Events and slow data by their header's size, the others by name.
std::string header_name(Kind k) {
    const tarvex::kinds::KindRow& r = tarvex::kinds::row(k);
    const bool by_size = r.family == tarvex::kinds::Family::Event || r.family == tarvex::kinds::Family::Slow;
    return by_size ? std::to_string(r.header) : r.name;
}

const char* phase_name(Phase p) { return p == Phase::Pattern ? "pattern" : p == Phase::Header ? "header" : "body"; }

// Bounds shared by many rows.  Time bounds leave room for a sanitized build
// on a loaded machine; the timed waits of the link are 300 ms here.
Bounds quick(std::vector<int> statuses) { return {std::move(statuses), 0, 5, 2.0, 32 << 10, 20}; }
Bounds timed_out(std::vector<int> statuses) { return {std::move(statuses), 0.25, 3, 2.0, 32 << 10, 20}; }

}  // namespace

std::vector<Row> make_table() {
    std::vector<Row> t;
    for (Kind k : kHeaderKinds) {
        const std::string h = header_name(k);
        const std::string announce =
            tt::format("a %s header announcing %llu bytes", h.c_str(), static_cast<unsigned long long>(huge_length(k)));
        Params p;
        p.kind = k;
        p.limit = Limit::None;
        t.push_back({"huge-" + h,
                     announce + ", then the end of the stream",
                     run_huge,
                     p,
                     {{ERR_READ, ERR_ALLOC}, 0, 10, 3.0, 64 << 10, 30, 640 << 10, 10.0},
                     Need::Nothing,
                     true});
        p.limit = Limit::MaxRecord;
        t.push_back({"huge-" + h + "-max-record", announce + "; MAX_RECORD 1 MiB", run_huge, p, quick({ERR_BAD_VALUE}),
                     Need::Nothing, true});
        p.limit = Limit::CappedMemory;
        t.push_back({"huge-" + h + "-capped", announce + "; address space capped at 1 GiB", run_huge, p,
                     quick({ERR_ALLOC}), Need::NoSanitizer, true});
    }
    {
        Params p;
        t.push_back({"trickle-event",
                     "a 2010 event, one byte every 2 ms",
                     run_trickle,
                     p,
                     {{0}, 0, 10, 1.0, 32 << 10, 30},
                     Need::Nothing,
                     true});
        p.record_timeout = true;
        t.push_back({"trickle-event-record-timeout",
                     "the same, RECORD_TIMEOUT 5 s",
                     run_trickle,
                     p,
                     {{0}, 0, 5, 1.0, 32 << 10, 30},
                     Need::Nothing,
                     true});
        p.record_timeout = false;
        p.kind = Kind::Image;
        t.push_back({"trickle-image",
                     "an image, one byte every 2 ms",
                     run_trickle,
                     p,
                     {{0}, 0, 10, 1.0, 32 << 10, 30},
                     Need::Nothing,
                     true});
    }
    for (Kind k : {Kind::Event2024, Kind::Slow, Kind::Image, Kind::Spectrum})
        for (Phase ph : {Phase::Header, Phase::Body}) {
            Params p;
            p.kind = k;
            p.phase = ph;
            t.push_back({"stall-" + header_name(k) + "-" + phase_name(ph),
                         std::string("stops inside the ") + phase_name(ph) + "; RECORD_TIMEOUT 300 ms", run_stall, p,
                         timed_out({ERR_TIMEOUT}), Need::Nothing, true});
        }
    t.push_back({"idle-peer", "connected, sends nothing; a 300 ms wait", run_idle, Params(), timed_out({ERR_TIMEOUT}),
                 Need::Nothing, true});
    t.push_back({"gone-peer", "closes without a byte", run_gone, Params(), quick({ERR_TIMEOUT, ERR_READ}),
                 Need::Nothing, true});
    for (Kind k : {Kind::Event2010, Kind::Image}) {
        Params p;
        p.kind = k;
        t.push_back({"garbage-" + header_name(k), "up to 150000 bytes of garbage, then a record", run_garbage, p,
                     quick({0}), Need::Nothing, true});
    }
    t.push_back({"garbage-beyond-scan-limit", "over 200000 bytes of garbage, then a record", run_garbage_beyond,
                 Params(), quick({ERR_TIMEOUT}), Need::Nothing, true});
    for (Ending e : {Ending::HalfClose, Ending::Reset})
        for (Phase ph : {Phase::Pattern, Phase::Header, Phase::Body}) {
            Params p;
            p.kind = ph == Phase::Body ? Kind::Event2024 : Kind::Event2010;
            p.phase = ph;
            p.ending = e;
            const char* how = e == Ending::HalfClose ? "half-close" : "reset";
            std::vector<int> st =
                ph == Phase::Pattern ? std::vector<int>{ERR_TIMEOUT, ERR_READ} : std::vector<int>{ERR_READ};
            t.push_back({std::string(how) + "-" + phase_name(ph), std::string(how) + " inside the " + phase_name(ph),
                         run_broken, p, quick(st), Need::Nothing, true});
        }
    {
        Params p;
        t.push_back({"stray", "a stray in line before the real peer; no list (served, as specified)", run_stray, p,
                     quick({0}), Need::Nothing, true});
        p.allow_list = true;
        t.push_back(
            {"stray-allow-list", "the same; ALLOW_PEERS 127.0.0.2/32", run_stray, p, quick({0}), Need::Nothing, true});
        p.kind = Kind::Legacy;  // the stray speaks the other byte order
        t.push_back({"reversed-stray-allow-list", "a byte-reversed stray first; ALLOW_PEERS 127.0.0.2/32", run_stray, p,
                     quick({0}), Need::Nothing, true});
        p.allow_list = false;
        t.push_back({"reversed-stray", "the same, no list (conversion switched on, as specified)", run_stray, p,
                     quick({0}), Need::Nothing, false});
        p.kind = Kind::Event2010;
        t.push_back({"flood",
                     tt::format("%d strays in turn, then the real peer; no list (each served)", kServedStrays),
                     run_flood,
                     p,
                     {{0}, 0, 15, 3.0, 32 << 10, 40},
                     Need::Nothing,
                     true});
        p.allow_list = true;
        t.push_back({"flood-allow-list",
                     tt::format("%d strays, then the real peer; ALLOW_PEERS", kFloodStrays),
                     run_flood,
                     p,
                     {{0}, 0, 15, 3.0, 32 << 10, 40},
                     Need::Nothing,
                     true});
    }
    {
        Params p;
        t.push_back({"preamble-none", "the listener never sends the preamble; PREAMBLE_TIMEOUT 300 ms", run_preamble, p,
                     timed_out({ERR_PROTOCOL}), Need::Nothing, true});
        p.phase = Phase::Pattern;
        t.push_back({"preamble-partial", "the listener sends 2 preamble bytes; PREAMBLE_TIMEOUT 300 ms", run_preamble,
                     p, timed_out({ERR_PROTOCOL}), Need::Nothing, true});
        p.by_signal = true;
        p.phase = Phase::Body;
        t.push_back({"preamble-signal", "the listener never sends the preamble; a signal after 300 ms", run_preamble, p,
                     timed_out({ERR_PROTOCOL}), Need::Nothing, true});
    }
    t.push_back({"bind-addr", "a peer tries 127.0.0.1; BIND_ADDR 127.0.0.2", run_bind_address, Params(), quick({0}),
                 Need::Nothing, true});
    t.push_back({"time-wait-port", "a restart while the port is in TIME_WAIT; REUSE_ADDR", run_time_wait, Params(),
                 quick({0}), Need::Nothing, true});
    t.push_back({"stale-socket-file", "a stale socket file; REUSE_ADDR", run_stale_file, Params(), quick({0}),
                 Need::Nothing, true});
    t.push_back(
        {"umask-000", "the listener runs under umask 000", run_umask, Params(), quick({0}), Need::Nothing, true});
    {
        Params p;
        t.push_back({"squatter", "another user holds /tmp/<port>.tcp and listens", run_squatter, p,
                     quick({ERR_CONNECT}), Need::Root, true});
        p.allow_list = true;
        t.push_back({"squatter-listed", "the same; ALLOW_UIDS lists that user (allowed by the site)", run_squatter, p,
                     quick({0}), Need::Root, false});
    }
    t.push_back({"private-dir", "a squatter on /tmp; SOCK_DIR private, SOCK_MODE 0600", run_private_dir, Params(),
                 quick({0}), Need::Root, true});
    t.push_back({"other-user-peer", "another user connects first; SOCK_MODE 0666, ALLOW_UIDS self", run_other_user_peer,
                 Params(), quick({0}), Need::Root, true});
    return t;
}

}  // namespace hostile
