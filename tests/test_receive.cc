// Receiving events and slow data: the pattern scan, byte order, the
// acknowledgement, what a failed call leaves stored, hostile lengths, the
// record buffer with its accessors, and whole records sent by a real sender.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Attached.h"
#include "Capture.h"
#include "Clock.h"
#include "Guards.h"
#include "Headers.h"
#include "LinkPair.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Tarvex.h"
#include "TestAccess.h"
#include "Wire.h"
#include "event_util.h"
#include "ringbuf.h"

using A = TarvexTestAccess;
using tt::Bytes;

namespace {

// ---------------------------------------------------------------------------
// Records

enum class Kind { Legacy, E2010, E2024, Slow, Slow2024 };

struct KindInfo {
    const char* name;
    Kind kind;
    uint32_t pattern;
    size_t header;
    bool counted;  // counted in the link's own counter
    kbr7_data_format generation;
};

const KindInfo kKinds[] = {
    {"legacy event", Kind::Legacy, KBR7_PATTERN_LEGACY, 36, true, KBR7_FORMAT_LEGACY},
    {"2010 event", Kind::E2010, KBR7_PATTERN_2010, 36, true, KBR7_FORMAT_2010},
    {"2024 event", Kind::E2024, KBR7_PATTERN_2024, 48, true, KBR7_FORMAT_2024},
    {"legacy slow data", Kind::Slow, KBR7_PATTERN_SLOW, 12, false, KBR7_FORMAT_LEGACY},
    {"2024 slow data", Kind::Slow2024, KBR7_PATTERN_SLOW_2024, 12, false, KBR7_FORMAT_2024},
};

const KindInfo& kind(Kind k) {
    for (const KindInfo& i : kKinds)
        if (i.kind == k) return i;
    return kKinds[0];
}

// A record in this machine's byte order.  `length` is written into the
// header as given (it may lie); the body has `body` bytes whatever it says,
// each below 0x80, so that no body ever holds a record pattern.
Bytes record(Kind k, int64_t length, size_t body, uint64_t number = 7, unsigned seed = 1) {
    const KindInfo& i = kind(k);
    tt::HeadFields f;
    f.number = number;
    f.type = i.header == 48 ? KBR7_EV_GMD : KBR7_EV_BOR;
    f.time = {0x01020304u, 0x05060708u};
    f.tmask = 0x11;
    f.status = 0x22;
    f.num_svr_block = 3;
    f.alignment = 0x33;
    f.channels = 5;
    const tt::Kind of_pattern = tarvex::kinds::event_kind_of(i.pattern)->kind;
    return tt::cat({tt::record_head(of_pattern, static_cast<uint64_t>(length), f), tt::filler(body, seed)});
}

Bytes record_of(Kind k, size_t body, uint64_t number = 7, unsigned seed = 1) {
    return record(k, static_cast<int64_t>(kind(k).header + body), body, number, seed);
}

// The same record as a peer of the other byte order writes it: every header
// field reversed (the 2024 header's 64-bit fields as 8 bytes), the body as
// 32-bit words.
Bytes other_order(Kind k, const Bytes& host) {
    static const size_t widths2024[] = {4, 4, 8, 8, 4, 4, 4, 4, 4, 4};
    Bytes out = host;
    size_t at = 0;
    auto reverse = [&out](size_t from, size_t n) {
        std::reverse(out.begin() + static_cast<long>(from), out.begin() + static_cast<long>(from + n));
    };
    if (kind(k).header == 48) {
        for (size_t w : widths2024) {
            reverse(at, w);
            at += w;
        }
    }
    for (; at + 4 <= out.size(); at += 4) reverse(at, 4);
    return out;
}

Bytes stored(Tarvex& t) {
    const char* b = A::buffer(t);
    return b == nullptr ? Bytes() : Bytes(b, b + A::size(t));
}

using tt::Attached;

// The first wait: one attempt of up to 5 s.
int receive(Tarvex& t, RNG_RingBuffer* rb = nullptr) { return t.ReceiveEvent(rb, 1, 5, 0); }

// Sends a block that may exceed the socket buffer while the test receives.
struct BackgroundSend {
    std::thread th;
    BackgroundSend(tt::RawPeer& p, Bytes b) : th([&p, b] { p.send(b); }) {}
    ~BackgroundSend() { th.join(); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Kinds and byte order

TEST(ReceiveEvent, EachKindIsStoredAsItTravelledWithItsGenerationAndCount) {
    tt::Watchdog dog(30);
    for (bool owncntr : {true, false}) {
        for (const KindInfo& k : kKinds) {
            SCOPED_TRACE(std::string(k.name) + (owncntr ? ", counting" : ", not counting"));
            Attached a;
            A::owncntr(a.t) = owncntr;
            // The generation must follow the record, whatever was in force.
            set_data_format_2024(k.generation != KBR7_FORMAT_2024);
            const Bytes r = record_of(k.kind, 40, 41);
            ASSERT_TRUE(a.peer.send(r));

            ASSERT_EQ(receive(a.t), 0);
            EXPECT_EQ(stored(a.t), r);
            EXPECT_EQ(kbr7_get_data_format(), k.generation);
            EXPECT_EQ(A::eventn(a.t), owncntr && k.counted ? 1 : 0);
            EXPECT_EQ(a.t.get_scan_skipped_last(), 0u);
            const bool slow = !k.counted;
            EXPECT_EQ(a.t.get_event_header() != nullptr, k.header == 36);
            EXPECT_EQ(a.t.get_event_header_2024() != nullptr, k.header == 48);
            EXPECT_EQ(a.t.get_slow_data_header() != nullptr, slow);
            if (!slow) {
                EXPECT_EQ(a.t.get_event_length(), r.size());
                EXPECT_EQ(a.t.get_event_number(), owncntr ? 1 : 41);
            }
        }
    }
}

TEST(ReceiveEvent, RecordsOfTheOtherByteOrderArriveInHostOrder) {
    tt::Watchdog dog(30);
    // Conversion already in force: every kind, the legacy pattern included.
    for (const KindInfo& k : kKinds) {
        SCOPED_TRACE(k.name);
        Attached a;
        A::must_swap(a.t) = 1;
        const Bytes host = record_of(k.kind, 24, 9);
        ASSERT_TRUE(a.peer.send(other_order(k.kind, host)));
        tt::Captured c = tt::capture([&] { EXPECT_EQ(receive(a.t), 0); });
        EXPECT_EQ(stored(a.t), host);
        EXPECT_EQ(c.err.find("Automatically"), std::string::npos);
    }
}

TEST(ReceiveEvent, AReversedPatternSwitchesConversionOnOnce) {
    tt::Watchdog dog(30);
    for (Kind k : {Kind::E2010, Kind::E2024, Kind::Slow, Kind::Slow2024}) {
        SCOPED_TRACE(kind(k).name);
        Attached a;
        const Bytes first = record_of(k, 16, 1, 1), second = record_of(k, 20, 2, 2);
        ASSERT_TRUE(a.peer.send(tt::cat({other_order(k, first), other_order(k, second)})));

        tt::Captured c1 = tt::capture([&] { EXPECT_EQ(receive(a.t), 0); });
        EXPECT_NE(c1.err.find("ReceiveEvent(): Automatically switching swap !!!"), std::string::npos);
        EXPECT_EQ(A::must_swap(a.t), 1);
        EXPECT_EQ(stored(a.t), first);
        EXPECT_EQ(kbr7_get_data_format(), kind(k).generation);

        tt::Captured c2 = tt::capture([&] { EXPECT_EQ(receive(a.t), 0); });
        EXPECT_EQ(c2.err.find("Automatically"), std::string::npos);
        EXPECT_EQ(stored(a.t), second);
    }
}

TEST(ReceiveEvent, MaskedLinkStoresReversedRecordsUnconverted) {
    tt::Watchdog dog(30);
    // 0x00010100 reads the same in both byte orders, so the record's length
    // is right even though nothing is converted.
    const size_t length = 0x00010100;
    for (Kind k : {Kind::E2010, Kind::Slow}) {
        SCOPED_TRACE(kind(k).name);
        Attached a;
        a.t.set_swap_mask(true);
        const Bytes wire = other_order(k, record_of(k, length - kind(k).header));
        BackgroundSend send(a.peer, wire);
        tt::Captured c = tt::capture([&] { EXPECT_EQ(receive(a.t), 0); });
        EXPECT_EQ(stored(a.t), wire);
        EXPECT_EQ(A::must_swap(a.t), 0);
        EXPECT_EQ(c.err.find("Automatically"), std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// The pattern scan

TEST(ReceiveEvent, ScanPassesAtMost200000BytesInFrontOfARecord) {
    tt::Watchdog dog(120);
    const Bytes r = record_of(Kind::E2010, 64);
    struct Case {
        size_t garbage;
        int status;
        unsigned long long skipped;
        size_t left_unread;  // what the call leaves of the record
    };
    // The reversed legacy pattern is no pattern of a link that does not
    // convert: it is skipped like any other byte.
    const Case cases[] = {{200000, 0, 200000, 0}, {200001, ERR_TIMEOUT, 200001, r.size() - 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.garbage);
        Attached a;
        Bytes garbage = tt::cat({tt::host32(KBR7_PATTERN_LEGACY_SWAPPED), Bytes(c.garbage - 4, 0)});
        {
            BackgroundSend send(a.peer, tt::cat({garbage, r}));
            EXPECT_EQ(receive(a.t), c.status);
        }
        EXPECT_EQ(a.t.get_scan_skipped_last(), c.skipped);
        EXPECT_EQ(a.t.get_scan_skipped_total(), c.skipped);
        EXPECT_EQ(a.unread(), c.left_unread);
        if (c.status == 0) {
            EXPECT_EQ(stored(a.t), r);
        }
    }
}

// A closed peer's empty reads run the scan to its limit, but only the bytes
// that really came from the stream count as skipped.
TEST(ReceiveEvent, SkippedBytesCountStreamBytesNotEmptyReads) {
    tt::Watchdog dog(60);
    Attached a;
    ASSERT_TRUE(a.peer.send(Bytes(10, 0x20)));
    a.peer.close();
    EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 5, 0), ERR_TIMEOUT);
    EXPECT_EQ(a.t.get_scan_skipped_last(), 10u);
    EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 5, 0), ERR_TIMEOUT);
    EXPECT_EQ(a.t.get_scan_skipped_last(), 0u);
    EXPECT_EQ(a.t.get_scan_skipped_total(), 10u);
}

TEST(ReceiveEvent, RecordArrivingOneByteAtATimeIsAssembled) {
    tt::Watchdog dog(60);
    for (bool blocking : {true, false}) {
        SCOPED_TRACE(blocking ? "blocking socket" : "non-blocking socket");
        Attached a;
        if (!blocking) a.non_blocking();
        const Bytes r = record_of(Kind::E2024, 20);
        std::thread peer([&] { a.peer.send_slowly(tt::cat({Bytes{1, 2, 3}, r}), 1); });
        int rc = ERR_SCAN_AGAIN;
        for (int calls = 0; rc == ERR_SCAN_AGAIN && calls < 100; ++calls) rc = a.t.ReceiveEvent(nullptr, -1, 0, 2000);
        peer.join();
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(stored(a.t), r);
        EXPECT_EQ(a.t.get_scan_skipped_total(), 3u);
    }
}

// On a non-blocking socket a call may return inside the pattern; the bytes
// it took stay with the link and the next call goes on with them.
TEST(ReceiveEvent, PartialPatternSurvivesACallThatReturns) {
    tt::Watchdog dog(30);
    struct Case {
        size_t garbage;
        size_t pattern_bytes;  // sent before the first call
        int first_status;
    };
    const Case cases[] = {
        {0, 1, ERR_TIMEOUT}, {0, 3, ERR_TIMEOUT}, {2, 1, ERR_TIMEOUT}, {4, 2, ERR_SCAN_AGAIN}, {7, 3, ERR_SCAN_AGAIN},
    };
    const Bytes r = record_of(Kind::Slow2024, 8);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.garbage << " garbage, " << c.pattern_bytes << " pattern bytes");
        Attached a;
        a.non_blocking();
        const Bytes wire = tt::cat({Bytes(c.garbage, 0x20), r});
        const size_t split = c.garbage + c.pattern_bytes;
        ASSERT_TRUE(a.peer.send(wire.data(), split));
        EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 0, 20000), c.first_status);
        ASSERT_TRUE(a.peer.send(wire.data() + split, wire.size() - split));
        EXPECT_EQ(receive(a.t), 0);
        EXPECT_EQ(stored(a.t), r);
        EXPECT_EQ(a.t.get_scan_skipped_total(), c.garbage);
    }
}

