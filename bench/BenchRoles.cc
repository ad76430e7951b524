#include "BenchRoles.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "Ports.h"
#include "Records.h"
#include "System.h"
#include "Tarvex.h"

#ifdef TARVEX_BENCH_ZEROMQ
#include <zmq.h>
#endif

namespace bench {

namespace {

const char* const kTool = "tarvex-bench";
constexpr int kResultFd = 3;
constexpr double kTransferLimit = 120;  // seconds one transfer may take

void emit(const std::string& line) { tvt::write_all(kResultFd, line + "\n"); }

// Read- and write-like system calls of this process so far (/proc/self/io).
struct IoCalls {
    double reads = 0, writes = 0;
};

IoCalls io_calls() {
    IoCalls c;
    if (std::FILE* f = std::fopen("/proc/self/io", "r")) {
        char key[64];
        double v;
        while (std::fscanf(f, "%63s %lf", key, &v) == 2) {
            if (std::strcmp(key, "syscr:") == 0) c.reads = v;
            if (std::strcmp(key, "syscw:") == 0) c.writes = v;
        }
        std::fclose(f);
    }
    return c;
}

// What every role reports at its end.
struct Report {
    std::ostringstream line;
    IoCalls before;
    long errors = 0;

    Report() : before(io_calls()) { line.precision(9); }
    void add(const char* key, double v) { line << key << '=' << v << ' '; }
    void finish() {
        IoCalls after = io_calls();
        add("reads", after.reads - before.reads);
        add("writes", after.writes - before.writes);
        add("rss_kb", static_cast<double>(tvt::peak_rss_kb()));
        add("errors", static_cast<double>(errors));
        emit(line.str());
    }
};

size_t record_length(const RoleArgs& a) { return sizeof(kbr7_eventheader) + std::max(a.body, tvt::kTagSize); }

// ---- the link --------------------------------------------------------------

// The consumer of the batch receiver's ring buffer: takes the records out
// whenever the ring is more than half full (and at the end) and checks that
// they come out whole and numbered 0, 1, ... in the order they went in.
class RingConsumer {
public:
    explicit RingConsumer(size_t record_length)
        : ring_(std::max<size_t>(kMinRing, 4 * record_length)), record_(record_length) {}

