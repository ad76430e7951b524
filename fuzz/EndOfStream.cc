// A drained stream whose peer has closed answers every read with 0 and
// every wait for readability at once, and the receivers keep asking: the
// event scan up to 200000 times, the header and body loops up to their
// empty-read limits, each read after a wait.  Once the fed socket has shown
// its end, later reads of it return 0 here, and later waits for it to become
// readable give the answer the system gave the first time, without a system
// call, so that such an input costs milliseconds instead of seconds.  Every
// other call, and every call before the end, goes to AddressSanitizer's
// wrappers, which check the memory the kernel writes.
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>

#include "FuzzSupport.h"

namespace {

int g_fd = -1;  // the fed socket's link end
bool g_ended = false;
// The system's answer to the first wait for readability after the end.
bool g_wait_known = false;
short g_wait_revents = 0;

}  // namespace

namespace fz {

void watch_end_of_stream(int fd) {
    g_fd = fd;
    g_ended = false;
    g_wait_known = false;
}

}  // namespace fz

// AddressSanitizer's own functions (its `read` and `ppoll` are weak aliases
// of them).
extern "C" ssize_t __interceptor_read(int fd, void* buf, size_t count);
extern "C" int __interceptor_ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask);

extern "C" ssize_t read(int fd, void* buf, size_t count) {
    if (fd == g_fd && g_ended) return 0;
    const ssize_t n = __interceptor_read(fd, buf, count);
    if (fd == g_fd && n == 0 && count > 0) g_ended = true;
    return n;
}

extern "C" int ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask) {
    const bool ours = g_ended && n == 1 && fds[0].fd == g_fd && fds[0].events == POLLIN;
    if (ours && g_wait_known) {
        fds[0].revents = g_wait_revents;
        return 1;
    }
    const int r = __interceptor_ppoll(fds, n, timeout, mask);
    if (ours && r == 1) {
        g_wait_known = true;
        g_wait_revents = fds[0].revents;
    }
    return r;
}