// ---------------------------------------------------------------------------
// A real accepting end (non-blocking data socket) and a peer that sends each
// pattern one byte per segment: no record may be lost.

class ReceiveEventAcceptingEnd : public testing::TestWithParam<bool> {};

TEST_P(ReceiveEventAcceptingEnd, PatternsSentBytewiseLoseNoRecord) {
    tt::Watchdog dog(120);
    const bool local = GetParam();
    struct Wait {
        int trs, sec, usec;
    };
    // Short waits, so that a lost record ends the loop instead of a long wait.
    for (Wait w : {Wait{-1, 0, 2000}, Wait{1, 0, 2000}}) {
        SCOPED_TRACE(testing::Message() << "trs " << w.trs);
        tt::EnvGuard env("KBR7_TARVEX_SOCK_TYPE", local ? "UNIX" : nullptr);
        Tarvex t(0);
        const int port = tt::unique_port();
        ASSERT_EQ(t.SocketSetup(port), 0);
        tt::RawPeer peer = local ? tt::RawPeer::connect_unix(port) : tt::RawPeer::connect_tcp(port);
        ASSERT_TRUE(peer.valid());
        ASSERT_EQ(t.Connect(true), 0);
        ASSERT_EQ(peer.read_exact(4).size(), 4u);

        const int records = 6;
        std::vector<Bytes> sent;
        for (int n = 0; n < records; ++n) sent.push_back(record_of(kKinds[n % 5].kind, 12 + 4 * n, 100 + n, n));
        std::thread sender([&] {
            for (const Bytes& r : sent) {
                peer.send_slowly(tt::cat({Bytes{0x30, 0x31, 0x32}, Bytes(r.begin(), r.begin() + 4)}), 3);
                peer.send(r.data() + 4, r.size() - 4);
            }
        });
        std::vector<Bytes> got;
        int returned_inside = 0;
        const long long deadline = tt::now_ms() + 20000;
        while (got.size() < sent.size() && tt::now_ms() < deadline) {
            const int rc = t.ReceiveEvent(nullptr, w.trs, w.sec, w.usec);
            if (rc == 0) {
                got.push_back(stored(t));
                continue;
            }
            ASSERT_TRUE(rc == ERR_TIMEOUT || rc == ERR_SCAN_AGAIN) << "status " << rc;
            ++returned_inside;
        }
        sender.join();
        EXPECT_EQ(got, sent);
        EXPECT_GT(returned_inside, 0);  // the calls did return inside patterns
        EXPECT_EQ(t.get_scan_skipped_total(), 3u * records);
        t.SocketRelease();
    }
}