    RNG_RingBuffer& ring() { return ring_; }
    void drain_when_half_full() {
        if (ring_.bytesUsed() > ring_.size() / 2) drain();
    }
    void drain() {
        for (long n; (n = ring_.Read(record_.data(), record_.size())) >= 0; ++next_) {
            kbr7_eventheader h;
            std::memcpy(&h, record_.data(), sizeof h);
            if (static_cast<size_t>(n) != record_.size() || h.event_number != next_) ++errors_;
        }
    }
    long errors(long expected) const { return errors_ + (next_ != static_cast<uint32_t>(expected) ? 1 : 0); }

private:
    static constexpr size_t kMinRing = 1u << 20;
    RNG_RingBuffer ring_;
    std::vector<char> record_;
    uint32_t next_ = 0;
    long errors_ = 0;
};

int lib_recv(const RoleArgs& a) {
    Tarvex link(a.convert ? static_cast<int>(Tarvex::BIGEND_MODE) : static_cast<int>(Tarvex::NATIVE_MODE));
    int port = 0;
    int st = tvt::listen_on(link, port);
    if (st != 0) {
        tvt::report_status(kTool, "receiver: SocketSetup", st);
        return 1;
    }
    emit("port=" + std::to_string(port));
    if ((st = tvt::accept_peer(link, 30)) != 0) {
        tvt::report_status(kTool, "receiver: Connect", st);
        return 1;
    }
    // Acknowledgements answer against a ring buffer that always has room:
    // nothing is written into it, as the baseline copies nothing either.
    std::unique_ptr<RNG_RingBuffer> ack_ring;
    if (a.ack) ack_ring = std::make_unique<RNG_RingBuffer>(record_length(a));
    std::unique_ptr<RingConsumer> consumer;
    if (a.ring) consumer = std::make_unique<RingConsumer>(record_length(a));
    Report r;
    const double deadline = tvt::now() + kTransferLimit;
    double first = 0;
    for (long i = 0; i < a.count; ++i) {
        st = tvt::receive_event(link, ack_ring.get(), 1000, [&] { return tvt::now() < deadline; });
        if (st != 0) {
            tvt::report_status(kTool, ("receiver: record " + std::to_string(i)).c_str(), st);
            ++r.errors;
            break;
        }
        const kbr7_eventheader* h = link.get_event_header();
        if (!h || h->event_number != static_cast<uint32_t>(i) || h->event_length != record_length(a)) ++r.errors;
        if (consumer) {
            if (link.WriteBlockToRingBuffer(consumer->ring()) != 0) ++r.errors;
            consumer->drain_when_half_full();
        }
        if (i == 0) first = tvt::now();
    }
    if (consumer) {
        consumer->drain();
        if (r.errors == 0) r.errors = consumer->errors(a.count);
    }
    r.add("t_first", first);
    r.add("t_last", tvt::now());
    r.finish();
    link.SocketRelease();
    return r.errors ? 1 : 0;
}

// Median and 99th percentile of per-record durations, in seconds.
void add_latency(Report& r, std::vector<double>& lat) {
    if (lat.empty()) return;
    auto at = [&lat](double q) {
        auto k = lat.begin() + static_cast<long>(q * static_cast<double>(lat.size() - 1));
        std::nth_element(lat.begin(), k, lat.end());
        return *k;
    };
    r.add("lat_med", at(0.5));
    r.add("lat_p99", at(0.99));
}

// The sender's timed loop, shared by every sender: `step(i)` sends records
// from number i on and returns how many it sent, 0 for a failure, which
// ends the loop.  Acknowledged steps (one record each) are timed one by one.
template <class Step>
bool timed_loop(const RoleArgs& a, Step&& step) {
    std::vector<double> lat;
    lat.reserve(a.ack ? static_cast<size_t>(a.count) : 0);
    Report r;
    const double start = tvt::now();
    for (long i = 0; i < a.count;) {
        const double t0 = tvt::now();
        const long done = step(i);
        if (a.ack) lat.push_back(tvt::now() - t0);
        if (done <= 0) {
            ++r.errors;
            break;
        }
        i += done;
    }
    r.add("t_start", start);
    r.add("t_end", tvt::now());
    add_latency(r, lat);
    r.finish();
    return r.errors == 0;
}

// Record by record: `a.count` records of one 2010 event with numbers 0, 1,
// ..., each handed to `send(vec, entries, index)`, which says whether it
// went out.
template <class Send>
bool timed_sends(const RoleArgs& a, Send&& send) {
    tvt::Record rec;
    tvt::build_record(tvt::Kind::Event2010, 0, a.body, rec);
    auto* head = reinterpret_cast<kbr7_eventheader*>(rec.bytes.data());
    return timed_loop(a, [&](long i) {
        head->event_number = static_cast<uint32_t>(i);
        iovec v[2];
        const int n = rec.gather(v, 1);
        return send(v, n, i) ? 1L : 0L;
    });
}

// The records of one SendEventBatch call: a header of their own each (the
// numbers differ), all sharing one body, gather lists built once, since the
// call leaves them as they are.
class RecordBatch {
public:
    RecordBatch(size_t body, int size) : heads_(static_cast<size_t>(size)), vecs_(2 * heads_.size()) {
        tvt::build_record(tvt::Kind::Event2010, 0, body, rec_);
        for (size_t j = 0; j < heads_.size(); ++j) {
            std::memcpy(&heads_[j], rec_.bytes.data(), sizeof heads_[j]);
            vecs_[2 * j] = {&heads_[j], sizeof heads_[j]};
            vecs_[2 * j + 1] = {rec_.bytes.data() + sizeof heads_[j], rec_.length() - sizeof heads_[j]};
            recs_.push_back({&vecs_[2 * j], 2});
        }
    }
    int size() const { return static_cast<int>(recs_.size()); }
    // The records numbered from `first` on.
    const TarvexRecord* numbered(long first) {
        for (size_t j = 0; j < heads_.size(); ++j) heads_[j].event_number = static_cast<uint32_t>(first + j);
        return recs_.data();
    }

private:
    tvt::Record rec_;
    std::vector<kbr7_eventheader> heads_;
    std::vector<iovec> vecs_;
    std::vector<TarvexRecord> recs_;
};

int lib_send(const RoleArgs& a) {
    Tarvex link(false);
    int st = tvt::connect_to(link, "127.0.0.1", a.port, 10);
    if (st != 0) {
        tvt::report_status(kTool, "sender: Connect", st);
        return 1;
    }
    bool ok = false;
    if (a.batch > 0) {
        RecordBatch batch(a.body, a.batch);
        ok = timed_loop(a, [&](long i) {
            const int n = static_cast<int>(std::min<long>(batch.size(), a.count - i));
            int sent = -1;
            st = link.SendEventBatch(batch.numbered(i), n, &sent);
            if (st == 0 && sent == n) return static_cast<long>(n);
            const std::string what = "sender: batch from record " + std::to_string(i) + ", " + std::to_string(sent) +
                                     " of " + std::to_string(n) + " sent";
            tvt::report_status(kTool, what.c_str(), st);
            return 0L;
        });
    } else {
        ok = timed_sends(a, [&](iovec* v, int n, long i) {
            st = link.SendEvent(v, n, a.ack ? SendEvent_ACK : SendEvent_NOACK);
            if (st != 0) tvt::report_status(kTool, ("sender: record " + std::to_string(i)).c_str(), st);
            return st == 0;
        });
    }
    link.SocketRelease();
    return ok ? 0 : 1;
}

// ---- the raw-socket baseline ---------------------------------------------------
// Blocking sockets, no readiness waits, no pattern scan: the sender writev's
// header and body, the receiver reads the header and then the body into
// place.  Same transport, same direction of connect, same TCP_NODELAY.

void no_delay(int fd, bool local) {
    int one = 1;
    if (!local) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The loopback address of the baseline: /tmp/<port>.tcp or 127.0.0.1:<port>.
struct RawAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

RawAddress raw_address(bool local, int port) {
    RawAddress r;
    if (local) {
        auto* a = reinterpret_cast<sockaddr_un*>(&r.storage);
        a->sun_family = AF_UNIX;
        std::snprintf(a->sun_path, sizeof a->sun_path, "%s", tt::socket_path(port).c_str());
        r.length = sizeof(sockaddr_un);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&r.storage);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a->sin_port = htons(static_cast<uint16_t>(port));
        r.length = sizeof(sockaddr_in);
    }
    return r;
}

int raw_listen(bool local, int& port) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        port = tt::pick_port();
        int fd = socket(local ? AF_UNIX : AF_INET, SOCK_STREAM, 0);
        const RawAddress a = raw_address(local, port);
        if (bind(fd, a.get(), a.length) == 0 && listen(fd, 5) == 0) return fd;
        close(fd);
    }
    return -1;
}

