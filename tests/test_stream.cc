// The read-ahead stream every receiver reads through: records of every kind
// back to back in one segment, records split at every byte, readiness and
// the buffered-byte count while bytes wait in the link, a new connection
// that starts clean, and a peer that has closed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Attached.h"
#include "Capture.h"
#include "Clock.h"
#include "Guards.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Tarvex.h"
#include "TestAccess.h"
#include "Wire.h"
#include "detail/Preamble.h"

using A = TarvexTestAccess;
using tt::Bytes;

namespace {

constexpr size_t kImageIntro = sizeof(kbr7_image_ext_intro);
constexpr size_t kSpectIntro = sizeof(kbr7_spect_intro);

using tt::Attached;

Bytes stored(Tarvex& t) {
    const char* b = A::buffer(t);
    return b == nullptr ? Bytes() : Bytes(b, b + A::size(t));
}

// One record of a mixed stream and the receiver that takes it.
struct Expected {
    enum Receiver { Event, Image, Spect } receiver;
    Bytes wire;
};

// Receives one record with its own receiver and returns what the link
// handed over: the stored record, or the intro (pattern put back) followed
// by the body.
Bytes receive_one(Tarvex& t, Expected::Receiver r, int& status) {
    if (r == Expected::Event) {
        status = t.ReceiveEvent(nullptr, -1, 5, 0);
        return stored(t);
    }
    const size_t intro_size = r == Expected::Image ? kImageIntro : kSpectIntro;
    alignas(8) unsigned char intro[kImageIntro] = {};
    char* body = nullptr;
    status = r == Expected::Image ? t.ReceiveImage(reinterpret_cast<kbr7_image_ext_intro*>(intro), &body, 1 << 20)
                                  : t.ReceiveSpect(reinterpret_cast<kbr7_spect_intro*>(intro), &body, 1 << 20);
    uint32_t length = 0;
    std::memcpy(&length, intro + 4, sizeof length);
    Bytes out(intro, intro + intro_size);
    if (status == 0) out.insert(out.end(), body, body + (length - intro_size));
    delete[] body;
    return out;
}

// What receive_one returns for a record: the intro comes back without its
// pattern word.
Bytes handed_over(const Expected& e) {
    Bytes b = e.wire;
    if (e.receiver != Expected::Event) std::fill(b.begin(), b.begin() + 4, 0);
    return b;
}

std::vector<Expected> mixed_stream() {
    return {
        {Expected::Event, tt::event_record(KBR7_PATTERN_2010, 40, 1, 1)},
        {Expected::Image, tt::intro_record(kImageIntro, KBR7_PATTERN_LEGACY, 300, 2)},
        {Expected::Event, tt::event_record(KBR7_PATTERN_SLOW_2024, 20, 0, 3)},
        {Expected::Spect, tt::intro_record(kSpectIntro, KBR7_PATTERN_2024, 64, 4)},
        {Expected::Event, tt::event_record(KBR7_PATTERN_2024, 1000, 5, 5)},
        {Expected::Spect, tt::intro_record(kSpectIntro, KBR7_PATTERN_2010, 0, 6)},
        {Expected::Image, tt::intro_record(kImageIntro, KBR7_PATTERN_2024, 5000, 7)},
        {Expected::Event, tt::event_record(KBR7_PATTERN_LEGACY, 0, 8, 8)},
    };
}

Bytes whole(const std::vector<Expected>& records) {
    Bytes all;
    for (const Expected& e : records) all.insert(all.end(), e.wire.begin(), e.wire.end());
    return all;
}

}  // namespace

// ---------------------------------------------------------------------------
// Records back to back

TEST(Stream, RecordsOfEveryKindInOneSegmentGoToAlternatingReceivers) {
    tt::Watchdog dog(30);
    for (bool non_blocking : {false, true}) {
        SCOPED_TRACE(non_blocking ? "non-blocking socket" : "blocking socket");
        Attached a(non_blocking);
        const std::vector<Expected> records = mixed_stream();
        ASSERT_TRUE(a.peer.send(whole(records)));
        size_t left = whole(records).size();
        for (const Expected& e : records) {
            int status = -1;
            const Bytes got = receive_one(a.t, e.receiver, status);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(got, handed_over(e));
            left -= e.wire.size();
            // The rest waits in the link, read ahead; the socket holds none of it.
            EXPECT_EQ(a.t.get_buffered_bytes(), left);
            EXPECT_FALSE(a.socket_readable());
        }
        EXPECT_EQ(a.t.get_scan_skipped_total(), 0u);
    }
}

