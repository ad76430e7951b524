// The bounded readiness wait on the data socket.
//
// The budget counts attempts: each wait costs one unit and a wait that runs
// out of time costs a second one, so a run of time-outs ends after half the
// budget's worth of timed waits.
#include <time.h>

#include <cerrno>
#include <cstdio>

#include "Tarvex.h"
#include "detail/Io.h"
#include "detail/Link.h"
#include "detail/Log.h"

namespace {

using tarvex::detail::Link;
using tarvex::detail::Readiness;

// The per-attempt time limit, with the meaning a select() time-out of `sec`
// seconds and `usec` microseconds has: whole seconds in `usec` carry over,
// and a negative part stays negative so that the system rejects it.
timespec attempt_limit(int sec, int usec) {
    timespec t;
    t.tv_sec = static_cast<time_t>(sec) + usec / 1000000;
    t.tv_nsec = static_cast<long>(usec % 1000000) * 1000;
    return t;
}

}  // namespace

int Link::IfReady(bool op, int trs, int sec, int usec) {
    const int used_up = op ? ERR_NOT_WRITABLE : ERR_NOT_READABLE;
    const int failed = op ? ERR_SEND : ERR_READ;
    const bool untimed = sec == -1 || usec == -1;

    int budget = trs >= 0 ? trs : retrs;
    if (budget <= 0) return used_up;
    // Bytes already read ahead (or the end of the stream) are there to be
    // read now; the socket itself may have nothing more.
    if (!op && stream.readable_now(sockin)) return 0;
    // Without a data socket nothing could ever end an untimed wait.
    if (untimed && sockin < 0) return failed;

    // The wait never writes to the limit, so every attempt gets all of it.
    const timespec limit = attempt_limit(sec, usec);
    while (true) {
        --budget;
        switch (tarvex::detail::wait_once(sockin, op, untimed ? nullptr : &limit)) {
            case Readiness::Ready: return 0;
            case Readiness::TimedOut:
                if (--budget <= 0) return ERR_TIMEOUT;
                continue;
            case Readiness::Failed:
                // EINTR is not retried: a signal ends the wait.
                if (errno != EAGAIN) return failed;
                break;
            case Readiness::Other: tarvex::detail::log_out(tarvex::detail::text::kWaitNotOurSocket); break;
        }
        if (budget <= 0) return used_up;
    }
}
