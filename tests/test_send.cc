// Sending records (SendEvent) and raw request blocks (SendRequest), checked
// against a raw peer that plays the receiver.
//
// Most tests attach one end of a socket pair as the link's data socket and
// read the other end raw.  Expected wire bytes are built here field by
// field, in host order and in the other byte order, never with the
// conversion library the link itself uses.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Capture.h"
#include "Clock.h"
#include "Guards.h"
#include "LinkPair.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Tarvex.h"
#include "TestAccess.h"
#include "detail/Preamble.h"
#include "event_util.h"

namespace {

using tt::Bytes;

// A 64-bit word as the other byte order stores it: what a converting link
// sends (tt::opposite32 for 32-bit words).
Bytes other64(uint64_t v) {
    Bytes hi = tt::opposite32(static_cast<uint32_t>(v >> 32));
    Bytes lo = tt::opposite32(static_cast<uint32_t>(v));
    return tt::host_is_little_endian() ? tt::cat({hi, lo}) : tt::cat({lo, hi});
}
Bytes host64(uint64_t v) { return tt::bytes_of(v); }

void append(Bytes& to, const Bytes& b) { to.insert(to.end(), b.begin(), b.end()); }

// A piece of a record in host order and, built independently, in the other
// byte order.
struct Fields {
    Bytes host, other;
    Fields& w32(uint32_t v) {
        append(host, tt::host32(v));
        append(other, tt::opposite32(v));
        return *this;
    }
    Fields& w64(uint64_t v) {
        append(host, host64(v));
        append(other, other64(v));
        return *this;
    }
    // Bytes the conversion leaves as they are (pixels).
    Fields& raw(const Bytes& b) {
        append(host, b);
        append(other, b);
        return *this;
    }
};

// A record as a caller hands it over: entry 0 the header, then the body
// fragments, each in memory the test owns.
struct Record {
    std::string name;
    Fields head;
    std::vector<Fields> body;
    std::vector<Bytes> mem;
    std::vector<iovec> iov;

    Record() = default;
    Record(std::string n, Fields h, std::vector<Fields> b)
        : name(std::move(n)), head(std::move(h)), body(std::move(b)) {
        mem.push_back(head.host);
        for (const Fields& f : body) mem.push_back(f.host);
        for (Bytes& m : mem) iov.push_back({m.data(), m.size()});
    }
    Record(const Record& o) : Record(o.name, o.head, o.body) {}
    Record& operator=(const Record&) = delete;

