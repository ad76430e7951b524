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

#include "Records.h"
#include "System.h"
#include "Tarvex.h"

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
    std::unique_ptr<RNG_RingBuffer> ring;
    if (a.ack) ring = std::make_unique<RNG_RingBuffer>(record_length(a));
    Report r;
    const double deadline = tvt::now() + kTransferLimit;
    double first = 0;
    for (long i = 0; i < a.count; ++i) {
        st = tvt::receive_event(link, ring.get(), 1000, [&] { return tvt::now() < deadline; });
        if (st != 0) {
            tvt::report_status(kTool, ("receiver: record " + std::to_string(i)).c_str(), st);
            ++r.errors;
            break;
        }
        const kbr7_eventheader* h = link.get_event_header();
        if (!h || h->event_number != static_cast<uint32_t>(i) || h->event_length != record_length(a)) ++r.errors;
        if (i == 0) first = tvt::now();
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

// The sender's timed loop, shared by the link and the baseline: `a.count`
// records of one 2010 event with numbers 0, 1, ..., each handed to
// `send(vec, entries, index)`, which says whether it went out; acknowledged
// sends are timed one by one.  Reports the times and stops at a failure.
template <class Send>
bool timed_sends(const RoleArgs& a, Send&& send) {
    tvt::Record rec;
    tvt::build_record(tvt::Kind::Event2010, 0, a.body, rec);
    auto* head = reinterpret_cast<kbr7_eventheader*>(rec.bytes.data());
    std::vector<double> lat;
    lat.reserve(a.ack ? static_cast<size_t>(a.count) : 0);
    Report r;
    const double start = tvt::now();
    for (long i = 0; i < a.count; ++i) {
        head->event_number = static_cast<uint32_t>(i);
        iovec v[2];
        const int n = rec.gather(v, 1);
        const double t0 = tvt::now();
        const bool ok = send(v, n, i);
        if (a.ack) lat.push_back(tvt::now() - t0);
        if (!ok) {
            ++r.errors;
            break;
        }
    }
    r.add("t_start", start);
    r.add("t_end", tvt::now());
    add_latency(r, lat);
    r.finish();
    return r.errors == 0;
}

int lib_send(const RoleArgs& a) {
    Tarvex link(false);
    int st = tvt::connect_to(link, "127.0.0.1", a.port, 10);
    if (st != 0) {
        tvt::report_status(kTool, "sender: Connect", st);
        return 1;
    }
    const bool ok = timed_sends(a, [&](iovec* v, int n, long i) {
        st = link.SendEvent(v, n, a.ack ? SendEvent_ACK : SendEvent_NOACK);
        if (st != 0) tvt::report_status(kTool, ("sender: record " + std::to_string(i)).c_str(), st);
        return st == 0;
    });
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

std::string local_path(int port) { return "/tmp/" + std::to_string(port) + ".tcp"; }

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
        std::snprintf(a->sun_path, sizeof a->sun_path, "%s", local_path(port).c_str());
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
        port = tvt::pick_port();
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
    if (a.local) unlink(local_path(port).c_str());
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

}  // namespace

int run_role(const RoleArgs& a) {
    tvt::use_local_socket(a.local);
    if (a.role == "lib-recv") return lib_recv(a);
    if (a.role == "lib-send") return lib_send(a);
    if (a.role == "raw-recv") return raw_recv(a);
    if (a.role == "raw-send") return raw_send(a);
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

}  // namespace bench
