// The bounded readiness wait on the data socket: its budget, its time-outs,
// its failures, over a local socket pair and over TCP.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "Capture.h"
#include "Clock.h"
#include "Guards.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Tarvex.h"
#include "TestAccess.h"

using A = TarvexTestAccess;

namespace {

constexpr bool kRead = Tarvex::RECEIVER_READ;
constexpr bool kWrite = Tarvex::RECEIVER_WRITE;
constexpr int kTick = 100;  // ms: the time-out of every timed attempt below
// Slack for a loaded machine on top of the waits themselves.
constexpr long long kSlackMs = 450;

const char* op_name(bool op) { return op ? "write" : "read"; }

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool poll_now(int fd, short events) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, 0) == 1;
}

void set_nonblocking(int fd, bool on) {
    int fl = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, on ? fl | O_NONBLOCK : fl & ~O_NONBLOCK);
}

// Writes until the socket takes no more and stays that way, so that it is
// not writable until the other side reads.
void fill_until_not_writable(int fd) {
    static char chunk[65536];
    set_nonblocking(fd, true);
    do {
        while (::write(fd, chunk, sizeof chunk) > 0) {
        }
        pause_ms(30);
    } while (poll_now(fd, POLLOUT));
    set_nonblocking(fd, false);
}

// Reads everything there is without waiting.
void drain(int fd) {
    static char chunk[65536];
    set_nonblocking(fd, true);
    while (::read(fd, chunk, sizeof chunk) > 0) {
    }
    set_nonblocking(fd, false);
}

// A descriptor number that is not open.
int closed_descriptor(int from) {
    while (::fcntl(from, F_GETFD) != -1) ++from;
    return from;
}

void ignore_signal(int) {}

// Keeps interrupting `target` with SIGUSR1 (whose handler does nothing and
// does not restart calls) until destroyed.
class Interrupter {
public:
    explicit Interrupter(pthread_t target) {
        struct sigaction sa {};
        sa.sa_handler = ignore_signal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGUSR1, &sa, &old_);
        thread_ = std::thread([this, target] {
            while (!done_) {
                pause_ms(20);
                ::pthread_kill(target, SIGUSR1);
            }
        });
    }
    ~Interrupter() {
        done_ = true;
        thread_.join();
        ::sigaction(SIGUSR1, &old_, nullptr);
    }

private:
    struct sigaction old_ {};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

enum class Mode { SocketPair, Tcp };

std::string mode_name(const testing::TestParamInfo<Mode>& i) { return i.param == Mode::Tcp ? "Tcp" : "SocketPair"; }