    size_t hdsz() const { return head.host.size(); }
    iovec* vec() { return iov.data(); }
    int frsin() const { return static_cast<int>(iov.size()); }
    Bytes wire_head(bool converted) const { return converted ? head.other : head.host; }
    Bytes wire_body(bool converted) const {
        Bytes b;
        for (const Fields& f : body) append(b, converted ? f.other : f.host);
        return b;
    }
    Bytes wire(bool converted) const { return tt::cat({wire_head(converted), wire_body(converted)}); }
};

Fields words(std::initializer_list<uint32_t> ws) {
    Fields f;
    for (uint32_t w : ws) f.w32(w);
    return f;
}

Fields event36_head(uint32_t pattern, uint32_t length) {
    return Fields()
        .w32(pattern)
        .w32(length)
        .w32(7)                          // event_number
        .w32(KBR7_EV_NORMAL)             // event_type
        .w32(0x11223344)                 // event_time.timeup
        .w32(0x55667788)                 // event_time.timelow
        .w32(3)                          // tmask
        .w32(static_cast<uint32_t>(-4))  // status
        .w32(2);                         // num_svr_block
}

Record event36(uint32_t pattern = KBR7_PATTERN_2010) {
    return Record("event36", event36_head(pattern, 36 + 12), {words({0xa1a2a3a4, 0xb1b2b3b4}), words({0xc1c2c3c4})});
}

Fields event48_head(uint32_t pattern, uint64_t length) {
    return Fields()
        .w32(pattern)
        .w32(KBR7_EV_BOR)  // event_type
        .w64(length)
        .w64(0x0102030405060708ull)  // event_number
        .w32(0x11223344)
        .w32(0x55667788)
        .w32(3)
        .w32(static_cast<uint32_t>(-4))
        .w32(2)
        .w32(0);  // alignment word
}

// `high` goes into the upper half of the 64-bit length, which senders ignore.
Record event48(uint64_t high = 0, uint32_t pattern = KBR7_PATTERN_2024) {
    return Record(high ? "event48_long" : "event48", event48_head(pattern, (high << 32) | (48 + 8)),
                  {words({0xa1a2a3a4, 0xb1b2b3b4})});
}

Record slow12(uint32_t pattern = KBR7_PATTERN_SLOW) {
    return Record("slow12", Fields().w32(pattern).w32(12 + 8).w32(2), {words({0x01020304, 0x05060708})});
}

// A 100-byte frame header whose last field is `length`.
Fields frame_head(uint32_t length) {
    Fields f;
    for (uint32_t i = 0; i < 14; ++i) f.w32(0x10203000u + i);  // width .. event
    for (uint32_t i = 0; i < 6; ++i) f.w32(0x3f800000u + i);   // the floats, as bit patterns
    for (uint32_t i = 0; i < 4; ++i) f.w32(0x70605040u + i);   // image_flags .. ispare4
    return f.w32(length);
}

Record image8() {
    const uint32_t len = 8 + 100 + 6;
    return Record("image8", Fields().w32(KBR7_PATTERN_2010).w32(len),
                  {frame_head(len), Fields().raw({1, 2, 3, 4, 5, 6})});
}

Record image100() { return Record("image100", frame_head(100 + 5), {Fields().raw({9, 8, 7, 6, 5})}); }

// One stream of bytes that gives each entry distinct contents and sizes.
Record many_entries(int body_entries) {
    std::vector<Fields> body;
    uint32_t total = 36;
    for (int i = 0; i < body_entries; ++i) {
        // Appended byte by byte: filled by index, the vector makes GCC 12 in a
        // Release build (-O3) warn of a write past its end (-Wstringop-overflow),
        // which there is not.
        Bytes b;
        const size_t size = static_cast<size_t>(i % 7 + 1);
        for (size_t k = 0; k < size; ++k) b.push_back(static_cast<unsigned char>(i * 13 + k));
        total += static_cast<uint32_t>(b.size());
        body.push_back(Fields().raw(b));
    }
    return Record("many", event36_head(KBR7_PATTERN_2010, total), body);
}

// A record of `entries` body fragments of `entry_size` bytes each.
Record large(int entries, size_t entry_size) {
    std::vector<Fields> body;
    for (int i = 0; i < entries; ++i) {
        Bytes b(entry_size);
        for (size_t k = 0; k < entry_size; ++k) b[k] = static_cast<unsigned char>(k * 7 + i);
        body.push_back(Fields().raw(b));
    }
    return Record("large", event36_head(KBR7_PATTERN_2010, static_cast<uint32_t>(36 + entries * entry_size)), body);
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

int unread_bytes(int fd) {
    int n = -1;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

// A link whose data socket is one end of a socket pair; the test reads and
// answers on the other end.
class SendTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto p = tt::stream_pair();
        link_fd = p.first;
        TarvexTestAccess::attach(link, link_fd);
        peer = tt::RawPeer(p.second);
    }
    void TearDown() override {
        // After a broken pipe the sender has closed the data socket itself.
        if (TarvexTestAccess::connected(link)) ::close(TarvexTestAccess::sockin(link));
        TarvexTestAccess::detach(link);
    }

    void convert() { TarvexTestAccess::must_swap(link) = 1; }
    void non_blocking() { ASSERT_EQ(::fcntl(link_fd, F_SETFL, O_NONBLOCK), 0); }
    void small_send_buffer() {
        int bytes = 4096;
        ::setsockopt(link_fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
    // Fills the link's send buffer until it takes no more; returns the count.
    size_t fill_send_buffer() {
        const int flags = ::fcntl(link_fd, F_GETFL);
        ::fcntl(link_fd, F_SETFL, flags | O_NONBLOCK);
        size_t total = 0;
        char chunk[1024] = {};
        for (ssize_t n; (n = ::send(link_fd, chunk, sizeof chunk, MSG_NOSIGNAL)) > 0;) total += static_cast<size_t>(n);
        ::fcntl(link_fd, F_SETFL, flags);
        return total;
    }
    std::future<int> send_async(Record& r, int mode) {
        return std::async(std::launch::async, [this, &r, mode] { return link.SendEvent(r.vec(), r.frsin(), mode); });
    }
    // Plays an acknowledging receiver: takes the header, answers, and takes
    // `body` bytes when it admitted the record.
    Bytes header_answer_body(size_t hdsz, const Bytes& answer, size_t body) {
        Bytes got = peer.read_exact(hdsz);
        peer.send(answer);
        if (body > 0) append(got, peer.read_exact(body));
        return got;
    }

    tt::Watchdog watchdog{60, "send test"};
    Tarvex link{false};
    tt::RawPeer peer;
    int link_fd = -1;
};

// --- exact wire bytes of every record kind --------------------------------

using RecordMaker = Record (*)();
Record make_event36() { return event36(); }
Record make_event48() { return event48(); }
Record make_event48_long() { return event48(5); }
Record make_slow12() { return slow12(); }
Record make_image8() { return image8(); }
Record make_image100() { return image100(); }

struct WireCase {
    RecordMaker make;
    bool ack;
    bool convert;
};

class SendWire : public SendTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(SendWire, RecordArrivesExactly) {
    const WireCase& p = GetParam();
    Record rec = p.make();
    const Bytes caller_header = rec.mem[0];
    if (p.convert) convert();
    const Bytes expected = rec.wire(p.convert);

    Bytes got;
    int status = -1;
    tt::Captured cap = tt::capture([&] {
        auto f = send_async(rec, p.ack ? SendEvent_ACK : SendEvent_NOACK);
        if (p.ack)
            got = header_answer_body(rec.hdsz(), tt::host32(0), expected.size() - rec.hdsz());
        else
            got = peer.read_exact(expected.size());
        status = f.get();
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(peer.quiet_for(50)) << "bytes beyond the record";
    EXPECT_EQ(rec.mem[0], caller_header) << "the caller's header must stay as it was";
    EXPECT_EQ(cap.out, "");
    EXPECT_EQ(cap.err, "");
}

std::vector<WireCase> wire_cases() {
    std::vector<WireCase> out;
    for (RecordMaker m : {make_event36, make_event48, make_event48_long, make_slow12, make_image8, make_image100})
        for (bool ack : {false, true})
            for (bool conv : {false, true}) out.push_back({m, ack, conv});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, SendWire, ::testing::ValuesIn(wire_cases()),
                         [](const ::testing::TestParamInfo<WireCase>& i) {
                             return i.param.make().name + (i.param.ack ? "_ack" : "_noack") +
                                    (i.param.convert ? "_converted" : "_native");
                         });

// --- data-format generation selected by the pattern --------------------------

struct FormatCase {
    const char* name;
    RecordMaker make;
    kbr7_data_format before;
    kbr7_data_format after;
};

Record make_event36_legacy() { return event36(KBR7_PATTERN_LEGACY); }
Record make_event36_2010_swapped() { return event36(KBR7_PATTERN_2010_SWAPPED); }
Record make_event36_2024() { return event36(KBR7_PATTERN_2024); }
Record make_event36_odd() { return event36(0x12345678); }
Record make_event48_swapped() { return event48(0, KBR7_PATTERN_2024_SWAPPED); }
Record make_event48_legacy() { return event48(0, KBR7_PATTERN_LEGACY); }
Record make_slow12_2024() { return slow12(KBR7_PATTERN_SLOW_2024); }
Record make_slow12_2024_swapped() { return slow12(KBR7_PATTERN_SLOW_2024_SWAPPED); }

void select_format(kbr7_data_format f) {
    set_data_format_2010(f == KBR7_FORMAT_2010 ? 1 : 0);
    set_data_format_2024(f == KBR7_FORMAT_2024 ? 1 : 0);
}

class SendFormat : public SendTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(SendFormat, PatternSelectsGeneration) {
    const FormatCase& p = GetParam();
    Record rec = p.make();
    select_format(p.before);
    EXPECT_EQ(link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK), 0);
    EXPECT_EQ(kbr7_get_data_format(), p.after);
    EXPECT_EQ(peer.read_exact(rec.wire(false).size()), rec.wire(false)) << "a pattern outside the table is still sent";
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, SendFormat,
    ::testing::Values(FormatCase{"legacy36", make_event36_legacy, KBR7_FORMAT_2024, KBR7_FORMAT_LEGACY},
                      FormatCase{"p2010_36", make_event36, KBR7_FORMAT_LEGACY, KBR7_FORMAT_2010},
                      FormatCase{"p2010swapped36", make_event36_2010_swapped, KBR7_FORMAT_LEGACY, KBR7_FORMAT_2010},
                      FormatCase{"p2024_36", make_event36_2024, KBR7_FORMAT_LEGACY, KBR7_FORMAT_2024},
                      FormatCase{"odd36", make_event36_odd, KBR7_FORMAT_2010, KBR7_FORMAT_LEGACY},
                      FormatCase{"p2024_48", make_event48, KBR7_FORMAT_2010, KBR7_FORMAT_2024},
                      FormatCase{"p2024swapped48", make_event48_swapped, KBR7_FORMAT_LEGACY, KBR7_FORMAT_2024},
                      FormatCase{"legacy48", make_event48_legacy, KBR7_FORMAT_2024, KBR7_FORMAT_LEGACY},
                      FormatCase{"slow", make_slow12, KBR7_FORMAT_2024, KBR7_FORMAT_LEGACY},
                      FormatCase{"slow2024", make_slow12_2024, KBR7_FORMAT_2010, KBR7_FORMAT_2024},
                      FormatCase{"slow2024swapped", make_slow12_2024_swapped, KBR7_FORMAT_LEGACY, KBR7_FORMAT_2024},
                      FormatCase{"image8keeps2024", make_image8, KBR7_FORMAT_2024, KBR7_FORMAT_2024},
                      FormatCase{"image8keeps2010", make_image8, KBR7_FORMAT_2010, KBR7_FORMAT_2010},
                      FormatCase{"image100keeps2024", make_image100, KBR7_FORMAT_2024, KBR7_FORMAT_2024}),
    [](const ::testing::TestParamInfo<FormatCase>& i) { return std::string(i.param.name); });

// --- refusals before anything is sent ----------------------------------------

TEST_F(SendTest, UnknownHeaderSizesAreRefused) {
    for (size_t size : {size_t{56}, size_t{108}, size_t{0}, size_t{37}}) {
        SCOPED_TRACE(size);
        Bytes header(size + 1, 0xee);
        iovec v[2] = {{header.data(), size}, {header.data(), 1}};
        int status = -1;
        tt::Captured cap = tt::capture([&] { status = link.SendEvent(v, 2, SendEvent_ACK); });
        EXPECT_EQ(status, ERR_PROTOCOL);
        EXPECT_EQ(cap.out, "hdsz: " + std::to_string(size) + " (36) (36)\nSendEvent() unknown event header format\n");
        EXPECT_EQ(cap.err, "");
    }
    EXPECT_TRUE(peer.quiet_for(50));
}

TEST(SendNotConnected, BothSendersRefuse) {
    Tarvex link(false);
    Record rec = event36();
    char block[4] = {1, 2, 3, 4};
    int event_status = -1, request_status = -1;
    tt::Captured ev = tt::capture([&] { event_status = link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK); });
    tt::Captured rq = tt::capture([&] { request_status = link.SendRequest(block, 4); });
    EXPECT_EQ(event_status, ERR_NOT_CONNECTED);
    EXPECT_EQ(ev.err, "SendEvent(): Unable to send event.  Not Connected.\n");
    EXPECT_EQ(request_status, ERR_NOT_CONNECTED);
    EXPECT_EQ(rq.err, "SendRequest(): Not connected.  No action taken.\n");
    EXPECT_EQ(ev.out + rq.out, "");
}

// A list without a usable header is refused before the answer of an
// acknowledged send is even looked at.
TEST_F(SendTest, ListWithoutUsableHeaderIsRefused) {
    Record rec = event36();
    iovec null_base[2] = {{nullptr, 36}, rec.iov[1]};
    struct Case {
        const char* name;
        iovec* vec;
        int frsin;
    } cases[] = {{"no entries", rec.vec(), 0},
                 {"negative count", rec.vec(), -1},
                 {"null list", nullptr, 3},
                 {"null header", null_base, 2}};
    ASSERT_TRUE(peer.send(tt::host32(0)));  // an answer waiting to be read
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int status = -1;
        tt::Captured cap = tt::capture([&] { status = link.SendEvent(c.vec, c.frsin, SendEvent_ACK); });
        EXPECT_EQ(status, ERR_BAD_VALUE);
        EXPECT_EQ(lines(cap.err).size(), 1u) << cap.err;
        EXPECT_EQ(cap.out, "");
        EXPECT_EQ(unread_bytes(link_fd), 4);
    }
    EXPECT_TRUE(peer.quiet_for(50));
}

// --- the peer's answer ----------------------------------------------------------

struct AnswerCase {
    const char* name;
    bool convert;
    int mode;
    Bytes answer;
    bool slowly;
    int status;
};

class SendAnswer : public SendTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(SendAnswer, AnswerDecidesAboutTheBody) {
    const AnswerCase& p = GetParam();
    if (p.convert) convert();
    Record rec = event36();
    int status = -1;
    Bytes head, body;
    tt::Captured cap = tt::capture([&] {
        auto f = send_async(rec, p.mode);
        head = peer.read_exact(rec.hdsz());
        if (p.slowly)
            peer.send_slowly(p.answer, 20);
        else
            peer.send(p.answer);
        if (p.status == 0) body = peer.read_exact(rec.wire_body(p.convert).size());
        status = f.get();
    });
    EXPECT_EQ(status, p.status);
    EXPECT_EQ(head, rec.wire_head(p.convert));
    if (p.status == 0) {
        EXPECT_EQ(body, rec.wire_body(p.convert));
    }
    EXPECT_TRUE(peer.quiet_for(100)) << "a refused record must not be followed by its body";
    EXPECT_EQ(cap.out + cap.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SendAnswer,
    ::testing::Values(AnswerCase{"admitted", false, SendEvent_ACK, tt::host32(0), false, 0},
                      AnswerCase{"refused", false, SendEvent_ACK, tt::host32(1), false, ERR_NO_SPACE},
                      AnswerCase{"anyNonZeroModeAcknowledges", false, 2, tt::host32(1), false, ERR_NO_SPACE},
                      AnswerCase{"answerInPieces", false, SendEvent_ACK, tt::host32(0), true, 0},
                      AnswerCase{"convertedAdmitted", true, SendEvent_ACK, tt::opposite32(0), false, 0},
                      AnswerCase{"convertedRefused", true, SendEvent_ACK, tt::opposite32(1), false, ERR_NO_SPACE}),
    [](const ::testing::TestParamInfo<AnswerCase>& i) { return std::string(i.param.name); });

// --- answers nobody asked for ---------------------------------------------------------
// A receiver given a ring buffer answers every event and slow-data record,
// asked or not.

// True once the link's socket holds bytes to read.
bool readable_within(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

TEST_F(SendTest, UnaskedAnswersAreTakenCountedAndToldOnce) {
    Record rec = slow12();
    const size_t size = rec.wire(false).size();
    tt::Captured cap = tt::capture([&] {
        for (int i = 0; i < 5; ++i) ASSERT_EQ(link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK), 0);
        ASSERT_EQ(peer.read_exact(5 * size).size(), 5 * size);
        // Room, no room, room, no room, no room.
        for (uint32_t a : {0u, 1u, 0u, 1u, 1u}) peer.send(tt::host32(a));
        ASSERT_TRUE(readable_within(link_fd, 5000));
        // The sender looks for answers often enough that they never pile up.
        for (int i = 0; i < 64; ++i) ASSERT_EQ(link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK), 0);
    });
    EXPECT_EQ(link.get_no_room_answers(), 3u);
    EXPECT_EQ(link.get_buffered_bytes(), 0u);
    EXPECT_FALSE(readable_within(link_fd, 0));
    EXPECT_EQ(cap.out, "");
    EXPECT_EQ(lines(cap.err), (std::vector<std::string>{
                                  "SendEvent(): the peer answers acknowledgements this sender does not ask for "
                                  "(its receiver was given a ring buffer); the answers are taken and dropped",
                                  "SendEvent(): the peer had no room for a record sent unacknowledged and skipped "
                                  "it; send with SendEvent_ACK to have such records refused instead"}));
    // The records themselves went out untouched.
    for (int i = 0; i < 64; ++i) ASSERT_EQ(peer.read_exact(size), rec.wire(false));
}

// An acknowledged record after unacknowledged ones: the answers owed to the
// earlier records come first and are not taken for this record's own.
TEST_F(SendTest, AnswersOwedToEarlierRecordsAreNotTakenForTheAskedOne) {
    Record rec = event36();
    const size_t size = rec.wire(false).size();
    int status = -1;
    tt::capture([&] {
        for (int i = 0; i < 3; ++i) ASSERT_EQ(link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK), 0);
        ASSERT_EQ(peer.read_exact(3 * size).size(), 3 * size);
        for (int i = 0; i < 3; ++i) peer.send(tt::host32(1));  // no room for any of them
        ASSERT_TRUE(readable_within(link_fd, 5000));
        auto f = send_async(rec, SendEvent_ACK);
        EXPECT_EQ(header_answer_body(rec.hdsz(), tt::host32(0), size - rec.hdsz()), rec.wire(false));
        status = f.get();
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(link.get_no_room_answers(), 3u);
    // A refusal of an asked record counts too.
    tt::capture([&] {
        auto f = send_async(rec, SendEvent_ACK);
        header_answer_body(rec.hdsz(), tt::host32(1), 0);
        status = f.get();
    });
    EXPECT_EQ(status, ERR_NO_SPACE);
    EXPECT_EQ(link.get_no_room_answers(), 4u);
}

// A peer that answers while the sender's socket is full: the sender takes
// the answers while it waits for room, so that the peer never blocks.
TEST_F(SendTest, AnswersAreTakenWhileWaitingForRoom) {
    small_send_buffer();
    Record rec = large(64, 1024);
    const size_t size = rec.wire(false).size();
    std::atomic<bool> done{false};
    std::thread answering([&] {
        // Reads each record and answers it, as a ring receiver does, with a
        // socket that holds few answers.
        peer.set_sndbuf(4096);
        for (int i = 0; i < 40 && !done; ++i) {
            if (peer.read_exact(size, 5000).size() != size) return;
            ASSERT_TRUE(peer.send(tt::host32(0)));
        }
    });
    std::vector<int> statuses;
    tt::Captured cap = tt::capture([&] {
        for (int i = 0; i < 40; ++i) {
            Record r = rec;  // a short write rewrites the caller's entries
            statuses.push_back(link.SendEvent(r.vec(), r.frsin(), SendEvent_NOACK));
        }
    });
    EXPECT_EQ(statuses, std::vector<int>(40, 0)) << cap.out << cap.err;
    done = true;
    answering.join();
    EXPECT_EQ(link.get_no_room_answers(), 0u);
}

TEST_F(SendTest, PeerThatNeverAnswersUsesUpTheBudget) {
    ASSERT_EQ(link.SetRetry(3), 0);
    Record rec = event36();
    int status = -1;
    long long elapsed = 0;
    tt::Captured cap = tt::capture([&] {
        const long long start = tt::now_ms();
        status = link.SendEvent(rec.vec(), rec.frsin(), SendEvent_ACK);
        elapsed = tt::now_ms() - start;
    });
    EXPECT_EQ(status, ERR_RETRIES);
    EXPECT_GE(elapsed, 250);  // three waits of 100 ms
    EXPECT_LT(elapsed, 5000);
    EXPECT_EQ(peer.read_exact(rec.hdsz()), rec.wire_head(false));
    EXPECT_TRUE(peer.quiet_for(50));
    EXPECT_EQ(cap.out + cap.err, "");
    EXPECT_EQ(link.IsLinkActive(), 1);
}

// Without waits, a closed peer shows as reads of nothing; a thousand of them
// end the wait.
TEST_F(SendTest, ClosedPeerWithoutWaitsEndsAfterEmptyReads) {
    link.SetDelay();
    Record rec = event36();
    int status = -1;
    tt::Captured cap = tt::capture([&] {
        auto f = send_async(rec, SendEvent_ACK);
        EXPECT_EQ(peer.read_exact(rec.hdsz()), rec.wire_head(false));
        peer.close();
        status = f.get();
    });
    EXPECT_EQ(status, ERR_RETRIES);
    EXPECT_EQ(cap.out + cap.err, "");
}

// Without waits on a non-blocking socket, an answer that takes a moment is
// still awaited: the would-block reads do not use up the empty-read limit.
TEST_F(SendTest, DirectStyleAwaitsASlowAnswerOnNonBlockingSocket) {
    link.SetDelay();
    non_blocking();
    Record rec = event36();
    int status = -1;
    tt::capture([&] {
        auto f = send_async(rec, SendEvent_ACK);
        EXPECT_EQ(peer.read_exact(rec.hdsz()), rec.wire_head(false));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(peer.send(tt::host32(0)));
        status = f.get();
    });
    EXPECT_EQ(status, 0);
}

// A header that cannot be completed within the budget has no answer coming;
// the call ends at once instead of blocking in the answer read.
TEST_F(SendTest, HeaderNotCompletedEndsWithRetries) {
    link.SetDelay();  // the answer read would block without limit
    ASSERT_EQ(link.SetRetry(2), 0);
    small_send_buffer();
    fill_send_buffer();
    Record rec = event36();
    int status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendEvent(rec.vec(), rec.frsin(), SendEvent_ACK); });
    EXPECT_EQ(status, ERR_RETRIES);
    EXPECT_EQ(cap.out + cap.err, "");
}

// --- length checks ----------------------------------------------------------------

struct LengthCase {
    const char* name;
    bool convert;
    int mode;
    uint32_t event_length;
    std::vector<size_t> body;
    int status;
    std::string out;
};

class SendLength : public SendTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(SendLength, LengthAndFragmentsMustAgree) {
    const LengthCase& p = GetParam();
    if (p.convert) convert();
    std::vector<Fields> body;
    for (size_t n : p.body) body.push_back(Fields().raw(Bytes(n, 0x5a)));
    Record rec("r", event36_head(KBR7_PATTERN_2010, p.event_length), body);
    int status = -1;
    Bytes got;
    tt::Captured cap = tt::capture([&] {
        auto f = send_async(rec, p.mode);
        if (p.mode != SendEvent_NOACK) got = header_answer_body(rec.hdsz(), tt::host32(0), 0);
        status = f.get();
    });
    EXPECT_EQ(status, p.status);
    EXPECT_EQ(cap.out, p.out);
    EXPECT_EQ(cap.err, "");
    Bytes rest = peer.read_some(1 << 16, 100);
    append(got, rest);
    if (p.status == ERR_CHECK)
        EXPECT_EQ(got, rec.wire(false)) << "every fragment still goes out";
    else if (p.mode != SendEvent_NOACK)
        EXPECT_EQ(got, rec.wire_head(p.convert)) << "only the header went out";
    else
        EXPECT_TRUE(got.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, SendLength,
    ::testing::Values(
        LengthCase{"zeroLength", true, SendEvent_NOACK, 0, {8}, ERR_BAD_VALUE, "Something wrong (event_length:0)\n"},
        LengthCase{"belowHeader", true, SendEvent_NOACK, 20, {}, ERR_BAD_VALUE, "Something wrong (event_length:20)\n"},
        LengthCase{"inconsistent",
                   true,
                   SendEvent_NOACK,
                   100,
                   {40, 30},
                   ERR_BAD_VALUE,
                   "Incosistent event length i:2 total:3 clen:-6 ev_len:100\n"},
        LengthCase{"inconsistentAfterHeader",
                   true,
                   SendEvent_ACK,
                   100,
                   {40, 30},
                   ERR_BAD_VALUE,
                   "Incosistent event length i:2 total:3 clen:-6 ev_len:100\n"},
        LengthCase{
            "zeroLengthAfterHeader", true, SendEvent_ACK, 0, {}, ERR_BAD_VALUE, "Something wrong (event_length:0)\n"},
        LengthCase{"fragmentsShort",
                   false,
                   SendEvent_NOACK,
                   48,
                   {4},
                   ERR_CHECK,
                   "CHECK_FAIL: sent_total: 40!=event_length:48\n"},
        LengthCase{"fragmentsLong",
                   false,
                   SendEvent_NOACK,
                   36,
                   {8},
                   ERR_CHECK,
                   "CHECK_FAIL: sent_total: 44!=event_length:36\n"},
        LengthCase{"fragmentsShortAfterHeader",
                   false,
                   SendEvent_ACK,
                   48,
                   {4},
                   ERR_CHECK,
                   "CHECK_FAIL: sent_total: 40!=event_length:48\n"}),
    [](const ::testing::TestParamInfo<LengthCase>& i) { return std::string(i.param.name); });

// Bytes of the record that no fragment fills go out as zeros, never as
// whatever the heap held.
TEST_F(SendTest, UnfilledPartOfConvertedRecordIsZero) {
    convert();
    Record rec("r", event36_head(KBR7_PATTERN_2010, 36 + 16), {words({0xa1a2a3a4, 0xb1b2b3b4})});
    {
        // Leave a dirty block of the record's size for the allocator to reuse.
        std::unique_ptr<char[]> dirty(new char[36 + 16]);
        std::memset(dirty.get(), 0xab, 36 + 16);
    }
    EXPECT_EQ(link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK), 0);
    EXPECT_EQ(peer.read_exact(36 + 16), tt::cat({rec.wire(true), Bytes(8, 0)}));
}

struct ConversionFailure {
    const char* name;
    RecordMaker make;
    std::string out;
};

Record make_image8_short() {
    return Record("short", Fields().w32(KBR7_PATTERN_2010).w32(8 + 40), {Fields().raw(Bytes(40, 1))});
}

class SendConversionFailure : public SendTest, public ::testing::WithParamInterface<ConversionFailure> {};

TEST_P(SendConversionFailure, NothingIsSent) {
    convert();
    Record rec = GetParam().make();
    int status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK); });
    EXPECT_EQ(status, ERR_SWAP);
    EXPECT_EQ(cap.out, GetParam().out);
    EXPECT_TRUE(peer.quiet_for(50));
}