int raw_connect(bool local, int port) {
    const double until = tvt::now() + 10;
    while (tvt::now() < until) {
        int fd = socket(local ? AF_UNIX : AF_INET, SOCK_STREAM, 0);
        const RawAddress a = raw_address(local, port);
        if (connect(fd, a.get(), a.length) == 0) return fd;
        close(fd);
        usleep(10000);
    }
    return -1;
}

bool read_exact(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t got = read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Writes the whole gather list, continuing after short writes.
bool writev_all(int fd, iovec* v, int count) {
    while (count > 0) {
        ssize_t n = writev(fd, v, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= v->iov_len) {
            done -= v->iov_len;
            ++v;
            --count;
        }
        if (count > 0) {
            v->iov_base = static_cast<char*>(v->iov_base) + done;
            v->iov_len -= done;
        }
    }
    return true;
}

int raw_recv(const RoleArgs& a) {
    int port = 0;
    int lfd = raw_listen(a.local, port);
    if (lfd < 0) {
        std::perror("raw receiver: listen");
        return 1;
    }
    emit("port=" + std::to_string(port));
    int fd = accept(lfd, nullptr, nullptr);
    if (a.local) unlink(tt::socket_path(port).c_str());
    if (fd < 0) {
        std::perror("raw receiver: accept");
        return 1;
    }
    no_delay(fd, a.local);
    std::vector<char> buf(record_length(a));
    Report r;
    const int32_t room = 0;
    double first = 0;
    for (long i = 0; i < a.count; ++i) {
        kbr7_eventheader h;
        bool ok = read_exact(fd, buf.data(), sizeof h);
        std::memcpy(&h, buf.data(), sizeof h);
        ok = ok && h.event_length == buf.size() && h.event_number == static_cast<uint32_t>(i);
        if (ok && a.ack) {
            iovec answer{const_cast<int32_t*>(&room), sizeof room};
            ok = writev_all(fd, &answer, 1);
        }
        ok = ok && read_exact(fd, buf.data() + sizeof h, buf.size() - sizeof h);
        if (!ok) {
            ++r.errors;
            break;
        }
        if (i == 0) first = tvt::now();
    }
    r.add("t_first", first);
    r.add("t_last", tvt::now());
    r.finish();
    close(fd);
    close(lfd);
    return r.errors ? 1 : 0;
}

int raw_send(const RoleArgs& a) {
    int fd = raw_connect(a.local, a.port);
    if (fd < 0) {
        std::perror("raw sender: connect");
        return 1;
    }
    no_delay(fd, a.local);
    const bool ok = timed_sends(a, [&](iovec* v, int, long) {
        if (!a.ack) return writev_all(fd, v, 2);
        int32_t answer = -1;
        return writev_all(fd, &v[0], 1) && read_exact(fd, reinterpret_cast<char*>(&answer), sizeof answer) &&
               answer == 0 && writev_all(fd, &v[1], 1);
    });
    close(fd);
    return ok ? 0 : 1;
}

// ---- the ZeroMQ PAIR baseline ------------------------------------------------
// One PAIR socket at each end, over tcp://127.0.0.1 or ipc:///tmp/...; one
// message per record holding header and body (the bytes the link sends),
// copied once into the message as zmq_send would.  The receiver checks
// length and number of every record; in acknowledged mode it answers each
// with the 4-byte word the link's receiver sends, and the sender waits for
// it.  The receiver binds and sends one "ready" message that the sender
// waits for before its timed loop, so the connection is made by then.

#ifdef TARVEX_BENCH_ZEROMQ

constexpr int kZmqWaitMs = 30000;  // longest wait for the peer, any step

std::string zmq_endpoint(bool local, int port) {
    return local ? "ipc:///tmp/tarvex-bench-" + std::to_string(port) + ".ipc"
                 : "tcp://127.0.0.1:" + std::to_string(port);
}

// A context with one PAIR socket.  The queues stay at the default of 1000
// messages for small records and hold about 16 MiB for large ones, so that
// an unacknowledged sender cannot park a gigabyte in its queue.
class ZmqPair {
public:
    explicit ZmqPair(size_t record_length) : ctx_(zmq_ctx_new()), sock_(zmq_socket(ctx_, ZMQ_PAIR)) {
        const int queue = static_cast<int>(std::clamp<size_t>((16u << 20) / record_length, 8, 1000));
        set(ZMQ_SNDHWM, queue);
        set(ZMQ_RCVHWM, queue);
        set(ZMQ_SNDTIMEO, kZmqWaitMs);
        set(ZMQ_RCVTIMEO, kZmqWaitMs);
        set(ZMQ_LINGER, kZmqWaitMs);
    }
    ~ZmqPair() {
        zmq_close(sock_);
        zmq_ctx_term(ctx_);
    }
    ZmqPair(const ZmqPair&) = delete;
    ZmqPair& operator=(const ZmqPair&) = delete;

    void* get() const { return sock_; }
    void set(int option, int value) { zmq_setsockopt(sock_, option, &value, sizeof value); }

private:
    void* ctx_;
    void* sock_;
};

// Reports the last ZeroMQ error; false, for use in conditions.
bool zmq_fail(const char* what) {
    std::fprintf(stderr, "%s: %s: %s\n", kTool, what, zmq_strerror(zmq_errno()));
    return false;
}

// The same at a role's end: the exit code of a failed role.
int zmq_exit(const char* what) {
    zmq_fail(what);
    return 1;
}

// Binds the receiver: TCP on a port the system picks, ipc on a path named
// after this process.  Returns the number that names the endpoint, 0 on failure.
int zmq_bind_any(const ZmqPair& z, bool local) {
    if (local) {
        const int id = static_cast<int>(getpid());
        return zmq_bind(z.get(), zmq_endpoint(true, id).c_str()) == 0 ? id : 0;
    }
    if (zmq_bind(z.get(), "tcp://127.0.0.1:*") != 0) return 0;
    char bound[256] = {};
    size_t size = sizeof bound;
    zmq_getsockopt(z.get(), ZMQ_LAST_ENDPOINT, bound, &size);
    const char* colon = std::strrchr(bound, ':');
    return colon ? std::atoi(colon + 1) : 0;
}

int zmq_recv_role(const RoleArgs& a) {
    const size_t length = record_length(a);
    ZmqPair z(length);
    const int id = zmq_bind_any(z, a.local);
    if (id == 0) return zmq_exit("ZeroMQ receiver: bind");
    emit("port=" + std::to_string(id));
    const char ready = 1;
    const bool connected = zmq_send(z.get(), &ready, 1, 0) == 1;
    // The peer is there (or never came): the ipc path has served its purpose.
    if (a.local) unlink(zmq_endpoint(true, id).substr(std::strlen("ipc://")).c_str());
    if (!connected) return zmq_exit("ZeroMQ receiver: ready");
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    Report r;
    const int32_t room = 0;
    double first = 0;
    for (long i = 0; i < a.count; ++i) {
        bool ok = zmq_msg_recv(&msg, z.get(), 0) == static_cast<int>(length) || zmq_fail("ZeroMQ receiver: record");
        kbr7_eventheader h{};
        if (ok) std::memcpy(&h, zmq_msg_data(&msg), sizeof h);
        ok = ok && h.event_length == length && h.event_number == static_cast<uint32_t>(i);
        if (ok && a.ack)
            ok = zmq_send(z.get(), &room, sizeof room, 0) == sizeof room || zmq_fail("ZeroMQ receiver: answer");
        if (!ok) {
            ++r.errors;
            break;
        }
        if (i == 0) first = tvt::now();
    }
    zmq_msg_close(&msg);
    r.add("t_first", first);
    r.add("t_last", tvt::now());
    r.finish();
    return r.errors ? 1 : 0;
}

int zmq_send_role(const RoleArgs& a) {
    const size_t length = record_length(a);
    ZmqPair z(length);
    char ready = 0;
    if (zmq_connect(z.get(), zmq_endpoint(a.local, a.port).c_str()) != 0) return zmq_exit("ZeroMQ sender: connect");
    if (zmq_recv(z.get(), &ready, 1, 0) != 1) return zmq_exit("ZeroMQ sender: ready");
    const bool ok = timed_sends(a, [&](iovec* v, int n, long) {
        zmq_msg_t msg;
        zmq_msg_init_size(&msg, length);
        auto* at = static_cast<char*>(zmq_msg_data(&msg));
        for (int k = 0; k < n; at += v[k].iov_len, ++k) std::memcpy(at, v[k].iov_base, v[k].iov_len);
        if (zmq_msg_send(&msg, z.get(), 0) != static_cast<int>(length)) {
            zmq_msg_close(&msg);
            return zmq_fail("ZeroMQ sender: record");
        }
        int32_t answer = -1;
        return !a.ack || (zmq_recv(z.get(), &answer, sizeof answer, 0) == sizeof answer && answer == 0) ||
               zmq_fail("ZeroMQ sender: answer");
    });
    return ok ? 0 : 1;
}

#else

int zmq_recv_role(const RoleArgs&) { return 2; }
int zmq_send_role(const RoleArgs&) { return 2; }

#endif

}  // namespace

