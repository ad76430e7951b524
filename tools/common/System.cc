#include "System.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Ports.h"
#include "Tarvex.h"

namespace tvt {

namespace {

long status_field_kb(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    const size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
            kb = std::strtol(line + n + 1, nullptr, 10);
            break;
        }
    std::fclose(f);
    return kb;
}

const char* const kSockTypeVariable = "KBR7_TARVEX_SOCK_TYPE";

}  // namespace

long peak_rss_kb() { return status_field_kb("VmHWM"); }
long current_rss_kb() { return status_field_kb("VmRSS"); }

void report_status(const char* tool, const char* what, int status) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s (%d), %s\n", tool, what, tarvex_status_name(status), status,
                 tarvex_status_text(status));
    std::fflush(stderr);
}

namespace {
// What the tool printed before comes first, also when both streams go to one file.
void line_to_stderr(int, const char* line, void*) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line);
}
}  // namespace

void library_lines_to_stderr() { tarvex_set_log_handler(line_to_stderr, nullptr); }

void choose_transport(bool unix_option) {
    const char* v = std::getenv(kSockTypeVariable);
    use_local_socket(unix_option || (v != nullptr && std::strcmp(v, "UNIX") == 0));
}

void use_local_socket(bool on) {
    if (on)
        setenv(kSockTypeVariable, "UNIX", 1);
    else
        unsetenv(kSockTypeVariable);
}

bool local_socket_in_use() {
    const char* v = std::getenv(kSockTypeVariable);
    return v && std::strcmp(v, "UNIX") == 0;
}

const char* transport_name() { return local_socket_in_use() ? "local socket" : "tcp"; }

int listen_on(Tarvex& link, int& port) {
    if (port == 0 && !local_socket_in_use()) {
        const int st = link.SocketSetup(0);
        if (st == 0) port = link.get_bound_port();
        return st;
    }
    // The local socket's path is made from the number: port 0 would be the
    // one file /tmp/0.tcp for everybody.
    const bool pick = port == 0;
    int st = ERR_BIND;
    for (int attempt = 0; attempt < (pick ? 20 : 1) && st == ERR_BIND; ++attempt) {
        if (pick) port = tt::pick_port();
        st = link.SocketSetup(port);
    }
    return st;
}

int connect_to(Tarvex& link, const std::string& host, int port, double wait_s) {
    const double until = now() + wait_s;
    for (;;) {
        int st = link.Connect(host.c_str(), port);
        if (st != ERR_CONNECT || now() >= until) return st;
        usleep(20000);
    }
}

namespace {
volatile sig_atomic_t g_stop_signal = 0;
void on_stop(int sig) { g_stop_signal = sig; }
}  // namespace

void catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: the blocked call must return
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int stop_signal() { return g_stop_signal; }

namespace {
volatile sig_atomic_t g_alarm_fired = 0;
void on_alarm(int) { g_alarm_fired = 1; }
}  // namespace

void arm_alarm(unsigned seconds) {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: the blocked call must return
    sigaction(SIGALRM, &sa, nullptr);
    g_alarm_fired = 0;
    alarm(seconds);
}

bool alarm_fired() { return g_alarm_fired != 0; }

int accept_peer(Tarvex& link, unsigned timeout_s) {
    arm_alarm(timeout_s);
    int st = link.Connect(true);
    arm_alarm(0);
    return st;
}

int receive_event(Tarvex& link, RNG_RingBuffer* rb, int slice_ms, const std::function<bool()>& keep_waiting) {
    for (;;) {
        int st = link.ReceiveEvent(rb, 1, slice_ms / 1000, (slice_ms % 1000) * 1000);
        if ((st != ERR_TIMEOUT && st != ERR_SCAN_AGAIN) || !keep_waiting()) return st;
    }
}

pid_t spawn(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int code = body();
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return pid;
}

pid_t spawn_program(const std::vector<std::string>& argv, int fd3) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (fd3 >= 0 && fd3 != 3) dup2(fd3, 3);
        if (fd3 == 3) fcntl(3, F_SETFD, 0);
        execvp(args[0], args.data());
        std::perror(args[0]);
        std::_Exit(127);
    }
    return pid;
}

namespace {
int exit_code(int ws) { return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws); }
}  // namespace

bool child_ended(pid_t pid, int& code) {
    int ws = 0;
    if (waitpid(pid, &ws, WNOHANG) != pid) return false;
    code = exit_code(ws);
    return true;
}

int wait_child(pid_t pid, double timeout_s) {
    int code = 0;
    if (timeout_s >= 0) {
        const double until = now() + timeout_s;
        while (now() < until) {
            if (child_ended(pid, code)) return code;
            usleep(5000);
        }
        kill(pid, SIGKILL);
    }
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    return exit_code(ws);
}

std::string self_program() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    return path;
}

