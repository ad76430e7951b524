#include "Harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
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
