#include "Attacks.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Guards.h"
#include "Harness.h"
#include "Peers.h"
#include "Ports.h"
#include "System.h"
#include "detail/Preamble.h"

namespace hostile {

// ---------------------------------------------------------------------------
// Huge lengths

void run_huge(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    if (p.limit == Limit::MaxRecord) c.set(end.link, SwitchId::MaxRecord, std::to_string(kMaxRecord));
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    const Good g = good_record(c, p.kind);
    Bytes bytes = header_announcing(c, p.kind, huge_length(p.kind));
    // With a limit the stream goes on: filler the scan passes over, then the
    // good record.  Without one the receiver takes everything as the body,
    // and the peer's end of the stream ends the call.
    if (p.limit != Limit::None) bytes = tt::cat({bytes, garbage(c, c.pick(1, 4000)), g.wire});
    if (p.limit == Limit::CappedMemory) {
        const rlimit cap{kAddressSpaceCap, kAddressSpaceCap};
        c.check(::setrlimit(RLIMIT_AS, &cap) == 0, "setrlimit(RLIMIT_AS) failed");
    }
    Feeder f(peer, split(c, bytes), After::HalfClose);
    Bytes got;
    c.attack([&] { return receive(c, end.link, p.kind, got); });
    if (p.limit == Limit::None) {
        f.join();
        peer.close();
        next_peer_whole(c, end, p.kind);
    } else {
        expect_whole(c, end.link, g);
    }
}

// ---------------------------------------------------------------------------
// Slow and stalled peers

void run_trickle(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    if (p.record_timeout) c.set(end.link, SwitchId::RecordTimeout, "5000");
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    Good g;
    tvt::build_record(p.kind, static_cast<uint32_t>(c.pick(1, 1000)), c.pick(200, 300), g.rec);
    g.wire = trl::wire_bytes(g.rec, false);
    g.delivered = trl::delivered_bytes(g.rec);
    Feeder f(peer, trickle(g.wire, 2), After::StayOpen);
    Bytes got;
    const int st = c.attack([&] { return receive(c, end.link, p.kind, got); });
    c.report.next = st == 0 && got == g.delivered ? kNextWhole : kNextBroken;
    if (st == 0) c.check(got == g.delivered, "the trickled record arrived changed");
}

void run_stall(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    c.set(end.link, SwitchId::RecordTimeout, std::to_string(kShortWaitMs));
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    const Good stalled = good_record(c, p.kind);
    const size_t cut = cut_in(c, stalled, p.phase);
    {
        Feeder f(peer, split(c, Bytes(stalled.wire.begin(), stalled.wire.begin() + static_cast<long>(cut))),
                 After::StayOpen);
        Bytes got;
        c.attack([&] { return receive(c, end.link, p.kind, got); });
    }
    // The peer is still there and now behaves: the partial record is gone,
    // and the next call scans afresh.
    good_record_arrives(c, end.link, peer, p.kind);
}

// ---------------------------------------------------------------------------
// Idle and gone peers, garbage, resets and half-closes

void run_idle(Case& c) {
    AcceptingEnd end;
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    c.attack([&] { return probe(end.link, kShortWaitMs); });
    c.check(!end.link.get_peer_closed(), "get_peer_closed() is true for an idle peer");
    good_record_arrives(c, end.link, peer, Kind::Event2010);
}

void run_gone(Case& c) {
    AcceptingEnd end;
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    peer.shutdown_write();
    c.attack([&] { return probe(end.link, kShortWaitMs); });
    c.check(end.link.get_peer_closed(), "get_peer_closed() is false after the peer has gone");
    peer.close();
    next_peer_whole(c, end, Kind::Event2010);
}

void run_garbage(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    // Below the scan's limit of 200000 bytes the record is found in the same
    // call, however the garbage is split.
    const size_t n = c.pick(1000, 150000);
    const Good g = good_record(c, p.kind);
    Feeder f(peer, split(c, tt::cat({garbage(c, n), g.wire})), After::StayOpen);
    const unsigned long long skipped_before = end.link.get_scan_skipped_total();
    Bytes got;
    const int st = c.attack([&] { return receive(c, end.link, p.kind, got); });
    c.report.next = st == 0 && got == g.delivered ? kNextWhole : kNextBroken;
    if (st == 0) c.check(got == g.delivered, "the record behind the garbage arrived changed");
    const unsigned long long skipped = end.link.get_scan_skipped_total() - skipped_before;
    if (!is_intro_kind(p.kind))
        c.check(skipped == n, tt::format("the scan skipped %llu bytes, %zu were garbage", skipped, n));
}

void run_broken(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    tt::RawPeer peer;
    if (!serve(c, end, peer)) return;
    const Good g = good_record(c, p.kind);
    const size_t cut = cut_in(c, g, p.phase);
    {
        Feeder f(peer, split(c, Bytes(g.wire.begin(), g.wire.begin() + static_cast<long>(cut))),
                 p.ending == Ending::HalfClose ? After::HalfClose : After::Reset);
        f.join();
        Bytes got;
        c.attack([&] { return receive(c, end.link, p.kind, got); });
    }
    if (p.ending == Ending::HalfClose)
        c.check(end.link.get_peer_closed(), "get_peer_closed() is false after a half-close");
    peer.close();
    next_peer_whole(c, end, p.kind);
}

// ---------------------------------------------------------------------------
// Strays and floods

void check_refusals(Case& c, AcceptingEnd& end, int strays) {
    c.check(end.link.get_refused_peers() == static_cast<unsigned long long>(strays),
            tt::format("get_refused_peers() is %llu, expected %d", end.link.get_refused_peers(), strays));
    const std::string line = std::string("Connect(): peer ") + kStrayPeer + " is not allowed, connection closed";
    c.check(c.lines_with(line) == strays,
            tt::format("%d lines '%s', expected %d", c.lines_with(line), line.c_str(), strays));
}

void run_stray(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    if (p.allow_list) c.set(end.link, SwitchId::AllowedPeers, kAllowList);
    if (!c.expect("SocketSetup", end.link.SocketSetup(end.port), 0)) return;
    // The stray is first in line; with the other byte order (the row's
    // kind says Legacy for it) it would switch conversion on.
    const bool reversed = p.kind == Kind::Legacy;
    tt::RawPeer stray = tt::RawPeer::connect_from(kStrayPeer, "127.0.0.1", end.port);
    const Good stray_record = good_record(c, Kind::Event2010);
    const Bytes stray_bytes = trl::wire_bytes(stray_record.rec, reversed);
    if (!c.check(stray.valid() && stray.send(stray_bytes), "the stray could not connect")) return;
    tt::RawPeer real = tt::RawPeer::connect_from(kAllowedPeer, "127.0.0.1", end.port);
    const Good g = good_record(c, Kind::Event2010);
    if (!c.check(real.valid() && real.send(g.wire), "the real peer could not connect")) return;

    c.attack([&] { return end.link.Connect(true); });
    if (p.allow_list) {
        bool closed = false;
        const size_t sent = stray.read_until_closed(kPeerWaitMs, &closed).size();
        c.check(closed, "the stray was not closed");
        c.check(sent == 0, tt::format("the stray was sent %zu bytes", sent));
        check_refusals(c, end, 1);
        c.check(real.read_exact(4, kPeerWaitMs).size() == 4, "the real peer got no preamble");
        expect_whole(c, end.link, g);
        c.check(!end.link.get_swap(), "conversion is on for the real peer");
        return;
    }
    // Without a list the first in line is the peer, as specified: its
    // record is taken (and a reversed one switches conversion on).
    Bytes got;
    c.check(receive(c, end.link, Kind::Event2010, got) == 0 && got == stray_record.delivered,
            "the stray's record was not received, although no list keeps it out");
    if (reversed) {
        c.check(end.link.get_swap(), "a reversed record did not switch conversion on");
        return;  // the switch carries over to the next peer, as specified
    }
    c.expect("Disconnect", end.link.Disconnect(), 0);
    stray.close();
    c.expect("Connect(true) for the real peer", end.link.Connect(true), 0);
    c.check(real.read_exact(4, kPeerWaitMs).size() == 4, "the real peer got no preamble");
    expect_whole(c, end.link, g);
}

// Many strays, never more than a few of them waiting in the listen backlog
// (5 places; a full backlog would have the kernel drop connections and the
// flood slow down to TCP's retries), then the real peer.  With an allow
// list the link must close each stray at once, sending it nothing; without
// one it serves each in turn, as specified.
void run_flood(Case& c) {
    const Params& p = c.row.p;
    AcceptingEnd end;
    if (p.allow_list) c.set(end.link, SwitchId::AllowedPeers, kAllowList);
    if (!c.expect("SocketSetup", end.link.SocketSetup(end.port), 0)) return;
    const int strays = p.allow_list ? kFloodStrays : kServedStrays;
    const size_t waiting_at_most = p.allow_list ? 4 : 1;
    std::vector<Good> records;
    for (int i = 0; i < strays; ++i) records.push_back(good_record(c, Kind::Event2010));
    const Good g = good_record(c, Kind::Event2010);

    // A refused stray must get nothing, a served one its preamble only.
    const size_t due = p.allow_list ? 0 : 4;
    int wrong_bytes = 0, not_closed = 0;
    tt::RawPeer real;
    std::thread flood([&] {
        std::vector<tt::RawPeer> waiting;
        auto settle = [&](size_t keep) {
            while (waiting.size() > keep) {
                bool closed = false;
                const size_t got = waiting.front().read_until_closed(kPeerWaitMs, &closed).size();
                not_closed += !closed;
                wrong_bytes += got != due;
                waiting.erase(waiting.begin());
            }
        };
        for (int i = 0; i < strays; ++i) {
            settle(waiting_at_most - 1);
            tt::RawPeer s = tt::RawPeer::connect_from(kStrayPeer, "127.0.0.1", end.port);
            if (!s.valid() || !s.send(records[static_cast<size_t>(i)].wire)) ++not_closed;
            waiting.push_back(std::move(s));
        }
        settle(0);
        real = tt::RawPeer::connect_from(kAllowedPeer, "127.0.0.1", end.port);
        if (real.valid()) real.send(g.wire);
    });
    c.attack([&] {
        if (p.allow_list) return end.link.Connect(true);
        for (int i = 0; i < strays; ++i) {
            int st = end.link.Connect(true);
            Bytes got;
            if (st == 0) st = receive(c, end.link, Kind::Event2010, got);
            if (st == 0 && got != records[static_cast<size_t>(i)].delivered) c.fail(tt::format("stray %d: changed", i));
            if (st == 0) st = end.link.Disconnect();
            if (st != 0) return st;
        }
        return end.link.Connect(true);
    });
    flood.join();
    c.check(not_closed == 0, tt::format("%d strays were not closed by the link", not_closed));
    c.check(wrong_bytes == 0, tt::format("%d strays were sent other than %zu bytes", wrong_bytes, due));
    check_refusals(c, end, p.allow_list ? strays : 0);
    if (!c.check(real.valid(), "the real peer could not connect")) return;
    c.check(real.read_exact(4, kPeerWaitMs).size() == 4, "the real peer got no preamble");
    expect_whole(c, end.link, g);
}

// ---------------------------------------------------------------------------
// The connecting end and the preamble

// The connecting end, after a failed attempt, connects to a good listener
// and sends a good record, which must arrive whole.
void next_listener_whole(Case& c, Tarvex& link) {
    const int port = free_port();
    tt::RawListener listener(port, false);
    const Good g = good_record(c, Kind::Event2010);
    Bytes got;
    std::thread peer([&] {
        tt::RawPeer p = listener.accept(kPeerWaitMs);
        if (!p.valid() || !p.send(&tarvex::preamble::kNative, sizeof tarvex::preamble::kNative)) return;
        got = p.read_exact(g.wire.size(), kPeerWaitMs);
        p.sees_close(kPeerWaitMs);
    });
    int st = link.Connect("127.0.0.1", port);
    if (st == 0) {
        st = send_unacknowledged(link, g);
        link.Disconnect();
    }
    peer.join();
    link.SocketRelease();
    c.report.next = st == 0 && got == g.wire ? kNextWhole : kNextBroken;
    c.check(st == 0, "the next listener: the link returned " + status_text(st));
    c.check(st != 0 || got == g.wire, "the next listener got the record changed");
}

void run_preamble(Case& c) {
    const Params& p = c.row.p;
    const int port = free_port();
    tt::RawListener listener(port, false);
    Tarvex link(false);
    // Signal rows set no time limit: the timer signal is what ends the wait.
    const bool by_signal = p.by_signal;
    if (!by_signal) c.set(link, SwitchId::PreambleTimeout, std::to_string(kShortWaitMs));
    // The listener accepts and sends part of the preamble (Phase::Pattern),
    // or never accepts at all: the kernel completes the connection anyway.
    tt::RawPeer accepted;
    std::thread part;
    if (p.phase == Phase::Pattern)
        part = std::thread([&] {
            accepted = listener.accept(kPeerWaitMs);
            if (accepted.valid()) accepted.send(&tarvex::preamble::kNative, 2);
        });
    if (by_signal) signal_after(kShortWaitMs);
    c.attack([&] { return link.Connect("127.0.0.1", port); });
    signal_after(0);
    if (part.joinable()) part.join();
    c.check(!link.IsLinkActive(), "the link is active after a failed preamble");
    if (!by_signal)
        c.check(c.lines_with("Connect(): failed to receive preamble: Connection timed out") == 1,
                "no line 'Connect(): failed to receive preamble: Connection timed out'");
    next_listener_whole(c, link);
}

// ---------------------------------------------------------------------------
// Addresses, reuse and the local socket

void run_bind_address(Case& c) {
    AcceptingEnd end;
    c.set(end.link, SwitchId::BindAddress, kAllowedPeer);
    if (!c.expect("SocketSetup", c.attack([&] { return end.link.SocketSetup(end.port); }), 0)) return;
    tt::RawPeer elsewhere = tcp_peer(end.port);
    c.check(!elsewhere.valid(), "a peer reached the listener on 127.0.0.1");
    elsewhere.close();
    tt::RawPeer peer = tt::RawPeer::connect_from("127.0.0.1", kAllowedPeer, end.port);
    if (!take(c, end, peer)) return;
    good_record_arrives(c, end.link, peer, Kind::Event2010);
}

// Leaves `port` in TIME_WAIT the way a receiver that hung up first does:
// the connection it closed stays there for a minute.
void leave_time_wait(Case& c, int port, bool reuse) {
    Tarvex first(static_cast<int>(Tarvex::NATIVE_MODE));
    if (reuse) c.set(first, SwitchId::ReuseAddress, "1");
    if (!c.expect("SocketSetup", first.SocketSetup(port), 0)) return;
    tt::RawPeer peer = tcp_peer(port);
    c.expect("Connect(true)", first.Connect(true), 0);
    peer.read_exact(4, kPeerWaitMs);
    first.Disconnect();
    peer.sees_close(kPeerWaitMs);
    peer.close();
    first.SocketRelease();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// A receiver restarted while its port is in TIME_WAIT: without address
// reuse it cannot listen again for a minute (as specified); with reuse,
// which its first run had as well (the connection in TIME_WAIT keeps the
// setting it was made with), it listens at once.
void run_time_wait(Case& c) {
    const int plain_port = free_port();
    leave_time_wait(c, plain_port, false);
    {
        Tarvex again(static_cast<int>(Tarvex::NATIVE_MODE));
        c.expect("SocketSetup without address reuse (as specified)", again.SocketSetup(plain_port), ERR_BIND);
    }
    const int port = free_port();
    leave_time_wait(c, port, true);
    AcceptingEnd end;
    end.port = port;
    c.set(end.link, SwitchId::ReuseAddress, "1");
    if (c.attack([&] { return end.link.SocketSetup(port); }) != 0) return;
    tt::RawPeer peer = tcp_peer(port);
    if (!take(c, end, peer)) return;
    good_record_arrives(c, end.link, peer, Kind::Event2010);
}

void serve_local_peer(Case& c, AcceptingEnd& end, const std::string& path) {
    tt::RawPeer peer = tt::RawPeer::connect_path(path);
    if (!take(c, end, peer)) return;
    good_record_arrives(c, end.link, peer, Kind::Event2010);
}

// More garbage than the scan passes over in one call: the call gives up
// with ERR_TIMEOUT after 200000 bytes, and the next call finds the record.
// The limit counts within one call, and a call that finds the stream empty
// returns (ERR_SCAN_AGAIN) to be called again, so the bytes must all wait on
// the socket before the call: a local socket holds them.  The window the
// scan gives up on (the 4 bytes behind the 200001st) is dropped uncounted,
// so it must hold garbage only.
void run_garbage_beyond(Case& c) {
    tvt::use_local_socket(true);
    AcceptingEnd end;
    if (!c.expect("SocketSetup", end.link.SocketSetup(end.port), 0)) return;
    tt::RawPeer peer = tt::RawPeer::connect_path(tt::socket_file(end.port));
    if (!take(c, end, peer)) return;
    const size_t n = c.pick(200010, 200500);
    const Good g = good_record(c, Kind::Event2010);
    const Bytes bytes = tt::cat({garbage(c, n), g.wire});
    peer.set_sndbuf(1 << 20);
    Feeder f(peer, {{bytes, 0}}, After::StayOpen);
    if (!c.check(queued(end.link.get_data_fd(), bytes.size()), "the garbage did not fit into the socket")) return;
    const unsigned long long skipped_before = end.link.get_scan_skipped_total();
    Bytes got;
    c.attack([&] { return receive(c, end.link, Kind::Event2010, got); });
    expect_whole(c, end.link, g);
    const unsigned long long skipped = end.link.get_scan_skipped_total() - skipped_before;
    c.check(skipped + 4 == n, tt::format("the scan skipped %llu bytes, %zu were garbage", skipped, n));
}

void run_stale_file(Case& c) {
    tvt::use_local_socket(true);
    AcceptingEnd end;
    const std::string path = tt::socket_file(end.port);
    c.check(tt::leave_stale_socket_file(path), "the stale socket file could not be made");
    c.expect("SocketSetup on a stale file without reuse (as specified)", end.link.SocketSetup(end.port), ERR_BIND);
    c.set(end.link, SwitchId::ReuseAddress, "1");
    if (c.attack([&] { return end.link.SocketSetup(end.port); }) != 0) {
        ::unlink(path.c_str());
        return;
    }
    serve_local_peer(c, end, path);
}

void run_umask(Case& c) {
    tvt::use_local_socket(true);
    ::umask(0);
    AcceptingEnd end;
    const std::string path = tt::socket_file(end.port);
    if (c.attack([&] { return end.link.SocketSetup(end.port); }) != 0) return;
    const unsigned mode = file_mode(path);
    c.check((mode & 0002) == 0, tt::format("the socket file is world-writable under umask 000 (mode %04o)", mode));
    serve_local_peer(c, end, path);
}

// A sender meets a squatter on the default path: it must refuse the other
// user's listener before any record goes out (or, with the other user on
// its allow list, go ahead: the site chose so).  Then the squatter leaves,
// and the real receiver gets the sender's record.
void run_squatter(Case& c) {
    const Params& p = c.row.p;
    tvt::use_local_socket(true);
    const int port = free_port();
    const std::string path = tt::socket_file(port);
    Squatter squatter;
    if (!c.check(squatter.start(path), "the squatter could not bind the socket path")) return;
    Tarvex sender(false);
    if (p.allow_list) c.set(sender, SwitchId::AllowedUids, std::to_string(kOtherUser));
    const Good g = good_record(c, Kind::Event2010);
    c.attack([&] { return sender.Connect("127.0.0.1", port); });
    if (sender.IsLinkActive()) {
        send_unacknowledged(sender, g);
        sender.Disconnect();
        sender.SocketRelease();
    }
    const long squatted = squatter.bytes_received(p.allow_list ? 10 : 0.5);
    if (p.allow_list) {
        c.check(squatted == static_cast<long>(g.wire.size()),
                tt::format("the listed listener got %ld bytes, %zu were sent", squatted, g.wire.size()));
        return;
    }
    c.check(squatted <= 0, tt::format("the squatter got %ld bytes", squatted));
    const std::string line = tt::format("Connect(1): listener of user %u is not allowed, socket released", kOtherUser);
    c.check(c.lines_with(line) == 1, "no line '" + line + "'");
    // The squatter leaves; the real receiver takes the path.
    ::kill(squatter.pid, SIGKILL);
    tvt::wait_child(squatter.pid, 10);
    squatter.pid = -1;
    ::unlink(path.c_str());
    AcceptingEnd end;
    end.port = port;
    if (!c.expect("SocketSetup", end.link.SocketSetup(port), 0)) return;
    if (!c.check(connect_both(end.link, sender, port), "the real receiver and the sender could not connect")) return;
    c.expect("SendEvent", send_unacknowledged(sender, g), 0);
    expect_whole(c, end.link, g);
    sender.Disconnect();
    sender.SocketRelease();
}

// Both ends keep their socket in a private directory with mode 0600: a
// squatter on the default path meets nobody, the other user cannot even
// connect, and the record goes where it belongs.
void run_private_dir(Case& c) {
    tvt::use_local_socket(true);
    char dir_template[] = "/tmp/tarvex-hostile-XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    if (!c.check(dir != nullptr, "mkdtemp failed")) return;
    const int port = free_port();
    const std::string path = tt::socket_file(port, dir);
    {
        Squatter squatter;
        c.check(squatter.start(tt::socket_file(port)), "the squatter could not bind the default path");
        AcceptingEnd end;
        end.port = port;
        c.set(end.link, SwitchId::SocketDir, dir);
        c.set(end.link, SwitchId::SocketMode, "0600");
        if (c.attack([&] { return end.link.SocketSetup(port); }) == 0) {
            c.check(file_mode(path) == 0600, tt::format("the socket file has mode %04o, not 0600", file_mode(path)));
            c.check(other_user_connects(path) == 0, "the other user could connect to the private socket");
            Tarvex sender(false);
            c.set(sender, SwitchId::SocketDir, dir);
            if (c.check(connect_both(end.link, sender, port), "the ends could not connect in the private directory")) {
                const Good g = good_record(c, Kind::Event2010);
                c.expect("SendEvent", send_unacknowledged(sender, g), 0);
                expect_whole(c, end.link, g);
                sender.Disconnect();
            }
            sender.SocketRelease();
        }
        c.check(squatter.bytes_received(0.2) <= 0, "the squatter on the default path got bytes");
    }
    ::unlink(path.c_str());
    ::rmdir(dir);
}

// A process of the other user connects to a listener that lets everybody
// connect (mode 0666) but admits only its own user: it is closed at once
// and gets nothing; the real peer behind it is served.
void run_other_user_peer(Case& c) {
    tvt::use_local_socket(true);
    AcceptingEnd end;
    const std::string path = tt::socket_file(end.port);
    c.set(end.link, SwitchId::SocketMode, "0666");
    c.set(end.link, SwitchId::AllowedUids, "self");
    if (!c.expect("SocketSetup", end.link.SocketSetup(end.port), 0)) return;
    int fds[2];
    if (!c.check(::pipe2(fds, O_CLOEXEC) == 0, "pipe failed")) return;
    const Good stray_record = good_record(c, Kind::Event2010);
    // Exit 0: connected, closed by the link, sent nothing; 1: could not
    // connect; 2: was sent bytes; 3: not closed.
    const pid_t other = as_other_user([&] {
        ::close(fds[0]);
        tt::RawPeer p = tt::RawPeer::connect_path(path);
        if (!p.valid()) return 1;
        p.send(stray_record.wire);
        tvt::write_all(fds[1], "connected\n");
        const long long start = tt::now_ms();
        const Bytes got = p.read_until_closed(kPeerWaitMs);
        if (!got.empty()) return 2;
        return tt::now_ms() - start < kPeerWaitMs ? 0 : 3;
    });
    ::close(fds[1]);
    std::string line;
    const bool other_connected = tvt::read_line(fds[0], line, 10) && line == "connected";
    ::close(fds[0]);
    if (!c.check(other_connected, "the other user's process could not connect (mode 0666)")) {
        tvt::wait_child(other, 10);
        return;
    }
    tt::RawPeer real = tt::RawPeer::connect_path(path);
    const Good g = good_record(c, Kind::Event2010);
    if (!c.check(real.valid() && real.send(g.wire), "the real peer could not connect")) return;
    c.attack([&] { return end.link.Connect(true); });
    const int code = tvt::wait_child(other, 10);
    c.check(code == 0, tt::format("the other user's process %s", code == 2   ? "was sent bytes"
                                                                 : code == 3 ? "was not closed"
                                                                             : "ended unexpectedly"));
    c.check(end.link.get_refused_peers() == 1,
            tt::format("get_refused_peers() is %llu, expected 1", end.link.get_refused_peers()));
    const std::string refused = tt::format("Connect(): peer of user %u is not allowed, connection closed", kOtherUser);
    c.check(c.lines_with(refused) == 1, "no line '" + refused + "'");
    c.check(real.read_exact(4, kPeerWaitMs).size() == 4, "the real peer got no preamble");
    expect_whole(c, end.link, g);
}

}  // namespace hostile