// A link whose data socket is one end of a connection; `peer_` is the other.
class Wait : public testing::TestWithParam<Mode> {
protected:
    void SetUp() override {
        if (GetParam() == Mode::SocketPair) {
            auto [a, b] = tt::stream_pair();
            mine_ = a;
            peer_ = tt::RawPeer(b);
        } else {
            tt::RawListener listener(tt::unique_port(), false);
            peer_ = tt::RawPeer::connect_tcp(listener.port());
            mine_ = listener.accept().release();
            // Fixed buffers: a receive buffer that grows as the peer reads
            // would make a filled socket writable again by itself.
            peer_.set_rcvbuf(16384);
            int sndbuf = 16384;
            ::setsockopt(mine_, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        }
        ASSERT_GE(mine_, 0);
        ASSERT_TRUE(peer_.valid());
        A::attach(link_, mine_);
    }
    void TearDown() override {
        A::detach(link_);
        ::close(mine_);
    }

    // Nothing to read; for writing, a send buffer that is full.
    void make_idle(bool op) {
        if (op == kWrite) fill_until_not_writable(mine_);
    }
    // The socket becomes ready for `op`.
    void make_ready(bool op) {
        if (op == kWrite)
            drain(peer_.fd());
        else
            peer_.send(tt::Bytes{1});
    }

    struct Timed {
        int status;
        long long ms;
    };
    Timed timed_wait(bool op, int trs, int sec, int usec) {
        const long long start = tt::now_ms();
        int status = link_.IfReady(op, trs, sec, usec);
        return {status, tt::now_ms() - start};
    }

    tt::Watchdog dog_{60, "wait test"};
    Tarvex link_{false};
    int mine_ = -1;
    tt::RawPeer peer_;
};

INSTANTIATE_TEST_SUITE_P(BothTransports, Wait, testing::Values(Mode::SocketPair, Mode::Tcp), mode_name);

TEST_P(Wait, NoBudgetMeansNoAttempt) {
    // Ready or not, an empty budget waits for nothing, not even without limit.
    peer_.send(tt::Bytes{1});
    struct Case {
        bool op;
        int trs;
        int retrs;
        int status;
    };
    const Case cases[] = {
        {kRead, 0, 10, ERR_NOT_READABLE},
        {kWrite, 0, 10, ERR_NOT_WRITABLE},
        {kRead, -1, 0, ERR_NOT_READABLE},  // a negative budget stands for retrs
        {kWrite, -3, -2, ERR_NOT_WRITABLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << op_name(c.op) << " trs " << c.trs << " retrs " << c.retrs);
        A::retrs(link_) = c.retrs;
        Timed t = timed_wait(c.op, c.trs, -1, -1);
        EXPECT_EQ(t.status, c.status);
        EXPECT_LT(t.ms, kSlackMs);
    }
}

// Every attempt costs one unit and a time-out one more, so a run of
// time-outs ends after half the budget's worth of timed waits.
TEST_P(Wait, TimeOutsCostTwoUnitsEach) {
    struct Case {
        int trs;
        int waits;
    };
    const Case cases[] = {{1, 1}, {2, 1}, {3, 2}, {4, 2}, {-1, 5}};
    for (bool op : {kRead, kWrite}) {
        make_idle(op);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << op_name(op) << " trs " << c.trs);
            Timed t = timed_wait(op, c.trs, 0, kTick * 1000);
            EXPECT_EQ(t.status, ERR_TIMEOUT);
            EXPECT_GE(t.ms, c.waits * kTick - 5);
            EXPECT_LT(t.ms, c.waits * kTick + kSlackMs);
        }
    }
}

TEST_P(Wait, ZeroTimeOutPolls) {
    Timed t = timed_wait(kRead, -1, 0, 0);
    EXPECT_EQ(t.status, ERR_TIMEOUT);
    EXPECT_LT(t.ms, kSlackMs);

    peer_.send(tt::Bytes{1});
    EXPECT_EQ(link_.IfReady(kRead, -1, 0, 0), 0);
}

TEST_P(Wait, ReadyAtOnceWhenReady) {
    // A fresh socket has room to write; one byte sent makes it readable.
    EXPECT_EQ(link_.IfReady(kWrite, 1, 0, 0), 0);
    EXPECT_EQ(link_.IfReady(kWrite, -1, -1, -1), 0);
    peer_.send(tt::Bytes{1});
    for (int usec : {0, 100000, -1}) {
        SCOPED_TRACE(usec);
        Timed t = timed_wait(kRead, 1, 0, usec);
        EXPECT_EQ(t.status, 0);
        EXPECT_LT(t.ms, kSlackMs);
    }
}

TEST_P(Wait, UntimedWaitLastsUntilReady) {
    struct Case {
        bool op;
        int sec;
        int usec;
    };
    const Case cases[] = {{kRead, -1, 0}, {kRead, 0, -1}, {kRead, -1, -1}, {kWrite, -1, 0}, {kWrite, 3, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << op_name(c.op) << " sec " << c.sec << " usec " << c.usec);
        make_idle(c.op);
        // The clock starts before the other side's pause does.
        const long long start = tt::now_ms();
        std::thread later([&] {
            pause_ms(2 * kTick);
            make_ready(c.op);
        });
        const int status = link_.IfReady(c.op, 1, c.sec, c.usec);
        const long long ms = tt::now_ms() - start;
        later.join();
        EXPECT_EQ(status, 0);
        EXPECT_GE(ms, 2 * kTick - 2);
        drain(mine_);
    }
}

TEST_P(Wait, ClosedPeerMakesTheSocketReadable) {
    peer_.close();
    Timed t = timed_wait(kRead, 1, 5, 0);
    EXPECT_EQ(t.status, 0);
    EXPECT_LT(t.ms, kSlackMs);
    char c;
    EXPECT_EQ(::read(mine_, &c, 1), 0);
}