bool write_all(int fd, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

bool read_line(int fd, std::string& line, double timeout_s) {
    line.clear();
    const double until = now() + timeout_s;
    for (;;) {
        const double left = until - now();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
}

bool DiagnosticsLog::start(const char* tool) {
    std::string name = std::string("/tmp/") + tool + "-XXXXXX";
    std::vector<char> path(name.begin(), name.end());
    path.push_back('\0');
    int fd = mkstemp(path.data());
    if (fd < 0) return false;
    path_ = path.data();
    std::fflush(nullptr);
    // Children inherit the log as their standard streams, not the terminal.
    out_ = fdopen(fcntl(1, F_DUPFD_CLOEXEC, 0), "w");
    err_ = fdopen(fcntl(2, F_DUPFD_CLOEXEC, 0), "w");
    setvbuf(err_, nullptr, _IONBF, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
    return true;
}

void DiagnosticsLog::finish(bool failed) {
    if (path_.empty()) return;
    std::fflush(nullptr);
    dup2(fileno(out_), 1);
    dup2(fileno(err_), 2);
    std::fclose(out_);
    std::fclose(err_);
    out_ = stdout;
    err_ = stderr;
    int lines = 0;
    if (std::FILE* f = std::fopen(path_.c_str(), "r")) {
        char line[1024];
        while (std::fgets(line, sizeof line, f)) {
            ++lines;
            if (failed) std::fputs(line, stderr);
        }
        std::fclose(f);
    }
    // The note goes to standard error: standard output may be read by a program.
    if (failed) {
        std::fprintf(stderr, "(the %d lines above are the diagnostics of the link, kept in %s)\n", lines,
                     path_.c_str());
    } else {
        std::fprintf(stderr, "(%d lines of link diagnostics not shown; --diagnostics shows them)\n", lines);
        unlink(path_.c_str());
    }
    path_.clear();
}

namespace {

std::string last_line(const std::string& text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n') t.pop_back();
    const size_t start = t.rfind('\n');
    return start == std::string::npos ? t : t.substr(start + 1);
}

// The longest --wait: a year.
constexpr double kMaxWaitSeconds = 365 * 24 * 3600.0;

}  // namespace

void replay(const StreamText& text) {
    std::fputs(text.out.c_str(), stdout);
    std::fflush(stdout);
    std::fputs(text.err.c_str(), stderr);
    std::fflush(stderr);
}

int connect_reporting(Tarvex& link, const std::string& host, int port, double wait_s, const char* tool,
                      const std::function<bool()>& stopped) {
    const double start = now();
    double next_report = start;
    const std::string where = local_socket_in_use() ? tt::socket_path(port) : host + ":" + std::to_string(port);
    for (;;) {
        int st = 0;
        const StreamText said = tt::capture([&] { st = link.Connect(host.c_str(), port); });
        const double t = now();
        if (st != ERR_CONNECT || t >= start + wait_s || stopped()) {
            replay(said);
            return st;
        }
        if (t >= next_report) {
            std::fprintf(stderr, "%s: nobody listens on %s yet (%s); trying for %.0f s more\n", tool, where.c_str(),
                         last_line(said.err).c_str(), std::ceil(start + wait_s - t));
            std::fflush(stderr);
            next_report += 1.0;
        }
        usleep(20000);
    }
}

LinkPlan link_plan(const Options& opt, bool listen_by_default) {
    opt.exclusive("listen", "connect");
    LinkPlan plan;
    plan.listen = opt.has("listen") || (listen_by_default && !opt.has("connect"));
    opt.only_if("bigend", plan.listen, "only when listening (the listening end decides the byte order)");
    opt.only_if("wait", !plan.listen, "only when connecting");
    plan.bigend = opt.has("bigend");
    if (plan.listen) {
        plan.port = opt.port("listen", 5000, true);
    } else {
        opt.host_port("connect", "127.0.0.1:5000", plan.host, plan.port);
        plan.wait_s = opt.number("wait", 5, 0, kMaxWaitSeconds);
    }
    return plan;
}

namespace {

// True when something holds the address of `port`: on TCP a listener, a
// connection or one in its closing wait (a bind without address reuse
// fails), on the local socket a file at its path.
bool address_taken(int port) {
    if (local_socket_in_use()) {
        struct stat st {};
        return ::lstat(tt::socket_path(port).c_str(), &st) == 0;
    }
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool taken = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
    ::close(s);
    return taken;
}

// The link says only that the bind failed (and the error number); a user
// needs to know that the port is taken and what may free it.
void explain_bind_failure(const char* tool, int port) {
    if (!address_taken(port)) return;
    if (local_socket_in_use())
        std::fprintf(stderr,
                     "%s: %s: address in use: a listener or a stale socket file is there (--reuse-addr removes a "
                     "stale one of this user)\n",
                     tool, tt::socket_path(port).c_str());
    else
        std::fprintf(stderr,
                     "%s: port %d (tcp): address in use: another program listens on it, or a connection that ended "
                     "lately still holds it (--reuse-addr takes it then)\n",
                     tool, port);
}

}  // namespace

int open_link(Tarvex& link, const LinkPlan& plan, const char* tool, const std::function<bool()>& stopped) {
    if (!plan.listen) {
        int st = connect_reporting(link, plan.host, plan.port, plan.wait_s, tool, stopped);
        if (st != 0 && !stopped()) report_status(tool, "Connect", st);
        return st;
    }
    int port = plan.port;
    int st = listen_on(link, port);
    if (st != 0) {
        report_status(tool, "SocketSetup", st);
        if (st == ERR_BIND) explain_bind_failure(tool, port);
        return st;
    }
    std::printf("%s: listening on port %d (%s)\n", tool, port, transport_name());
    std::fflush(stdout);
    st = link.Connect(true);
    if (st != 0 && !stopped()) report_status(tool, "Connect", st);
    return st;
}

void close_link(Tarvex& link) {
    if (link.get_bound_port() != -1 || link.IsLinkActive()) link.SocketRelease();
}

}  // namespace tvt