const std::string kLayout = std::to_string(KBR7_CONV_ERR_LAYOUT);
const std::string kShort = std::to_string(KBR7_CONV_ERR_SHORT_LENGTH);

INSTANTIATE_TEST_SUITE_P(
    Failures, SendConversionFailure,
    ::testing::Values(
        // The 2024 pattern selects the 48-byte layout, which a 36-byte header
        // does not have; and the other way round.
        ConversionFailure{"p2024In36", make_event36_2024, "Failed to convert event header error: " + kLayout + "\n"},
        ConversionFailure{"legacyIn48", make_event48_legacy, "Failed to convert event header error: " + kLayout + "\n"},
        ConversionFailure{"imageTooShort", make_image8_short,
                          "Failed to convert event buffer error: " + kShort +
                              "  what: 1\nHere we are BAD swap err: " + kShort + "\n"}),
    [](const ::testing::TestParamInfo<ConversionFailure>& i) { return std::string(i.param.name); });

// --- gather transmission ------------------------------------------------------------

class SendMany : public SendTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(SendMany, EveryEntryArrivesInOrder) {
    const int body_entries = GetParam().first;
    const int mode = GetParam().second;
    Record rec = many_entries(body_entries);
    const Bytes expected = rec.wire(false);
    int status = -1;
    Bytes got;
    {
        auto f = send_async(rec, mode);
        if (mode == SendEvent_ACK)
            got = header_answer_body(rec.hdsz(), tt::host32(0), expected.size() - rec.hdsz());
        else
            got = peer.read_exact(expected.size());
        status = f.get();
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(peer.quiet_for(50));
}

// 2499 body entries + header = 2500 entries: steps of 1024, 1024 and 452;
// 1023 + header = exactly one full step and an empty second one.
INSTANTIATE_TEST_SUITE_P(Steps, SendMany,
                         ::testing::Values(std::make_pair(2499, SendEvent_NOACK), std::make_pair(1023, SendEvent_NOACK),
                                           std::make_pair(1024, SendEvent_NOACK), std::make_pair(2499, SendEvent_ACK)));

// A full send buffer and a slow reader cut writes short; the half-written
// entries are left advanced in the caller's list.  A reader that keeps
// moving is never dropped, also when the sender writes without waiting first
// and meets a full buffer again and again.
class SendShortWrites : public SendTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SendShortWrites, RepairCallerEntries) {
    if (!GetParam()) link.SetDelay();
    non_blocking();
    small_send_buffer();
    Record rec = large(4, 50000);
    const std::vector<iovec> before = rec.iov;
    const Bytes expected = rec.wire(false);
    auto reader = std::async(std::launch::async, [&] {
        Bytes got;
        while (got.size() < expected.size()) {
            Bytes part = peer.read_some(std::min<size_t>(1000, expected.size() - got.size()), 5000);
            if (part.empty()) break;
            append(got, part);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return got;
    });
    int status = -1;
    tt::capture([&] { status = link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(reader.get(), expected);

    int repaired = 0;
    for (size_t k = 0; k < rec.iov.size(); ++k) {
        const iovec& was = before[k];
        const iovec& now = rec.iov[k];
        char* was_end = static_cast<char*>(was.iov_base) + was.iov_len;
        char* now_end = static_cast<char*>(now.iov_base) + now.iov_len;
        EXPECT_EQ(now_end, was_end) << "entry " << k << " must still end where it ended";
        if (now.iov_base != was.iov_base) {
            ++repaired;
            EXPECT_LT(now.iov_len, was.iov_len);
        }
    }
    EXPECT_GT(repaired, 0) << "a 50000-byte entry cannot pass through a small buffer in one write";
}

INSTANTIATE_TEST_SUITE_P(Styles, SendShortWrites, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Waiting" : "Direct"; });

// A step that runs out of budget ends the send: the steps behind it are not
// written, so the stream holds no bytes from behind the hole.  The peer
// starts reading long after the first step gave up; a sender that went on
// with the next steps would have put their bytes into the stream by then.
TEST_F(SendTest, StalledStepEndsTheSend) {
    non_blocking();
    small_send_buffer();
    ASSERT_EQ(link.SetRetry(2), 0);
    Record rec = large(10 * 1024 - 1, 100);  // ten steps
    const std::vector<iovec> before = rec.iov;
    const size_t first_step_bytes = 36 + 1023 * 100;
    const Bytes expected = rec.wire(false);
    auto late_reader = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        return peer.read_some(expected.size(), 500);
    });
    int status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK); });
    EXPECT_EQ(status, ERR_RETRIES);
    EXPECT_EQ(cap.out, "SendEvent():  Retries are exeeded:0(2)\n");

    const Bytes got = late_reader.get();
    ASSERT_LT(got.size(), first_step_bytes);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin())) << "what arrived is the start of the record";
    for (size_t k = 1024; k < rec.iov.size(); ++k) {
        ASSERT_EQ(rec.iov[k].iov_base, before[k].iov_base) << k;
        ASSERT_EQ(rec.iov[k].iov_len, before[k].iov_len) << k;
    }
}

