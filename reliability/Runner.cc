#include "Runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Clock.h"
#include "Harness.h"
#include "System.h"
#include "Text.h"

namespace trl {

namespace {

// The report goes over the pipe as its length, then its bytes.
void send_report(int fd, const std::string& report) {
    const uint32_t n = static_cast<uint32_t>(report.size());
    tvt::write_all(fd, std::string(reinterpret_cast<const char*>(&n), sizeof n) + report);
}

// Reads up to `n` bytes into `into` (appending) until `until`; false on the
// end of the stream or when the time has passed.
bool read_exact(int fd, std::string& into, size_t n, double until) {
    char chunk[4096];
    while (n > 0) {
        const double left = until - tt::now();
        if (left <= 0) return false;
        pollfd pf{fd, POLLIN, 0};
        const int ready = ::poll(&pf, 1, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        const ssize_t got = ::read(fd, chunk, std::min(n, sizeof chunk));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        into.append(chunk, static_cast<size_t>(got));
        n -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

Child::Child(const Body& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string report;
        const int code = body(report);
        send_report(fds[1], report);
        check_leaks_now();
        std::fflush(nullptr);
        std::_Exit(code);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return;
    }
    pid_ = pid;
    from_child_ = fds[0];
}

Child::~Child() {
    if (started() && !collected_) finish(0);
    if (from_child_ >= 0) ::close(from_child_);
}

bool Child::take_report(double until) {
    if (from_child_ < 0) return reported_;
    std::string size;
    if (read_exact(from_child_, size, sizeof(uint32_t), until)) {
        uint32_t n;
        std::memcpy(&n, size.data(), sizeof n);
        reported_ = read_exact(from_child_, report_, n, until);
    }
    ::close(from_child_);
    from_child_ = -1;
    return reported_;
}

int Child::finish(double until) {
    if (!started() || collected_) return code_;
    collected_ = true;
    while (tt::now() < until)
        if (tvt::child_ended(pid_, code_))
            return code_;
        else
            ::usleep(5000);
    killed_ = true;
    code_ = tvt::wait_child(pid_, 0);  // kills it, then collects it
    return code_;
}

std::string Child::ending(double limit_s) const {
    if (killed_ && !reported_) return tt::format("hung: killed after %.0f s", limit_s);
    if (code_ > 128) return tt::format("crashed: %s", strsignal(code_ - 128));
    if (code_ != 0) return tt::format("exit status %d (a sanitizer's report?)", code_);
    if (!reported_) return "no report";
    return "";
}

namespace {

// Deadline state, shared with the timer's signal handler.
volatile sig_atomic_t g_fired = 0;
volatile sig_atomic_t g_fatal_after = 0;
volatile sig_atomic_t g_report_fd = STDERR_FILENO;
char g_message[192];
size_t g_message_len = 0;

void on_deadline(int) {
    g_fired = g_fired + 1;
    if (g_fired <= g_fatal_after) return;
    // Still inside the call although every blocking call in it has been
    // interrupted again and again: a busy loop, nothing left to recover.
    ssize_t ignored = ::write(g_report_fd, g_message, g_message_len);
    (void)ignored;
    ::_exit(3);
}

void arm_timer(double seconds) {
    itimerval t{};
    t.it_value.tv_sec = static_cast<time_t>(seconds);
    t.it_value.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(t.it_value.tv_sec)) * 1e6);
    if (t.it_value.tv_sec == 0 && t.it_value.tv_usec == 0) t.it_value.tv_usec = 1;
    t.it_interval.tv_sec = seconds > 0 ? 1 : 0;
    ::setitimer(ITIMER_REAL, &t, nullptr);
}

}  // namespace

Deadline::Deadline(const char* what, double seconds, double grace_s) : start_(tt::now()) {
    g_message_len = static_cast<size_t>(std::snprintf(
        g_message, sizeof g_message, "HANG: %s did not return within %.0f s, giving up\n", what, seconds + grace_s));
    if (g_message_len >= sizeof g_message) g_message_len = sizeof g_message - 1;
    g_fired = 0;
    g_fatal_after = static_cast<sig_atomic_t>(grace_s);
    struct sigaction sa {};
    sa.sa_handler = on_deadline;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a blocking call must return with EINTR
    ::sigaction(SIGALRM, &sa, nullptr);
    arm_timer(seconds);
}

Deadline::~Deadline() {
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
}

void deadline_report_fd(int fd) { g_report_fd = fd; }

bool Deadline::expired() const { return g_fired > 0; }

double Deadline::elapsed() const { return tt::now() - start_; }

bool pick_names(const std::string& list, const std::vector<std::string>& names, std::vector<size_t>& picked,
                std::string& unknown) {
    picked.clear();
    if (list == "all") {
        for (size_t i = 0; i < names.size(); ++i) picked.push_back(i);
        return true;
    }
    for (const std::string& name : tt::split_list(list)) {
        const auto it = std::find(names.begin(), names.end(), name);
        if (it == names.end()) {
            unknown = name;
            return false;
        }
        picked.push_back(static_cast<size_t>(it - names.begin()));
    }
    return true;
}

}  // namespace trl
