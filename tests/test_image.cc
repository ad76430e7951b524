// Receiving images and spectra into caller buffers: the unbounded scan, the
// intro and body reads, the size bound, allocation for the caller, counting,
// every message of the two twins, and images sent by a real sender.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "Capture.h"
#include "Guards.h"
#include "LinkPair.h"
#include "RawPeer.h"
#include "Tarvex.h"
#include "TestAccess.h"
#include "Wire.h"
#include "event_util.h"

using A = TarvexTestAccess;
using tt::Bytes;

namespace {

// The image and spectrum receivers, seen through one interface.
struct Twin {
    const char* name;
    size_t intro;
    int (*header)(Tarvex&, void* intro);
    int (*data)(Tarvex&, void* intro, char** buf, int sz);
    int (*whole)(Tarvex&, void* intro, char** buf, int sz);
    const char* scan_empty;
    const char* header_empty;
    const char* body_empty;
};

const Twin kImage{
    "Image",
    sizeof(kbr7_image_ext_intro),
    [](Tarvex& t, void* i) { return t.ReceiveImageHeader(static_cast<kbr7_image_ext_intro*>(i)); },
    [](Tarvex& t, void* i, char** b, int sz) {
        return t.ReceiveImageData(static_cast<kbr7_image_ext_intro*>(i), b, sz);
    },
    [](Tarvex& t, void* i, char** b, int sz) { return t.ReceiveImage(static_cast<kbr7_image_ext_intro*>(i), b, sz); },
    "ReceiveImage(): read pattern too many empty messages, consider TCP connection broken",
    "ReceiveImage(): read heaser too many empty messages, consider TCP connection broken",
    "ReceiveImage(): read image too many empty messages, consider TCP connection broken",
};

const Twin kSpect{
    "Spect",
    sizeof(kbr7_spect_intro),
    [](Tarvex& t, void* i) { return t.ReceiveSpectHeader(static_cast<kbr7_spect_intro*>(i)); },
    [](Tarvex& t, void* i, char** b, int sz) { return t.ReceiveSpectData(static_cast<kbr7_spect_intro*>(i), b, sz); },
    [](Tarvex& t, void* i, char** b, int sz) { return t.ReceiveSpect(static_cast<kbr7_spect_intro*>(i), b, sz); },
    "SpectImage(): read pattern too many empty messages, consider TCP connection broken",
    "SpectSpect(): read heaser too many empty messages, consider TCP connection broken",
    "ReceiveSpectData(): read image too many empty messages, consider TCP connection broken",
};

// Bytes below 0x80: no record pattern can form inside them.
using tt::filler;

// An intro in host order: pattern, length, then header words.
Bytes intro_bytes(const Twin& tw, uint32_t pattern, uint32_t length, unsigned seed = 1) {
    return tt::cat({tt::host32(pattern), tt::host32(length), filler(tw.intro - 8, seed)});
}

// What the caller's intro record holds after a header call: the intro
// without its pattern.
Bytes without_pattern(Bytes intro) {
    std::fill(intro.begin(), intro.begin() + 4, 0);
    return intro;
}

// The intro as a peer of the other byte order writes it: every word reversed.
Bytes reversed_words(Bytes b) {
    for (size_t at = 0; at + 4 <= b.size(); at += 4)
        std::reverse(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + 4));
    return b;
}

struct Attached {
    Tarvex t{false};
    int mine = -1;
    tt::RawPeer peer;
    alignas(8) unsigned char intro[sizeof(kbr7_image_ext_intro)];

    Attached() {
        auto p = tt::stream_pair();
        mine = p.first;
        peer = tt::RawPeer(p.second);
        A::attach(t, mine);
        std::memset(intro, 0xab, sizeof intro);
    }
    ~Attached() {
        A::detach(t);
        ::close(mine);
    }
    Bytes intro_of(const Twin& tw) const { return Bytes(intro, intro + tw.intro); }
};