// Pattern bytes kept from one peer's stream never reach the next peer's:
// "ff ee ff" from the first peer followed by "dd" from the second would
// otherwise read as the 2010 pattern in the other byte order.
TEST_P(ReceiveEventAcceptingEnd, KeptPatternBytesDoNotOutliveTheirPeer) {
    tt::Watchdog dog(60);
    const bool local = GetParam();
    tt::EnvGuard env("KBR7_TARVEX_SOCK_TYPE", local ? "UNIX" : nullptr);
    Tarvex t(0);
    const int port = tt::unique_port();
    ASSERT_EQ(t.SocketSetup(port), 0);
    auto connect_peer = [&] {
        tt::RawPeer p = local ? tt::RawPeer::connect_unix(port) : tt::RawPeer::connect_tcp(port);
        return p;
    };
    for (bool replace_in_one_call : {false, true}) {
        SCOPED_TRACE(replace_in_one_call ? "Connect(false)" : "Disconnect, Connect(true)");
        tt::RawPeer first = connect_peer();
        ASSERT_TRUE(first.valid());
        ASSERT_EQ(t.Connect(true), 0);
        ASSERT_EQ(first.read_exact(4).size(), 4u);
        ASSERT_TRUE(first.send(Bytes{0xff, 0xee, 0xff}));
        EXPECT_EQ(t.ReceiveEvent(nullptr, 1, 0, 50000), ERR_TIMEOUT);

        tt::RawPeer second = connect_peer();
        ASSERT_TRUE(second.valid());
        if (replace_in_one_call) {
            ASSERT_EQ(t.Connect(false), 0);
        } else {
            ASSERT_EQ(t.Disconnect(), 0);
            ASSERT_EQ(t.Connect(true), 0);
        }
        ASSERT_EQ(second.read_exact(4).size(), 4u);
        const Bytes r = record_of(Kind::E2010, 16);
        ASSERT_TRUE(second.send(tt::cat({Bytes{0xdd}, r})));
        EXPECT_EQ(t.ReceiveEvent(nullptr, 1, 5, 0), 0);
        EXPECT_EQ(stored(t), r);
        EXPECT_FALSE(t.get_swap());
        ASSERT_EQ(t.Disconnect(), 0);
    }
    t.SocketRelease();
}