// Every place a segment can end: inside the pattern, the header, the intro
// or the body, on a non-blocking end that returns inside a pattern.
TEST(Stream, RecordsSplitAtEveryByteAcrossSegmentsArriveWhole) {
    tt::Watchdog dog(120);
    const std::vector<Expected> records = {
        {Expected::Event, tt::event_record(KBR7_PATTERN_2024, 24, 1, 1)},
        {Expected::Image, tt::intro_record(kImageIntro, KBR7_PATTERN_2010, 12, 2)},
        {Expected::Event, tt::event_record(KBR7_PATTERN_SLOW, 8, 0, 3)},
    };
    const Bytes wire = tt::cat({Bytes{0x20, 0x21, 0x22}, whole(records)});
    for (size_t split = 1; split < wire.size(); ++split) {
        SCOPED_TRACE(testing::Message() << "split after byte " << split);
        Attached a(true);
        ASSERT_TRUE(a.peer.send(wire.data(), split));
        std::thread rest([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            a.peer.send(wire.data() + split, wire.size() - split);
        });
        for (const Expected& e : records) {
            int status = ERR_SCAN_AGAIN;
            Bytes got;
            // A call may return inside the first pattern while the rest is
            // on its way; the next call goes on from there.
            for (int calls = 0; calls < 200 && (status == ERR_SCAN_AGAIN || status == ERR_TIMEOUT); ++calls) {
                if (e.receiver == Expected::Event)
                    status = a.t.ReceiveEvent(nullptr, 1, 0, 5000);
                else
                    got = receive_one(a.t, e.receiver, status);
            }
            if (e.receiver == Expected::Event) got = stored(a.t);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(got, handed_over(e));
        }
        rest.join();
        EXPECT_EQ(a.t.get_scan_skipped_total(), 3u);
        EXPECT_EQ(a.t.get_buffered_bytes(), 0u);
    }
}

// The same stream read in pieces of every small size, as a peer's segments
// or a small socket buffer would cut it.
TEST(Stream, ReadsOfAnySizeGiveTheSameRecords) {
    tt::Watchdog dog(60);
    const std::vector<Expected> records = mixed_stream();
    for (size_t piece : {1, 2, 3, 5, 36, 37, 107, 4096}) {
        SCOPED_TRACE(testing::Message() << "reads of " << piece << " bytes");
        Attached a;
        A::limit_reads(a.t, piece);
        tt::RawPeer& peer = a.peer;
        const Bytes all = whole(records);
        std::thread send([&peer, all] { peer.send(all); });
        for (const Expected& e : records) {
            int status = -1;
            EXPECT_EQ(receive_one(a.t, e.receiver, status), handed_over(e));
            EXPECT_EQ(status, 0);
        }
        send.join();
    }
}

// ---------------------------------------------------------------------------
// Readiness while bytes are buffered

TEST(Stream, ReadyAtOnceWhileBytesAreBuffered) {
    tt::Watchdog dog(30);
    Attached a(true);
    const Bytes first = tt::event_record(KBR7_PATTERN_2010, 16, 1, 1),
                second = tt::event_record(KBR7_PATTERN_2010, 24, 2, 2);
    EXPECT_EQ(a.t.get_buffered_bytes(), 0u);
    ASSERT_TRUE(a.peer.send(tt::cat({first, second})));
    ASSERT_EQ(a.t.ReceiveEvent(nullptr, 1, 5, 0), 0);
    EXPECT_EQ(stored(a.t), first);

    EXPECT_EQ(a.t.get_buffered_bytes(), second.size());
    EXPECT_FALSE(a.socket_readable());
    // Ready without a wait, however long the wait would be; a wait without
    // budget is still refused, and writability is the socket's own.
    const long long t0 = tt::now_ms();
    EXPECT_EQ(a.t.IfReady(Tarvex::RECEIVER_READ, -1, -1, -1), 0);
    EXPECT_EQ(a.t.IfReady(Tarvex::RECEIVER_READ, 1, 10, 0), 0);
    EXPECT_LT(tt::now_ms() - t0, 5000);
    EXPECT_EQ(a.t.IfReady(Tarvex::RECEIVER_READ, 0, 1, 0), ERR_NOT_READABLE);
    EXPECT_EQ(a.t.IfReady(Tarvex::RECEIVER_WRITE, 1, 0, 0), 0);

    ASSERT_EQ(a.t.ReceiveEvent(nullptr, 1, 5, 0), 0);
    EXPECT_EQ(stored(a.t), second);
    EXPECT_EQ(a.t.get_buffered_bytes(), 0u);
    EXPECT_EQ(a.t.IfReady(Tarvex::RECEIVER_READ, 1, 0, 20000), ERR_TIMEOUT);
}