class IntroReceiver : public testing::TestWithParam<const Twin*> {
protected:
    const Twin& tw = *GetParam();
};

}  // namespace

TEST_P(IntroReceiver, RecordIsFoundBehindAnyBytesButNotBehindSlowDataPatterns) {
    tt::Watchdog dog(30);
    const uint32_t patterns[] = {KBR7_PATTERN_2010, KBR7_PATTERN_LEGACY, KBR7_PATTERN_2024};
    for (uint32_t pattern : patterns) {
        SCOPED_TRACE(testing::Message() << std::hex << pattern);
        Attached a;
        const Bytes intro = intro_bytes(tw, pattern, static_cast<uint32_t>(tw.intro + 40));
        const Bytes body = filler(40, 9);
        ASSERT_TRUE(a.peer.send(tt::cat(
            {tt::host32(KBR7_PATTERN_SLOW), tt::host32(KBR7_PATTERN_SLOW_2024), filler(3000, 2), intro, body})));
        std::vector<char> buf(40);
        char* p = buf.data();
        EXPECT_EQ(tw.whole(a.t, a.intro, &p, 40), 0);
        EXPECT_EQ(a.intro_of(tw), without_pattern(intro));
        EXPECT_EQ(Bytes(buf.begin(), buf.end()), body);
        EXPECT_EQ(p, buf.data());
        EXPECT_EQ(A::eventn(a.t), 1);
    }
}

TEST_P(IntroReceiver, IntroOfTheOtherByteOrderComesOutInHostOrderAndTheBodyAsItCame) {
    tt::Watchdog dog(30);
    Attached a;
    A::must_swap(a.t) = 1;
    const Bytes intro = intro_bytes(tw, KBR7_PATTERN_2024, static_cast<uint32_t>(tw.intro + 16));
    const Bytes body = filler(16, 4);
    ASSERT_TRUE(a.peer.send(tt::cat({Bytes{1, 2, 3}, reversed_words(intro), body})));
    char* p = nullptr;
    ASSERT_EQ(tw.whole(a.t, a.intro, &p, 16), 0);
    EXPECT_EQ(a.intro_of(tw), without_pattern(intro));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p, p + 16), body);
    delete[] p;
}

TEST_P(IntroReceiver, BodyIsBoundBySzAndAllocatedWhenNoBufferIsGiven) {
    tt::Watchdog dog(30);
    struct Case {
        size_t body;
        int sz;
        bool give_buffer;
        int status;
    };
    const Case cases[] = {
        {0, 0, false, 0},    // an empty body still gets a (zero-length) array
        {24, 24, false, 0},  // exactly sz
        {24, 24, true, 0},
        {25, 24, false, ERR_NO_SPACE},  // one byte more: nothing allocated or read
        {25, 24, true, ERR_NO_SPACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "body " << c.body << ", sz " << c.sz << (c.give_buffer ? ", buffer" : ""));
        Attached a;
        const Bytes body = filler(c.body, 3);
        const Bytes next = intro_bytes(tw, KBR7_PATTERN_2010, static_cast<uint32_t>(tw.intro), 5);
        ASSERT_TRUE(a.peer.send(
            tt::cat({intro_bytes(tw, KBR7_PATTERN_LEGACY, static_cast<uint32_t>(tw.intro + c.body)), body, next})));
        std::vector<char> mine(64, 'x');
        char* p = c.give_buffer ? mine.data() : nullptr;
        ASSERT_EQ(tw.header(a.t, a.intro), 0);
        EXPECT_EQ(tw.data(a.t, a.intro, &p, c.sz), c.status);
        EXPECT_EQ(A::eventn(a.t), c.status == 0 ? 1 : 0);
        if (c.status == 0) {
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(Bytes(p, p + c.body), body);
        } else {
            EXPECT_EQ(p, c.give_buffer ? mine.data() : nullptr);
            EXPECT_EQ(mine, std::vector<char>(64, 'x'));
        }
        if (!c.give_buffer) delete[] p;
        // The next header call finds the next record, behind any unread body.
        EXPECT_EQ(tw.header(a.t, a.intro), 0);
        EXPECT_EQ(a.intro_of(tw), without_pattern(next));
    }
}

