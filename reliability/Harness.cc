#include "Harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "System.h"
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include "detail/Kinds.h"
#include "event.h"
#include "event_util.h"

namespace trl {

namespace {

template <class T>
T* as(unsigned char* p) {
    return reinterpret_cast<T*>(p);
}

// A whole record converted in place to the other byte order, as a
// converting sender puts it on the wire, by the event utilities' whole-record
// conversions: an account of the wire bytes independent of the sender's own
// piecewise conversion, which the programs check against it.
int convert_in_place(const tarvex::kinds::KindRow& row, unsigned char* p) {
    using tarvex::kinds::Family;
    switch (row.family) {
        case Family::Event: return kbr7_convert_event_hton(p, p, -1);
        case Family::Slow: {
            // The body first: its conversion finds its extent in the header,
            // which must still be in host order then.
            const kbr7_daq_slow_data_header h = *as<kbr7_daq_slow_data_header>(p);
            const size_t head = sizeof h;
            return kbr7_convert_slow_data_block_hton(p + head, p + head, h.channels_number, h.pattern) +
                   kbr7_convert_slow_data_head(as<kbr7_daq_slow_data_header>(p), as<kbr7_daq_slow_data_header>(p));
        }
        case Family::Image: {
            const int head = sizeof(kbr7_image_head);
            return kbr7_convert_image_head(as<kbr7_image_head>(p), as<kbr7_image_head>(p)) +
                   kbr7_convert_data(p + head, p + head, KBR7_BLOCK_IMAGE, head);
        }
        case Family::Spectrum: return kbr7_convert_spect_head(as<kbr7_spect_intro>(p), as<kbr7_spect_intro>(p));
        case Family::Frame: break;  // sent only, never made here
    }
    return -1;
}

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

std::vector<unsigned char> wire_bytes(const tvt::Record& r, bool convert) {
    std::vector<unsigned char> w = r.bytes;
    if (!convert) return w;
    const tarvex::kinds::KindRow& row = tarvex::kinds::row(r.kind);
    tarvex::kinds::select_generation(row.generation);
    if (convert_in_place(row, w.data()) != 0) {
        std::fprintf(stderr, "wire_bytes: the event-utility library refused a %s record\n", tvt::info(r.kind).name);
        w.clear();
    }
    return w;
}

std::vector<unsigned char> delivered_bytes(const tvt::Record& r) {
    std::vector<unsigned char> d = r.bytes;
    const tarvex::kinds::Family f = tarvex::kinds::row(r.kind).family;
    if (f == tarvex::kinds::Family::Image || f == tarvex::kinds::Family::Spectrum)
        std::memset(d.data(), 0, sizeof(uint32_t));
    return d;
}

Deadline::Deadline(const char* what, double seconds, double grace_s) : start_(tvt::now()) {
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

double Deadline::elapsed() const { return tvt::now() - start_; }

int open_descriptors() {
    DIR* d = ::opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n - 1;  // the directory stream's own descriptor
}

PeakMemory peak_memory() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return {tvt::peak_rss_kb(), u.ru_maxrss};
}

bool leak_checker_active() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

void check_leaks_now() {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
}

bool redirect_output(const std::string& path, bool fresh) {
    std::fflush(nullptr);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (fresh ? O_TRUNC : 0), 0644);
    if (fd < 0) return false;
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    return true;
}

}  // namespace trl