// --- stalled and vanished peers in the body -------------------------------------

struct BodyCase {
    bool convert;
    bool no_delay;
};

std::string body_case_name(const ::testing::TestParamInfo<BodyCase>& i) {
    return std::string(i.param.convert ? "converted" : "native") + (i.param.no_delay ? "_waiting" : "_direct");
}

class SendBody : public SendTest, public ::testing::WithParamInterface<BodyCase> {
protected:
    void SetUp() override {
        SendTest::SetUp();
        if (GetParam().convert) convert();
        if (!GetParam().no_delay) link.SetDelay();
    }
};

// A peer that goes away during the body breaks the pipe: the link is
// disconnected and the next send is refused.
TEST_P(SendBody, PeerClosingDuringBodyDisconnects) {
    small_send_buffer();
    Record rec = large(2, 500000);
    int status = -1;
    tt::Captured cap = tt::capture([&] {
        auto f = send_async(rec, SendEvent_ACK);
        EXPECT_EQ(peer.read_exact(rec.hdsz()).size(), rec.hdsz());
        peer.send(GetParam().convert ? tt::opposite32(0) : tt::host32(0));
        peer.read_exact(1000);
        peer.close();
        status = f.get();
    });
    EXPECT_EQ(status, ERR_SEND);
    EXPECT_EQ(link.IsLinkActive(), 0);
    EXPECT_EQ(TarvexTestAccess::sockin(link), -1);
    const char* report = GetParam().convert ? (GetParam().no_delay ? "SendEvent(): Writev(1) failed: "
                                                                   : "SendEvent(): Writev(2) failed: ")
                                            : (GetParam().no_delay ? "" : "SendEvent(): Writev(4) failed: ");
    if (*report != '\0') {
        EXPECT_EQ(cap.err, std::string(report) + std::strerror(EPIPE) + "\n");
    } else {
        EXPECT_EQ(cap.err, "");
    }
    if (!GetParam().convert && !GetParam().no_delay) {
        EXPECT_EQ(cap.out.rfind("PARAMS: fr_left: ", 0), 0u) << cap.out;
    }

    int again = -1;
    tt::Captured next = tt::capture([&] { again = link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK); });
    EXPECT_EQ(again, ERR_NOT_CONNECTED);
    EXPECT_EQ(next.err, "SendEvent(): Unable to send event.  Not Connected.\n");
}