TEST_P(Wait, WholeSecondsInMicrosecondsCarryOver) {
    // 5 000 000 us is a valid five-second limit, not a malformed one.
    peer_.send(tt::Bytes{1});
    EXPECT_EQ(link_.IfReady(kRead, 1, 0, 5000000), 0);
    EXPECT_EQ(link_.IfReady(kWrite, 1, 1, 2500000), 0);
}

TEST_P(Wait, MalformedTimeOutIsAFailedWait) {
    peer_.send(tt::Bytes{1});  // even a ready socket: the limit itself is refused
    struct Case {
        int sec;
        int usec;
    };
    for (const Case& c : {Case{-2, 0}, Case{0, -2}, Case{-5, 100}}) {
        SCOPED_TRACE(testing::Message() << "sec " << c.sec << " usec " << c.usec);
        EXPECT_EQ(link_.IfReady(kRead, 3, c.sec, c.usec), ERR_READ);
        EXPECT_EQ(link_.IfReady(kWrite, 3, c.sec, c.usec), ERR_SEND);
    }
}

TEST_P(Wait, SignalEndsTheWait) {
    for (bool op : {kRead, kWrite}) {
        SCOPED_TRACE(op_name(op));
        make_idle(op);
        int status = -1;
        {
            Interrupter interrupt(::pthread_self());
            status = link_.IfReady(op, 10, -1, -1);
        }
        EXPECT_EQ(status, op == kWrite ? ERR_SEND : ERR_READ);
    }
}

TEST(WaitWithoutSocket, UntimedWaitFailsAtOnce) {
    tt::Watchdog dog(30, "wait without socket");
    Tarvex link(false);
    ASSERT_EQ(A::sockin(link), -1);
    tt::Captured io = tt::capture([&] {
        EXPECT_EQ(link.IfReady(kRead, -1, -1, -1), ERR_READ);
        EXPECT_EQ(link.IfReady(kWrite, 3, 0, -1), ERR_SEND);
        EXPECT_EQ(link.IfReady(kRead, 0, -1, -1), ERR_NOT_READABLE);
    });
    EXPECT_EQ(io.out, "");
    EXPECT_EQ(io.err, "");
}

TEST(WaitWithoutSocket, TimedWaitRunsOutLikeAnIdleSocket) {
    tt::Watchdog dog(30, "wait without socket");
    Tarvex link(false);
    const long long start = tt::now_ms();
    EXPECT_EQ(link.IfReady(kRead, 3, 0, 50000), ERR_TIMEOUT);
    EXPECT_GE(tt::now_ms() - start, 2 * 50 - 5);
    EXPECT_EQ(link.IfReady(kWrite, 1, 0, 0), ERR_TIMEOUT);
}

TEST(WaitOnDescriptor, DescriptorThatIsNotOpenFailsTheWait) {
    tt::Watchdog dog(30, "wait on closed descriptor");
    Tarvex link(false);
    A::set_sockin(link, closed_descriptor(5000));
    EXPECT_EQ(link.IfReady(kRead, 3, 0, 10000), ERR_READ);
    EXPECT_EQ(link.IfReady(kWrite, 3, -1, -1), ERR_SEND);
}

// Descriptor numbers beyond the classic 1024 limit of descriptor sets are
// waited on like any other.
TEST(WaitOnDescriptor, HighNumberedDataSocketWorks) {
    tt::Watchdog dog(30, "wait on high descriptor");
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    if (old.rlim_max != RLIM_INFINITY && old.rlim_max <= 1600) GTEST_SKIP() << "descriptor limit too low";
    rlimit raised = old;
    if (raised.rlim_cur != RLIM_INFINITY && raised.rlim_cur <= 1600) raised.rlim_cur = 1601;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);

    auto [a, b] = tt::stream_pair();
    const int high = closed_descriptor(1500);
    ASSERT_EQ(::dup2(a, high), high);
    ::close(a);
    tt::RawPeer peer(b);
    Tarvex link(false);
    A::attach(link, high);

    EXPECT_EQ(link.IfReady(kRead, 1, 0, 20000), ERR_TIMEOUT);
    EXPECT_EQ(link.IfReady(kWrite, 1, 0, 20000), 0);
    peer.send(tt::Bytes{1});
    EXPECT_EQ(link.IfReady(kRead, -1, -1, -1), 0);

    A::detach(link);
    ::close(high);
    ::setrlimit(RLIMIT_NOFILE, &old);
}

}  // namespace