TEST_P(IntroReceiver, LengthsBelowTheIntroAreRefusedWithoutReadingOrAllocating) {
    tt::Watchdog dog(30);
    struct Case {
        uint32_t length;
        int status;
    };
    const Case cases[] = {{0, ERR_BAD_VALUE},
                          {static_cast<uint32_t>(tw.intro - 1), ERR_BAD_VALUE},
                          {0xffffffffu, ERR_NO_SPACE}};  // beyond any sz, not a negative body
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Attached a;
        const Bytes next = intro_bytes(tw, KBR7_PATTERN_2010, static_cast<uint32_t>(tw.intro + 4), 5);
        ASSERT_TRUE(a.peer.send(tt::cat({intro_bytes(tw, KBR7_PATTERN_2024, c.length), next, filler(4, 6)})));
        char* p = nullptr;
        EXPECT_EQ(tw.whole(a.t, a.intro, &p, 1 << 20), c.status);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(A::eventn(a.t), 0);
        EXPECT_EQ(tw.header(a.t, a.intro), 0);
        EXPECT_EQ(a.intro_of(tw), without_pattern(next));
    }
}

TEST_P(IntroReceiver, CountingFollowsOwncntrAndIncludesBodiesThatFailLater) {
    tt::Watchdog dog(30);
    for (bool owncntr : {true, false}) {
        SCOPED_TRACE(owncntr);
        Attached a;
        a.t.set_own_cnt(owncntr);
        ASSERT_TRUE(a.peer.send(
            tt::cat({intro_bytes(tw, KBR7_PATTERN_2010, static_cast<uint32_t>(tw.intro + 8)), filler(8, 1),
                     intro_bytes(tw, KBR7_PATTERN_2010, static_cast<uint32_t>(tw.intro + 8)), filler(3, 1)})));
        char buf[8];
        char* p = buf;
        EXPECT_EQ(tw.whole(a.t, a.intro, &p, 8), 0);
        a.peer.close();
        tt::capture([&] { EXPECT_EQ(tw.whole(a.t, a.intro, &p, 8), ERR_READ); });
        EXPECT_EQ(A::eventn(a.t), owncntr ? 2 : 0);
        EXPECT_EQ(a.t.get_event_number(), owncntr ? 2 : -1);
    }
}

TEST_P(IntroReceiver, PeerClosingEndsEachPhaseWithItsMessage) {
    tt::Watchdog dog(30);
    const Bytes intro = intro_bytes(tw, KBR7_PATTERN_2024, static_cast<uint32_t>(tw.intro + 100));
    struct Case {
        const char* what;
        Bytes sent;
        const char* message;
    };
    const Case cases[] = {
        {"before the pattern", filler(10, 1), tw.scan_empty},
        {"inside the intro", Bytes(intro.begin(), intro.begin() + static_cast<long>(tw.intro - 5)), tw.header_empty},
        {"inside the body", tt::cat({intro, filler(50, 1)}), tw.body_empty},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Attached a;
        ASSERT_TRUE(a.peer.send(c.sent));
        a.peer.close();
        std::vector<char> buf(100);
        char* p = buf.data();
        tt::Captured out = tt::capture([&] { EXPECT_EQ(tw.whole(a.t, a.intro, &p, 100), ERR_READ); });
        EXPECT_EQ(out.err.rfind(std::string(c.message) + ": ", 0), 0u) << out.err;
    }
}