// A peer that stops reading ends the send after the budget, whether the loop
// waits first or writes at once on a non-blocking socket.
TEST_P(SendBody, StalledPeerEndsWithRetries) {
    non_blocking();
    small_send_buffer();
    ASSERT_EQ(link.SetRetry(2), 0);
    Record rec = large(2, 100000);
    int status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK); });
    EXPECT_EQ(status, ERR_RETRIES);
    EXPECT_NE(cap.out.find("SendEvent():  Retries are exeeded:0(2)\n"), std::string::npos) << cap.out;
    if (!GetParam().no_delay) {
        const std::string report =
            GetParam().convert ? "SendEvent(): Writev(2) failed: " : "SendEvent(): Writev(4) failed: ";
        EXPECT_NE(cap.err.find(report + std::strerror(EAGAIN)), std::string::npos) << cap.err;
    } else {
        EXPECT_EQ(cap.err, "");
    }
    EXPECT_EQ(link.IsLinkActive(), 1);
}

// The connecting end's data socket blocks.  A waiting sender still never
// sits in a write while the peer reads nothing: the budget ends the send.
TEST_F(SendTest, StalledPeerOnBlockingSocketEndsWithRetries) {
    small_send_buffer();
    ASSERT_EQ(link.SetRetry(2), 0);
    for (bool convert_on : {false, true}) {
        SCOPED_TRACE(convert_on ? "converted" : "native");
        if (convert_on) convert();
        Record rec = large(2, 1000000);
        int status = -1;
        tt::Captured cap = tt::capture([&] { status = link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK); });
        EXPECT_EQ(status, ERR_RETRIES);
        EXPECT_NE(cap.out.find("SendEvent():  Retries are exeeded:0(2)\n"), std::string::npos) << cap.out;
        EXPECT_EQ(link.IsLinkActive(), 1);
        peer.read_some(4 << 20, 200);  // room again for the next case
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, SendBody,
                         ::testing::Values(BodyCase{false, true}, BodyCase{false, false}, BodyCase{true, true},
                                           BodyCase{true, false}),
                         body_case_name);