TEST(Stream, DataDescriptorIsTheDataSocket) {
    Attached a;
    EXPECT_EQ(a.t.get_data_fd(), a.mine);
    Tarvex fresh(false);
    EXPECT_EQ(fresh.get_data_fd(), -1);
    EXPECT_EQ(fresh.get_buffered_bytes(), 0u);
    EXPECT_FALSE(fresh.get_peer_closed());
}

// Pattern bytes a call kept while waiting for the rest are taken, not
// buffered: an event loop must wait on the socket for the rest.
TEST(Stream, KeptPatternBytesAreNotBuffered) {
    tt::Watchdog dog(30);
    Attached a(true);
    const Bytes r = tt::event_record(KBR7_PATTERN_2010, 8);
    ASSERT_TRUE(a.peer.send(r.data(), 2));
    EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 0, 20000), ERR_TIMEOUT);
    EXPECT_EQ(a.t.get_buffered_bytes(), 0u);
    const long long t0 = tt::now_ms();
    EXPECT_EQ(a.t.IfReady(Tarvex::RECEIVER_READ, 1, 0, 100000), ERR_TIMEOUT);
    EXPECT_GE(tt::now_ms() - t0, 50);
    ASSERT_TRUE(a.peer.send(r.data() + 2, r.size() - 2));
    EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 5, 0), 0);
    EXPECT_EQ(stored(a.t), r);
}

// ---------------------------------------------------------------------------
// A new connection starts clean

class StreamAcceptingEnd : public testing::TestWithParam<bool> {};

TEST_P(StreamAcceptingEnd, NewPeerNeverSeesBytesReadAheadFromTheOldOne) {
    tt::Watchdog dog(60);
    const bool local = GetParam();
    tt::EnvGuard env("KBR7_TARVEX_SOCK_TYPE", local ? "UNIX" : nullptr);
    Tarvex t(0);
    const int port = tt::unique_port();
    ASSERT_EQ(t.SocketSetup(port), 0);
    auto connect_peer = [&] { return local ? tt::RawPeer::connect_unix(port) : tt::RawPeer::connect_tcp(port); };
    for (bool replace_in_one_call : {false, true}) {
        SCOPED_TRACE(replace_in_one_call ? "Connect(false)" : "Disconnect, Connect(true)");
        tt::RawPeer first = connect_peer();
        ASSERT_TRUE(first.valid());
        ASSERT_EQ(t.Connect(true), 0);
        ASSERT_EQ(first.read_exact(4).size(), 4u);
        // A whole record, a second one and the start of a third: after the
        // first receive the rest waits in the link.
        const Bytes old1 = tt::event_record(KBR7_PATTERN_2010, 16, 1, 1),
                    old2 = tt::event_record(KBR7_PATTERN_2024, 16);
        ASSERT_TRUE(first.send(tt::cat({old1, old2, Bytes(old1.begin(), old1.begin() + 10)})));
        first.close();
        EXPECT_EQ(t.ReceiveEvent(nullptr, 1, 5, 0), 0);
        EXPECT_GT(t.get_buffered_bytes(), 0u);

        tt::RawPeer second = connect_peer();
        ASSERT_TRUE(second.valid());
        if (replace_in_one_call) {
            ASSERT_EQ(t.Connect(false), 0);
        } else {
            ASSERT_EQ(t.Disconnect(), 0);
            EXPECT_EQ(t.get_buffered_bytes(), 0u);
            ASSERT_EQ(t.Connect(true), 0);
        }
        EXPECT_EQ(t.get_buffered_bytes(), 0u);
        EXPECT_FALSE(t.get_peer_closed());
        ASSERT_EQ(second.read_exact(4).size(), 4u);
        const Bytes fresh = tt::event_record(KBR7_PATTERN_LEGACY, 20, 7, 7);
        ASSERT_TRUE(second.send(fresh));
        EXPECT_EQ(t.ReceiveEvent(nullptr, 1, 5, 0), 0);
        EXPECT_EQ(stored(t), fresh);
        ASSERT_EQ(t.Disconnect(), 0);
    }
    t.SocketRelease();
}