TEST_P(IntroReceiver, RefusalsLeaveTheCallersRecordAndBuffer) {
    tt::Watchdog dog(30);
    {
        Tarvex t(false);
        alignas(8) unsigned char intro[sizeof(kbr7_image_ext_intro)];
        std::memset(intro, 0xab, sizeof intro);
        char* p = nullptr;
        tt::Captured c = tt::capture([&] { EXPECT_EQ(tw.whole(t, intro, &p, 10), ERR_NOT_CONNECTED); });
        EXPECT_EQ(c.err, "ReceiveImage():: Not connected.  No action taken.\n");
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(Bytes(intro, intro + sizeof intro), Bytes(sizeof intro, 0xab));
    }
    {
        Attached a;
        char* p = nullptr;
        EXPECT_EQ(tw.header(a.t, nullptr), ERR_BAD_VALUE);
        EXPECT_EQ(tw.data(a.t, nullptr, &p, 10), ERR_BAD_VALUE);
        EXPECT_EQ(tw.data(a.t, a.intro, nullptr, 10), ERR_BAD_VALUE);
        // Without a data socket every call fails at once instead of waiting.
        A::set_sockin(a.t, -1);
        const Bytes intro = intro_bytes(tw, KBR7_PATTERN_2010, static_cast<uint32_t>(tw.intro + 4));
        std::memcpy(a.intro, intro.data(), intro.size());
        EXPECT_EQ(tw.header(a.t, a.intro), ERR_READ);
        EXPECT_EQ(tw.data(a.t, a.intro, &p, 10), ERR_READ);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(A::eventn(a.t), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Twins, IntroReceiver, testing::Values(&kImage, &kSpect),
                         [](const testing::TestParamInfo<const Twin*>& i) { return i.param->name; });

// ---------------------------------------------------------------------------
// Images sent by a real sender: the 8-byte intro, the frame header and the
// pixels behind it.

struct EndToEnd {
    bool local;
    bool convert;  // the accepting end asks both ends to convert
};

class SendEventToReceiveImage : public testing::TestWithParam<EndToEnd> {};

TEST_P(SendEventToReceiveImage, ImagesArriveAsTheyWereSent) {
    tt::Watchdog dog(60);
    const EndToEnd e = GetParam();
    tt::LinkPair link(e.local, e.convert ? Tarvex::BIGEND_MODE : Tarvex::NATIVE_MODE);
    ASSERT_TRUE(link.ok());
    link.connecting.SetRetry(100);  // room for a slow, loaded machine
    unsigned seed = 0;
    for (uint32_t pattern : {KBR7_PATTERN_2010, KBR7_PATTERN_LEGACY, KBR7_PATTERN_2024}) {
        SCOPED_TRACE(testing::Message() << std::hex << pattern);
        const size_t pixels = 3000 + 4 * ++seed;
        kbr7_image_head head{pattern, static_cast<uint32_t>(108 + pixels)};
        Bytes frame = intro_bytes(kImage, pattern, static_cast<uint32_t>(108 + pixels), seed);
        frame.erase(frame.begin(), frame.begin() + 8);  // the 100-byte frame header alone
        Bytes data = filler(pixels, seed);
        iovec v[3] = {{&head, sizeof head}, {frame.data(), frame.size()}, {data.data(), data.size()}};
        ASSERT_EQ(link.connecting.SendEvent(v, 3, SendEvent_NOACK), 0);

        kbr7_image_ext_intro got;
        char* p = nullptr;
        ASSERT_EQ(link.accepting.ReceiveImage(&got, &p, 1 << 20), 0);
        EXPECT_EQ(got.intro.pattern, 0u);
        EXPECT_EQ(got.intro.length, head.length);
        EXPECT_EQ(tt::bytes_of(got.head), frame);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(Bytes(p, p + pixels), data);
        delete[] p;
    }
}

INSTANTIATE_TEST_SUITE_P(TransportsAndByteOrder, SendEventToReceiveImage,
                         testing::Values(EndToEnd{false, false}, EndToEnd{false, true}, EndToEnd{true, false},
                                         EndToEnd{true, true}),
                         [](const testing::TestParamInfo<EndToEnd>& i) {
                             return std::string(i.param.local ? "Local" : "Tcp") +
                                    (i.param.convert ? "Converting" : "Native");
                         });