// --- conversion decided by the connection ------------------------------------------

class SendOverConnection : public ::testing::TestWithParam<bool> {
protected:
    bool local() const { return GetParam(); }
    tt::EnvGuard transport{"KBR7_TARVEX_SOCK_TYPE", GetParam() ? "UNIX" : nullptr};
    tt::Watchdog watchdog{60, "send over connection"};
};

TEST_P(SendOverConnection, AcceptingEndInBigEndianModeConverts) {
    const int port = tt::unique_port();
    Tarvex link(1);
    Record rec = event36();
    tt::capture([&] {
        ASSERT_EQ(link.SocketSetup(port), 0);
        auto connecting = std::async(std::launch::async, [&] {
            return local() ? tt::RawPeer::connect_unix(port) : tt::RawPeer::connect_tcp(port);
        });
        ASSERT_EQ(link.Connect(true), 0);
        tt::RawPeer peer = connecting.get();
        ASSERT_EQ(peer.read_exact(4), tt::host32(tarvex::preamble::kBigend));
        EXPECT_EQ(link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK), 0);
        EXPECT_EQ(peer.read_exact(rec.wire(true).size()), rec.wire(true));
        link.SocketRelease();
    });
}

TEST_P(SendOverConnection, ConnectingEndFollowsThePreamble) {
    struct Case {
        const char* name;
        Bytes preamble;
        bool converts;
    } cases[] = {{"native, same order", tt::host32(tarvex::preamble::kNative), false},
                 {"native, other order", tt::opposite32(tarvex::preamble::kNative), true},
                 {"big-endian mode, same order", tt::host32(tarvex::preamble::kBigend), true},
                 {"big-endian mode, other order", tt::opposite32(tarvex::preamble::kBigend), true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int port = tt::unique_port();
        tt::RawListener listener(port, local());
        Tarvex link(false);
        Record rec = slow12();
        tt::capture([&] {
            auto connecting = std::async(std::launch::async, [&] { return link.Connect("127.0.0.1", port); });
            tt::RawPeer peer = listener.accept();
            ASSERT_TRUE(peer.valid());
            peer.send(c.preamble);
            ASSERT_EQ(connecting.get(), 0);
            EXPECT_EQ(link.SendEvent(rec.vec(), rec.frsin(), SendEvent_NOACK), 0);
            EXPECT_EQ(peer.read_exact(rec.wire(c.converts).size()), rec.wire(c.converts));
            link.SocketRelease();
        });
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, SendOverConnection, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Local" : "Tcp"; });

// --- SendRequest -----------------------------------------------------------------------

TEST_F(SendTest, RequestOfNoBytesDoesNothing) {
    char block[1] = {7};
    int status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendRequest(block, 0); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(cap.out + cap.err, "");
    EXPECT_TRUE(peer.quiet_for(50));
}

TEST_F(SendTest, RequestGoesOutAsItStands) {
    convert();  // requests are never converted
    char block[] = {'r', 'e', 'q', 0, 1, 2, 3, 4};
    int status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendRequest(block, sizeof block); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(cap.out, "SendRequest() select() ret: 1\n");
    EXPECT_EQ(peer.read_exact(sizeof block), Bytes(block, block + sizeof block));
}

TEST_F(SendTest, RequestPrintsEveryWait) {
    const size_t filled = fill_send_buffer();
    char block[] = "late request";
    int status = -1;
    Bytes got;
    tt::Captured cap = tt::capture([&] {
        auto reader = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(350));
            return peer.read_exact(filled + sizeof block);
        });
        status = link.SendRequest(block, sizeof block);
        got = reader.get();
    });
    EXPECT_EQ(status, 0);
    std::vector<std::string> ls = lines(cap.out);
    ASSERT_GE(ls.size(), 3u) << cap.out;
    for (size_t i = 0; i + 1 < ls.size(); ++i) EXPECT_EQ(ls[i], "SendRequest() select() ret: 0");
    EXPECT_EQ(ls.back(), "SendRequest() select() ret: 1");
    ASSERT_EQ(got.size(), filled + sizeof block);
    EXPECT_TRUE(std::equal(block, block + sizeof block, got.end() - sizeof block));
}