int run_role(const RoleArgs& a) {
    tvt::use_local_socket(a.local);
    if (a.role == "lib-recv") return lib_recv(a);
    if (a.role == "lib-send") return lib_send(a);
    if (a.role == "raw-recv") return raw_recv(a);
    if (a.role == "raw-send") return raw_send(a);
    if (a.role == "zmq-recv") return zmq_recv_role(a);
    if (a.role == "zmq-send") return zmq_send_role(a);
    if (a.role == "idle") {
        Report r;
        r.finish();
        return 0;
    }
    std::fprintf(stderr, "%s: unknown role %s\n", kTool, a.role.c_str());
    return 2;
}

std::map<std::string, double> parse_result(const std::string& line) {
    std::map<std::string, double> m;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        size_t eq = word.find('=');
        if (eq != std::string::npos) m[word.substr(0, eq)] = std::strtod(word.c_str() + eq + 1, nullptr);
    }
    return m;
}

bool zeromq_built() {
#ifdef TARVEX_BENCH_ZEROMQ
    return true;
#else
    return false;
#endif
}

std::string zeromq_version() {
#ifdef TARVEX_BENCH_ZEROMQ
    int major = 0, minor = 0, patch = 0;
    zmq_version(&major, &minor, &patch);
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
#else
    return "";
#endif
}

}  // namespace bench