INSTANTIATE_TEST_SUITE_P(Transports, ReceiveEventAcceptingEnd, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Local" : "Tcp"; });

// ---------------------------------------------------------------------------
// Acknowledgement

TEST(ReceiveEvent, AcknowledgementWeighsTheLengthAgainstFreeSpace) {
    tt::Watchdog dog(30);
    for (Kind k : {Kind::E2010, Kind::E2024, Kind::Slow}) {
        for (int short_by : {0, 1}) {
            SCOPED_TRACE(testing::Message() << kind(k).name << ", ring short by " << short_by);
            Attached a;
            const Bytes r = record_of(k, 100);
            RNG_RingBuffer rb(r.size() - static_cast<size_t>(short_by));
            ASSERT_TRUE(a.peer.send(r));
            EXPECT_EQ(receive(a.t, &rb), short_by ? ERR_NO_SPACE : 0);
            EXPECT_EQ(a.peer.read_exact(4), tt::host32(short_by ? 1 : 0));
            EXPECT_EQ(a.unread(), short_by ? r.size() - kind(k).header : 0u);
        }
    }
}

TEST(ReceiveEvent, WithoutARingBufferNothingIsWrittenBack) {
    tt::Watchdog dog(30);
    Attached a;
    const Bytes r = record_of(Kind::E2024, 3000);
    ASSERT_TRUE(a.peer.send(r));
    EXPECT_EQ(receive(a.t), 0);
    EXPECT_EQ(stored(a.t), r);
    EXPECT_TRUE(a.peer.quiet_for(50));
}

TEST(ReceiveEvent, RefusedBodyIsSkippedByTheNextCall) {
    tt::Watchdog dog(30);
    Attached a;
    const Bytes refused = record_of(Kind::E2010, 200, 1, 1), next = record_of(Kind::E2010, 20, 2, 2);
    ASSERT_TRUE(a.peer.send(tt::cat({refused, next})));
    RNG_RingBuffer small(100), big(1000);
    EXPECT_EQ(receive(a.t, &small), ERR_NO_SPACE);
    EXPECT_EQ(receive(a.t, &big), 0);
    EXPECT_EQ(stored(a.t), next);
    EXPECT_EQ(a.t.get_scan_skipped_last(), 200u);
}

// ---------------------------------------------------------------------------
// What a failed call leaves stored, and its message

TEST(ReceiveEvent, FailedCallKeepsOrReleasesThePreviousRecordByPhaseAndKind) {
    tt::Watchdog dog(60);
    enum class Fail { ClosedBefore, ClosedInHeader, NoSpace, AckNotWritten, ClosedInBody };
    struct Case {
        const char* what;
        Kind k;
        Fail fail;
        int status;
        const char* message;  // on standard error, or null for none
        bool kept;
    };
    const char* body_msg =
        "ReceiveEvent() 2: read pattern too many empty messages, consider TCP connection broken, EVENT";
    const Case cases[] = {
        {"event, closed before", Kind::E2010, Fail::ClosedBefore, ERR_TIMEOUT, nullptr, true},
        {"event, closed in header", Kind::E2010, Fail::ClosedInHeader, ERR_READ,
         "ReceiveEvent(): EVENT header too many empty messages, consider TCP connection broken", true},
        {"2024, closed in header", Kind::E2024, Fail::ClosedInHeader, ERR_READ,
         "ReceiveEvent(): EVENT header too many empty messages, consider TCP connection broken", true},
        {"slow, closed in header", Kind::Slow, Fail::ClosedInHeader, ERR_READ,
         "ReceiveEvent(): SLOW DATA header too many empty messages, consider TCP connection broken", false},
        {"event, no space", Kind::E2024, Fail::NoSpace, ERR_NO_SPACE, nullptr, true},
        {"slow, no space", Kind::Slow2024, Fail::NoSpace, ERR_NO_SPACE, nullptr, false},
        {"event, ack not written", Kind::E2010, Fail::AckNotWritten, ERR_SEND, "ReceiveEvent(): Failed to send ack",
         true},
        {"slow, ack not written", Kind::Slow, Fail::AckNotWritten, ERR_SEND, nullptr, true},
        {"event, closed in body", Kind::E2010, Fail::ClosedInBody, ERR_READ, body_msg, false},
        {"slow, closed in body", Kind::Slow, Fail::ClosedInBody, ERR_READ, body_msg, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Attached a;
        const Bytes previous = record_of(Kind::Legacy, 8);
        ASSERT_TRUE(a.peer.send(previous));
        ASSERT_EQ(receive(a.t), 0);

        const Bytes r = record_of(c.k, 64);
        const size_t header = kind(c.k).header;
        RNG_RingBuffer rb(c.fail == Fail::NoSpace ? 10 : 1000);
        switch (c.fail) {
            case Fail::ClosedBefore: break;
            case Fail::ClosedInHeader: a.peer.send(r.data(), header - 2); break;
            case Fail::NoSpace:
            case Fail::AckNotWritten: a.peer.send(r.data(), header); break;
            case Fail::ClosedInBody: a.peer.send(r.data(), header + 10); break;
        }
        if (c.fail != Fail::NoSpace) a.peer.close();
        RNG_RingBuffer* ring = c.fail == Fail::NoSpace || c.fail == Fail::AckNotWritten ? &rb : nullptr;
        tt::Captured out = tt::capture([&] { EXPECT_EQ(receive(a.t, ring), c.status); });
        if (c.message)
            EXPECT_NE(out.err.find(c.message), std::string::npos) << out.err;
        else
            EXPECT_EQ(out.err, "");
        EXPECT_EQ(stored(a.t), c.kept ? previous : Bytes());
        EXPECT_EQ(A::size(a.t), c.kept ? previous.size() : 0u);
    }
}

TEST(ReceiveEvent, HostileLengthsAreRefusedAndTheNextRecordIsFound) {
    tt::Watchdog dog(30);
    struct Case {
        Kind k;
        int64_t length;
        bool ring;  // acknowledged: a length of 2^32 does not fit a ring buffer
    };
    const Case cases[] = {
        {Kind::E2010, 0, true},
        {Kind::Legacy, 35, true},
        {Kind::E2024, 0, true},
        {Kind::E2024, 47, true},
        {Kind::E2024, -1, true},
        {Kind::E2024, INT64_MIN, true},
        {Kind::E2024, int64_t{1} << 32, false},
        {Kind::Slow, 0, true},
        {Kind::Slow2024, 11, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << kind(c.k).name << ", length " << c.length);
        Attached a;
        const Bytes previous = record_of(Kind::E2010, 4), next = record_of(Kind::E2010, 16, 3, 3);
        ASSERT_TRUE(a.peer.send(tt::cat({previous, record(c.k, c.length, 0), next})));
        ASSERT_EQ(receive(a.t), 0);
        const int counted_before = A::eventn(a.t);

        RNG_RingBuffer rb(1 << 16);
        EXPECT_EQ(receive(a.t, c.ring ? &rb : nullptr), ERR_BAD_VALUE);
        // Refused after the acknowledgement, the own counter and the release.
        if (c.ring) {
            EXPECT_EQ(a.peer.read_exact(4), tt::host32(0));
        }
        EXPECT_EQ(A::eventn(a.t), counted_before + (kind(c.k).counted ? 1 : 0));
        EXPECT_EQ(A::buffer(a.t), nullptr);
        EXPECT_EQ(A::size(a.t), 0u);

        EXPECT_EQ(receive(a.t), 0);
        EXPECT_EQ(stored(a.t), next);
    }
}

// ---------------------------------------------------------------------------
// Guards and the first wait

TEST(ReceiveEvent, GuardsAndTheFirstWait) {
    tt::Watchdog dog(30);
    {
        Tarvex t(false);
        tt::Captured c = tt::capture([&] { EXPECT_EQ(t.ReceiveEvent(nullptr, 1, 0, 1000), ERR_NOT_CONNECTED); });
        EXPECT_EQ(c.err, "ReceiveEvent(): Not connected.  No action taken.\n");
    }
    {
        // Connected without a data socket: fails at once, whatever the wait says.
        Tarvex t(false);
        A::connected(t) = 1;
        EXPECT_EQ(t.ReceiveEvent(nullptr, -1, -1, -1), ERR_READ);
        EXPECT_EQ(t.ReceiveEvent(nullptr, -1, 0, 100000), ERR_READ);
    }
    {
        // No budget: nothing is read; the record is still there afterwards.
        Attached a;
        const Bytes r = record_of(Kind::E2010, 4);
        ASSERT_TRUE(a.peer.send(r));
        EXPECT_EQ(a.t.ReceiveEvent(nullptr, 0, 1, 0), ERR_READ);
        EXPECT_EQ(receive(a.t), 0);
        EXPECT_EQ(stored(a.t), r);
    }
    {
        // One timed wait on an idle socket.
        Attached a;
        const long long t0 = tt::now_ms();
        EXPECT_EQ(a.t.ReceiveEvent(nullptr, 1, 0, 100000), ERR_TIMEOUT);
        EXPECT_LT(tt::now_ms() - t0, 5000);
    }
}

// ---------------------------------------------------------------------------
// The record buffer

TEST(RecordBuffer, EmptyBufferHasAFixedAnswerForEverything) {
    Tarvex t(false);
    RNG_RingBuffer rb(100);
    EXPECT_EQ(t.get_event_type(), KBR7_EV_EVMAX);
    EXPECT_EQ(t.get_event_length(), 0u);
    EXPECT_EQ(t.get_event_header(), nullptr);
    EXPECT_EQ(t.get_event_header_2024(), nullptr);
    EXPECT_EQ(t.get_slow_data_header(), nullptr);
    EXPECT_EQ(t.WriteBlockToRingBuffer(rb), ERR_NO_BUFFER);
    EXPECT_EQ(rb.bytesUsed(), 0u);
    A::eventn(t) = 12;
    EXPECT_EQ(t.get_event_number(), 12);
    t.set_own_cnt(false);
    EXPECT_EQ(t.get_event_number(), -1);
    EXPECT_EQ(A::swap_buffer(t), 0);
    A::must_swap(t) = 1;
    EXPECT_EQ(A::swap_buffer(t), ERR_NO_BUFFER);
}

TEST(RecordBuffer, WholeRecordGoesToTheRingBufferOrNothing) {
    tt::Watchdog dog(30);
    Attached a;
    const Bytes r = record_of(Kind::E2024, 52);
    ASSERT_TRUE(a.peer.send(r));
    ASSERT_EQ(receive(a.t), 0);

    RNG_RingBuffer small(r.size() - 1);
    EXPECT_EQ(a.t.WriteBlockToRingBuffer(small), ERR_RING_WRITE);
    EXPECT_EQ(a.t.WriteBlockToRingBuffer(small), ERR_RING_WRITE);
    EXPECT_EQ(stored(a.t), r);

    RNG_RingBuffer rb(2 * r.size());
    EXPECT_EQ(a.t.WriteBlockToRingBuffer(rb), 0);
    EXPECT_EQ(a.t.WriteBlockToRingBuffer(rb), 0);  // the same record again
    for (int n = 0; n < 2; ++n) {
        Bytes out(rb.nextRecordSize());
        ASSERT_EQ(rb.Read(reinterpret_cast<char*>(out.data()), out.size()), static_cast<long>(r.size()));
        EXPECT_EQ(out, r);
    }
}

// The data-format generation is one setting of the whole process, which
// every record received or sent anywhere rewrites.  The accessors read the
// layout of the record each link stores, whatever another link (or a send)
// selected since.
TEST(RecordBuffer, FieldAccessorsReadTheStoredRecordsLayoutWhateverElseRanSince) {
    tt::Watchdog dog(30);
    Attached a2024, b2010;
    a2024.t.set_own_cnt(false);
    b2010.t.set_own_cnt(false);
    ASSERT_TRUE(a2024.peer.send(record_of(Kind::E2024, 8, 0x500000005ull)));
    ASSERT_EQ(receive(a2024.t), 0);
    ASSERT_TRUE(b2010.peer.send(record_of(Kind::E2010, 12, 0x80000001u)));
    ASSERT_EQ(receive(b2010.t), 0);
    ASSERT_FALSE(is_data_format_2024()) << "the second record selected its own generation";

    struct Expect {
        Tarvex& t;
        int number;
        KBR7_EVTYPE type;
        unsigned length;
    };
    const Expect both[] = {{a2024.t, 5, KBR7_EV_GMD, 56}, {b2010.t, static_cast<int>(0x80000001u), KBR7_EV_BOR, 48}};
    auto check = [&both](const char* after) {
        for (const Expect& e : both) {
            SCOPED_TRACE(after);
            EXPECT_EQ(e.t.get_event_number(), e.number);
            EXPECT_EQ(e.t.get_event_type(), e.type);
            EXPECT_EQ(e.t.get_event_length(), e.length);
        }
    };
    check("after a 2010 record on another link");
    EXPECT_NE(a2024.t.get_event_header_2024(), nullptr);
    EXPECT_NE(b2010.t.get_event_header(), nullptr);

    // A send of the other generation on the 2024 link itself.
    Bytes legacy = record_of(Kind::Legacy, 4);
    iovec v[2] = {{legacy.data(), sizeof(kbr7_eventheader)}, {legacy.data() + sizeof(kbr7_eventheader), 4}};
    ASSERT_EQ(a2024.t.SendEvent(v, 2, SendEvent_NOACK), 0);
    (void)a2024.peer.read_exact(legacy.size());
    check("after a legacy send on the 2024 link");
    ASSERT_TRUE(b2010.peer.send(record_of(Kind::E2024, 4, 3)));
    ASSERT_EQ(receive(b2010.t), 0);
    EXPECT_EQ(b2010.t.get_event_number(), 3);
    EXPECT_EQ(a2024.t.get_event_number(), 5);
}

TEST(RecordBuffer, FieldAccessorsReadTheLayoutOfTheGeneration) {
    tt::Watchdog dog(30);
    Attached a;
    a.t.set_own_cnt(false);

    ASSERT_TRUE(a.peer.send(record_of(Kind::E2010, 8, 0x80000001u)));
    ASSERT_EQ(receive(a.t), 0);
    EXPECT_EQ(a.t.get_event_number(), static_cast<int>(0x80000001u));
    EXPECT_EQ(a.t.get_event_type(), KBR7_EV_BOR);
    EXPECT_EQ(a.t.get_event_length(), 44u);

    ASSERT_TRUE(a.peer.send(record_of(Kind::E2024, 8, 0x500000005ull)));
    ASSERT_EQ(receive(a.t), 0);
    EXPECT_EQ(a.t.get_event_number(), 5);
    EXPECT_EQ(a.t.get_event_type(), KBR7_EV_GMD);
    EXPECT_EQ(a.t.get_event_length(), 56u);

    // A bare 12-byte slow-data header: the accessors read the words that lie
    // at the event-header offsets of the generation, and answer as for no
    // record where such a word lies beyond the record.
    struct Bare {
        Kind k;
        int number;
        int type;
        unsigned length;
    };
    for (Bare b : {Bare{Kind::Slow2024, -1, 12, 5}, Bare{Kind::Slow, 5, KBR7_EV_EVMAX, 12}}) {
        SCOPED_TRACE(kind(b.k).name);
        ASSERT_TRUE(a.peer.send(record_of(b.k, 0)));
        ASSERT_EQ(receive(a.t), 0);
        EXPECT_NE(a.t.get_slow_data_header(), nullptr);
        EXPECT_EQ(a.t.get_event_number(), b.number);
        EXPECT_EQ(a.t.get_event_type(), b.type);
        EXPECT_EQ(a.t.get_event_length(), b.length);
    }
    // A longer slow-data record: the words at the event-header offsets.
    ASSERT_TRUE(a.peer.send(record_of(Kind::Slow, 36)));
    ASSERT_EQ(receive(a.t), 0);
    EXPECT_EQ(a.t.get_event_length(), 48u);
    EXPECT_EQ(a.t.get_event_number(), 5);
}

namespace {

// What a link with no stored record answers when it does not count itself
// (see EmptyBufferHasAFixedAnswerForEverything).
void expect_no_record(Tarvex& t) {
    RNG_RingBuffer rb(1000);
    EXPECT_EQ(t.get_event_header(), nullptr);
    EXPECT_EQ(t.get_event_header_2024(), nullptr);
    EXPECT_EQ(t.get_slow_data_header(), nullptr);
    EXPECT_EQ(t.get_event_length(), 0u);
    EXPECT_EQ(t.get_event_type(), KBR7_EV_EVMAX);
    EXPECT_EQ(t.get_event_number(), -1);
    EXPECT_EQ(t.WriteBlockToRingBuffer(rb), ERR_NO_BUFFER);
    EXPECT_EQ(rb.bytesUsed(), 0u);
    unsigned size = 1, capacity = 1;
    EXPECT_EQ(t.take_record_array(&size, &capacity), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(capacity, 0u);
}

struct TakenArray {
    char* array;
    unsigned size;
    unsigned capacity;
    Bytes bytes() const { return Bytes(array, array + size); }
};

TakenArray take(Tarvex& t) {
    TakenArray a{nullptr, 0, 0};
    a.array = t.take_record_array(&a.size, &a.capacity);
    return a;
}

}  // namespace

// A caller that takes every record keeps each one intact through later
// receives, and an array it offers back is used again instead of a new one.
// The sanitized build also checks that every array is freed once.
TEST(RecordBuffer, TakenArraysStayTheCallersAndOfferedOnesAreReused) {
    tt::Watchdog dog(30);
    Attached a;
    a.t.set_own_cnt(false);
    const Bytes r1 = record_of(Kind::E2010, 64, 1, 1), r2 = record_of(Kind::E2010, 64, 2, 2),
                r3 = record_of(Kind::E2024, 52, 3, 3), tiny = record_of(Kind::Slow, 0);

    ASSERT_TRUE(a.peer.send(tt::cat({r1, r2})));
    ASSERT_EQ(receive(a.t), 0);
    const TakenArray first = take(a.t);
    ASSERT_NE(first.array, nullptr);
    EXPECT_EQ(first.bytes(), r1);
    EXPECT_GE(first.capacity, first.size);
    expect_no_record(a.t);

    // A record of the same size goes into an array of its own.
    ASSERT_EQ(receive(a.t), 0);
    const TakenArray second = take(a.t);
    EXPECT_EQ(second.bytes(), r2);
    EXPECT_EQ(first.bytes(), r1);

    // Offered back: no record yet, then the next record lands in it.
    a.t.reuse_record_array(first.array, first.capacity);
    EXPECT_EQ(A::buffer(a.t), first.array);
    expect_no_record(a.t);
    ASSERT_TRUE(a.peer.send(r3));
    ASSERT_EQ(receive(a.t), 0);
    EXPECT_EQ(A::buffer(a.t), first.array);
    EXPECT_EQ(stored(a.t), r3);
    RNG_RingBuffer rb(1000);
    EXPECT_EQ(a.t.WriteBlockToRingBuffer(rb), 0);

    // A link that holds an array already frees the one offered.
    a.t.reuse_record_array(second.array, second.capacity);
    EXPECT_EQ(A::buffer(a.t), first.array);
    EXPECT_EQ(stored(a.t), r3);
    a.t.reuse_record_array(nullptr, 100);
    EXPECT_EQ(stored(a.t), r3);

    // An offered array far larger than the record is replaced.
    const TakenArray third = take(a.t);
    EXPECT_EQ(third.bytes(), r3);
    a.t.reuse_record_array(third.array, third.capacity);
    ASSERT_TRUE(a.peer.send(tiny));
    ASSERT_EQ(receive(a.t), 0);
    EXPECT_EQ(stored(a.t), tiny);
    EXPECT_EQ(A::capacity(a.t), tiny.size());

    // An offer the link never uses goes with the link.
    const TakenArray last = take(a.t);
    Tarvex idle(false);
    idle.set_own_cnt(false);
    idle.reuse_record_array(last.array, last.capacity);
    expect_no_record(idle);
}

// ---------------------------------------------------------------------------
// A real sender on the other end

struct EndToEnd {
    bool local;
    bool convert;  // the accepting end asks both ends to convert
};

class SendEventToReceiveEvent : public testing::TestWithParam<EndToEnd> {};

TEST_P(SendEventToReceiveEvent, EveryKindArrivesAsItWasSent) {
    tt::Watchdog dog(120);
    const EndToEnd p = GetParam();
    tt::LinkPair link(p.local, p.convert ? Tarvex::BIGEND_MODE : Tarvex::NATIVE_MODE);
    ASSERT_TRUE(link.ok());
    ASSERT_EQ(link.accepting.get_swap(), p.convert);
    ASSERT_EQ(link.connecting.get_swap(), p.convert);
    Tarvex& receiver = link.accepting;
    Tarvex& sender = link.connecting;
    sender.SetRetry(100);  // 10 s for each answer: room for a slow, loaded machine

    struct Row {
        Kind k;
        int mode;
        size_t ring;  // 0: no ring buffer
        int status;   // of both ends
    };
    std::vector<Row> rows;
    for (const KindInfo& k : kKinds) {
        rows.push_back({k.kind, SendEvent_NOACK, 0, 0});
        rows.push_back({k.kind, SendEvent_ACK, 1 << 16, 0});
    }
    rows.push_back({Kind::E2024, SendEvent_ACK, 100, ERR_NO_SPACE});

    unsigned seq = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << kind(row.k).name << (row.mode ? ", acknowledged" : ", unacknowledged"));
        const size_t body = 2000 + 4 * seq;
        ++seq;
        const Bytes r = record_of(row.k, body, 1000 + seq, seq);
        Bytes header(r.begin(), r.begin() + static_cast<long>(kind(row.k).header));
        const size_t half = body / 2;
        iovec v[3] = {{header.data(), header.size()},
                      {const_cast<unsigned char*>(r.data()) + header.size(), half},
                      {const_cast<unsigned char*>(r.data()) + header.size() + half, body - half}};
        int sent = -1;
        // One record at a time: the data-format generation is one setting of
        // the process, and both ends set it for their record.
        std::thread th([&] { sent = sender.SendEvent(v, 3, row.mode); });
        RNG_RingBuffer rb(row.ring ? row.ring : 1);
        const int got = receiver.ReceiveEvent(row.ring ? &rb : nullptr, -1, 5, 0);
        th.join();
        EXPECT_EQ(sent, row.status);
        EXPECT_EQ(got, row.status);
        if (row.status == 0) {
            EXPECT_EQ(stored(receiver), r);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TransportsAndByteOrder, SendEventToReceiveEvent,
                         testing::Values(EndToEnd{false, false}, EndToEnd{false, true}, EndToEnd{true, false},
                                         EndToEnd{true, true}),
                         [](const testing::TestParamInfo<EndToEnd>& i) {
                             return std::string(i.param.local ? "Local" : "Tcp") +
                                    (i.param.convert ? "Converting" : "Native");
                         });