// Before the first byte the budget is ten waits, whatever retrs says; the
// unsent block is reported, not passed off as sent.
TEST_F(SendTest, RequestNeverWritableEndsAfterTenWaits) {
    ASSERT_EQ(link.SetRetry(50), 0);
    fill_send_buffer();
    char block[] = "blocked";
    int status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendRequest(block, sizeof block); });
    EXPECT_EQ(status, ERR_RETRIES);
    EXPECT_EQ(lines(cap.out), std::vector<std::string>(10, "SendRequest() select() ret: 0"));
    EXPECT_EQ(cap.err, "");
}

// Once bytes have gone out, the budget is retrs.
TEST_F(SendTest, RequestStalledAfterFirstBytesUsesRetrs) {
    non_blocking();
    small_send_buffer();
    ASSERT_EQ(link.SetRetry(3), 0);
    std::vector<char> block(256 * 1024, 'x');
    int status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendRequest(block.data(), static_cast<int>(block.size())); });
    EXPECT_EQ(status, ERR_RETRIES);
    std::vector<std::string> ls = lines(cap.out);
    ASSERT_GE(ls.size(), 4u) << cap.out;
    EXPECT_EQ(ls.front(), "SendRequest() select() ret: 1");
    EXPECT_EQ(std::vector<std::string>(ls.end() - 3, ls.end()),
              std::vector<std::string>(3, "SendRequest() select() ret: 0"));
    EXPECT_EQ(std::count(ls.begin(), ls.end(), "SendRequest() select() ret: 0"), 3);
}

TEST_F(SendTest, RequestToVanishedPeerFailsWithoutDisconnecting) {
    peer.close();
    char block[] = "nobody";
    int status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendRequest(block, sizeof block); });
    EXPECT_EQ(status, ERR_SEND);
    EXPECT_EQ(cap.err, std::string("Failed to send request: ") + std::strerror(EPIPE) + "\n");
    EXPECT_EQ(link.IsLinkActive(), 1);
}

TEST_F(SendTest, RequestOfNegativeSizeIsRefused) {
    char block[] = "x";
    int status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendRequest(block, -1); });
    EXPECT_EQ(status, ERR_BAD_VALUE);
    EXPECT_EQ(lines(cap.err).size(), 1u);
    EXPECT_EQ(cap.out, "");
    EXPECT_TRUE(peer.quiet_for(50));
}

}  // namespace

// --- batches -----------------------------------------------------------------------

namespace {

// A batch of records of every kind the sender takes, `copies` rounds of them,
// with one record of 2500 entries that needs gather steps of its own (its
// byte-sized entries have no converted form here: native batches only).
std::vector<Record> batch_records(int copies, bool with_many_entries) {
    std::vector<Record> out;
    for (int i = 0; i < copies; ++i) {
        if (i == copies / 2 && with_many_entries) out.push_back(many_entries(2500));
        for (RecordMaker m : {make_event36, make_event48, make_slow12, make_image8, make_image100, make_event48_long})
            out.push_back(m());
    }
    return out;
}

std::vector<TarvexRecord> batch_of(std::vector<Record>& records) {
    std::vector<TarvexRecord> b;
    for (Record& r : records) b.push_back({r.vec(), r.frsin()});
    return b;
}

Bytes batch_wire(const std::vector<Record>& records, bool converted) {
    Bytes all;
    for (const Record& r : records) append(all, r.wire(converted));
    return all;
}

// The entries as the caller handed them over, to see that none was touched.
std::vector<std::pair<void*, size_t>> entries_of(const std::vector<Record>& records) {
    std::vector<std::pair<void*, size_t>> e;
    for (const Record& r : records)
        for (const iovec& v : r.iov) e.emplace_back(v.iov_base, v.iov_len);
    return e;
}

}  // namespace