INSTANTIATE_TEST_SUITE_P(Transports, StreamAcceptingEnd, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Local" : "Tcp"; });

// The connecting end reads the preamble through the stream: records the
// accepting end sends right behind it are kept for the receivers.
TEST(Stream, RecordsRightBehindThePreambleAreKept) {
    tt::Watchdog dog(30);
    const int port = tt::unique_port();
    tt::RawListener listener(port, false);
    const Bytes r = tt::event_record(KBR7_PATTERN_2010, 32);
    std::thread accepting([&] {
        tt::RawPeer p = listener.accept();
        p.send(tt::cat({tt::host32(tarvex::preamble::kNative), r}));
        p.read_until_closed(5000);
    });
    Tarvex t(false);
    ASSERT_EQ(t.Connect("127.0.0.1", port), 0);
    EXPECT_EQ(t.ReceiveEvent(nullptr, 1, 5, 0), 0);
    EXPECT_EQ(stored(t), r);
    t.SocketRelease();
    accepting.join();
}

// ---------------------------------------------------------------------------
// A peer that has closed

// Each receiver still ends as it always has on a closed stream, and the link
// tells a gone peer from an idle one.
TEST(Stream, ClosedPeerIsKnownAfterOneEmptyRead) {
    tt::Watchdog dog(60);
    struct Case {
        const char* what;
        Bytes before_close;
        std::function<int(Tarvex&)> receive;
        int status;
        const char* message;  // on standard error
        int after;            // what every later call returns: the scan finds nothing
    };
    const Bytes event = tt::event_record(KBR7_PATTERN_2010, 64);
    const Bytes image = tt::intro_record(kImageIntro, KBR7_PATTERN_2010, 64);
    auto receive_image = [](Tarvex& t) {
        int status;
        receive_one(t, Expected::Image, status);
        return status;
    };
    auto receive_event = [](Tarvex& t) { return t.ReceiveEvent(nullptr, 1, 5, 0); };
    const Case cases[] = {
        {"event scan", {}, receive_event, ERR_TIMEOUT, nullptr, ERR_TIMEOUT},
        {"event header", Bytes(event.begin(), event.begin() + 10), receive_event, ERR_READ,
         "ReceiveEvent(): EVENT header too many empty messages, consider TCP connection broken", ERR_TIMEOUT},
        {"event body", Bytes(event.begin(), event.begin() + 50), receive_event, ERR_READ,
         "ReceiveEvent() 2: read pattern too many empty messages, consider TCP connection broken, EVENT", ERR_TIMEOUT},
        {"image scan",
         {},
         receive_image,
         ERR_READ,
         "ReceiveImage(): read pattern too many empty messages, consider TCP connection broken",
         ERR_READ},
        {"image body", Bytes(image.begin(), image.begin() + 120), receive_image, ERR_READ,
         "ReceiveImage(): read image too many empty messages, consider TCP connection broken", ERR_READ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (bool non_blocking : {false, true}) {
            Attached a(non_blocking);
            ASSERT_TRUE(a.peer.send(tt::cat({event, c.before_close})));
            a.peer.close();
            ASSERT_EQ(a.t.ReceiveEvent(nullptr, 1, 5, 0), 0);
            std::vector<int> statuses;
            tt::Captured out = tt::capture([&] {
                for (int call = 0; call < 3; ++call) statuses.push_back(c.receive(a.t));
            });
            EXPECT_EQ(statuses, (std::vector<int>{c.status, c.after, c.after}));
            if (c.message) {
                EXPECT_NE(out.err.find(c.message), std::string::npos) << out.err;
            }
            EXPECT_TRUE(a.t.get_peer_closed());
            EXPECT_EQ(a.t.IfReady(Tarvex::RECEIVER_READ, 1, 10, 0), 0);
        }
    }
}

TEST(Stream, IdlePeerIsNotClosed) {
    tt::Watchdog dog(30);
    Attached a;
    EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 0, 20000), ERR_TIMEOUT);
    EXPECT_FALSE(a.t.get_peer_closed());
}

TEST(Stream, PeerClosedIsForgottenByTheNextConnect) {
    tt::Watchdog dog(30);
    const int port = tt::unique_port();
    tt::RawListener listener(port, false);
    Tarvex t(false);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::thread accepting([&] {
            tt::RawPeer p = listener.accept();
            p.send(tt::host32(tarvex::preamble::kNative));
            p.close();
        });
        ASSERT_EQ(t.Connect("127.0.0.1", port), 0);
        EXPECT_FALSE(t.get_peer_closed());
        accepting.join();
        EXPECT_EQ(t.ReceiveEvent(nullptr, 1, 5, 0), ERR_TIMEOUT);
        EXPECT_TRUE(t.get_peer_closed());
        ASSERT_EQ(t.SocketRelease(), 0);
    }
}