class SendBatch : public SendTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SendBatch, EveryRecordArrivesAsSentOneByOneAndTheListsStayAsTheyWere) {
    if (GetParam()) convert();
    std::vector<Record> records = batch_records(400, !GetParam());
    std::vector<TarvexRecord> batch = batch_of(records);
    const auto before = entries_of(records);
    const Bytes expected = batch_wire(records, GetParam());
    int sent = -1, status = -1;
    Bytes got;
    tt::Captured cap = tt::capture([&] {
        auto f = std::async(std::launch::async,
                            [&] { return link.SendEventBatch(batch.data(), static_cast<int>(batch.size()), &sent); });
        got = peer.read_exact(expected.size());
        status = f.get();
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sent, static_cast<int>(batch.size()));
    const size_t differ = static_cast<size_t>(
        std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first - got.begin());
    EXPECT_EQ(differ, expected.size()) << "the bytes differ from the records sent one by one";
    EXPECT_TRUE(peer.quiet_for(50));
    EXPECT_EQ(entries_of(records), before);
    EXPECT_EQ(cap.out + cap.err, "");
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, SendBatch, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Converted" : "Native"; });

// A record that SendEvent would refuse, or would send broken, stops the
// batch before its first byte: the records in front of it are not sent
// either.
TEST_F(SendTest, BadRecordAnywhereInTheBatchSendsNothing) {
    struct Case {
        const char* what;
        bool convert;
        void (*spoil)(Record&);
        int status;
        const char* line;
    };
    const Case cases[] = {
        {"unknown header size", false, [](Record& r) { r.iov[0].iov_len = 56; }, ERR_PROTOCOL,
         "SendEvent() unknown event header format"},
        {"no header", false, [](Record& r) { r.iov[0].iov_base = nullptr; }, ERR_BAD_VALUE,
         "SendEvent(): Empty gather list or no header.  No action taken."},
        {"fragments short of the length", false, [](Record& r) { r.iov[1].iov_len -= 4; }, ERR_CHECK,
         "CHECK_FAIL: sent_total: 44!=event_length:48"},
        {"fragment beyond the length, converting", true, [](Record& r) { r.iov[1].iov_len += 4; }, ERR_BAD_VALUE,
         "Incosistent event length"},
        {"length below the header, converting", true,
         [](Record& r) {
             const uint32_t zero = 0;
             std::memcpy(r.mem[0].data() + 4, &zero, sizeof zero);
         },
         ERR_BAD_VALUE, "Something wrong (event_length:0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TarvexTestAccess::must_swap(link) = c.convert ? 1 : 0;
        std::vector<Record> records;
        for (int i = 0; i < 5; ++i) records.push_back(event36());
        c.spoil(records[3]);
        std::vector<TarvexRecord> batch = batch_of(records);
        int sent = -1, status = -1;
        tt::Captured cap = tt::capture([&] { status = link.SendEventBatch(batch.data(), 5, &sent); });
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(sent, 0);
        EXPECT_NE((cap.out + cap.err).find(c.line), std::string::npos) << cap.out << cap.err;
        EXPECT_TRUE(peer.quiet_for(50)) << "nothing of the batch may be on the wire";
    }
}

TEST_F(SendTest, BatchArgumentsAndState) {
    Record r = event36();
    TarvexRecord one{r.vec(), r.frsin()};
    int sent = -1;
    EXPECT_EQ(link.SendEventBatch(&one, 0, &sent), 0);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(link.SendEventBatch(nullptr, 0, nullptr), 0);
    tt::Captured cap = tt::capture([&] {
        EXPECT_EQ(link.SendEventBatch(&one, -1, &sent), ERR_BAD_VALUE);
        EXPECT_EQ(link.SendEventBatch(nullptr, 1, &sent), ERR_BAD_VALUE);
    });
    EXPECT_NE(cap.err.find("SendEventBatch(): No records.  No action taken."), std::string::npos);
    EXPECT_TRUE(peer.quiet_for(20));
    EXPECT_EQ(link.SendEventBatch(&one, 1, nullptr), 0);
    EXPECT_EQ(peer.read_exact(r.wire(false).size()), r.wire(false));

    Tarvex unconnected(false);
    cap = tt::capture([&] { EXPECT_EQ(unconnected.SendEventBatch(&one, 1, &sent), ERR_NOT_CONNECTED); });
    EXPECT_EQ(cap.err, "SendEvent(): Unable to send event.  Not Connected.\n");
}

// A peer that stops reading: the budget ends the batch, `sent` counts the
// records that are whole on the wire, and a receiver on the other end gets
// exactly those, then finds the broken one when the sender gives up.
TEST_P(SendBatch, StalledPeerEndsTheBatchWithTheWholeRecordsCounted) {
    if (GetParam()) convert();
    small_send_buffer();
    ASSERT_EQ(link.SetRetry(2), 0);
    std::vector<Record> records;
    for (int i = 0; i < 100; ++i) records.push_back(large(4, 1000 + static_cast<size_t>(i)));
    std::vector<TarvexRecord> batch = batch_of(records);
    int sent = -1, status = -1;
    tt::Captured cap = tt::capture([&] { status = link.SendEventBatch(batch.data(), 100, &sent); });
    EXPECT_EQ(status, ERR_RETRIES);
    EXPECT_NE(cap.out.find("SendEvent():  Retries are exeeded:0(2)"), std::string::npos) << cap.out;
    ASSERT_GT(sent, 0);
    ASSERT_LT(sent, 100);

    // The other end, as a link: the whole records arrive, then the rest of
    // the stream holds a record cut short.
    Tarvex receiver(false);
    TarvexTestAccess::attach(receiver, peer.fd());
    TarvexTestAccess::must_swap(receiver) = GetParam() ? 1 : 0;
    for (int i = 0; i < sent; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(receiver.ReceiveEvent(nullptr, 1, 5, 0), 0);
        const char* b = TarvexTestAccess::buffer(receiver);
        EXPECT_EQ(Bytes(b, b + TarvexTestAccess::size(receiver)), records[static_cast<size_t>(i)].wire(false));
    }
    ::close(link_fd);
    TarvexTestAccess::detach(link);
    cap = tt::capture([&] { status = receiver.ReceiveEvent(nullptr, 1, 5, 0); });
    EXPECT_EQ(status, ERR_READ);
    TarvexTestAccess::detach(receiver);
}

// Through a real link whose ends both convert (or neither does), received
// by the link's own receivers.  The batch is sent whole before anything is
// received: the data-format generation is one setting of the process, and
// both ends set it for their records.
TEST_P(SendOverConnection, BatchArrivesThroughTheLink) {
    for (bool converting : {false, true}) {
        SCOPED_TRACE(converting ? "both ends convert" : "neither end converts");
        tt::LinkPair link(local(), converting ? Tarvex::BIGEND_MODE : Tarvex::NATIVE_MODE);
        ASSERT_TRUE(link.ok());
        std::vector<Record> records;
        for (int i = 0; i < 20; ++i)
            for (RecordMaker m : {make_event36, make_event48, make_slow12, make_event36_legacy}) records.push_back(m());
        records.push_back(image8());
        std::vector<TarvexRecord> batch = batch_of(records);
        int sent = -1;
        ASSERT_EQ(link.connecting.SendEventBatch(batch.data(), static_cast<int>(batch.size()), &sent), 0);
        EXPECT_EQ(sent, static_cast<int>(batch.size()));
        for (size_t i = 0; i + 1 < records.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(link.accepting.ReceiveEvent(nullptr, 1, 5, 0), 0);
            const char* b = TarvexTestAccess::buffer(link.accepting);
            EXPECT_EQ(Bytes(b, b + TarvexTestAccess::size(link.accepting)), records[i].wire(false));
        }
        kbr7_image_ext_intro intro{};
        char* pixels = nullptr;
        ASSERT_EQ(link.accepting.ReceiveImage(&intro, &pixels, 64), 0);
        EXPECT_EQ(intro.intro.length, records.back().wire(false).size());
        EXPECT_EQ(Bytes(pixels, pixels + 6), (Bytes{1, 2, 3, 4, 5, 6}));
        delete[] pixels;
    }
}
