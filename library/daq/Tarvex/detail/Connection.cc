#include "Connection.h"

#include <algorithm>
#include <cerrno>

#include "TarvexStatus.h"
#include "detail/Log.h"

namespace tarvex {
namespace detail {

Connection::Connection() { attach(nullptr); }

void Connection::attach(std::unique_ptr<Transport> t) {
    transport_ = t ? std::move(t) : std::make_unique<SocketTransport>(-1);
    stream.attach(transport_.get());
    scanner.reset();
    limits.taken = false;
    owed = Owed();
    mid_record = false;
}

void Connection::forget() { attach(nullptr); }

void Connection::use_descriptor(int fd) { attach(fd >= 0 ? std::make_unique<SocketTransport>(fd) : nullptr); }

// Closing a socket that still holds bytes the peer sent, or that the peer
// writes to afterwards, makes the system reset the connection instead of
// ending it, and a reset throws away whatever the peer has not read yet:
// the last records sent.  A receiver given a ring buffer answers every
// record, so after records sent without asking for an answer, answers may
// still come: the end then first ends its writing direction (the peer reads
// every record, then the end of the stream), and takes and drops what the
// peer still sends until the peer ends its side too, or until every answer
// the peer owes is in (nothing more will come then), for at most the link's
// retry budget of 100 ms waits.  With nothing owed (nothing sent, only
// acknowledged records or images, every answer in, or the peer gone) it
// closes at once: the peer sends nothing more, and the records go out ahead
// of the end of the stream.
int Connection::close() {
    if (fd() < 0) return 0;
    if (owed.still_owed() > 0 && !stream.peer_closed()) {
        transport_->shutdown_write();
        drain_peer(Deadline::after_ms(static_cast<int>(std::min(100LL * retrs, 0x7fffffffLL))));
    }
    const int r = transport_->close();
    const int err = errno;
    forget();
    errno = err;
    return r;
}

void Connection::drain_peer(const Deadline& deadline) {
    // While the peer has sent nothing but answers, they are counted; bytes
    // of anything else (or of a receive's unfinished record) end the count,
    // and then only the end of the peer's stream ends the wait.
    bool only_answers = !mid_record && scanner.held() == 0;
    for (;;) {
        if (only_answers) take_unasked_answers(false);
        const size_t left = stream.buffered();
        if (only_answers && owed.peer_answers && owed.still_owed() == 0 && left == 0) return;
        if (left >= sizeof(uint32_t) || (left > 0 && (!only_answers || owed.still_owed() == 0))) {
            only_answers = false;
            stream.drop(left);
        }
        if (stream.peer_closed()) return;
        timespec rest;
        if (transport_->wait(Direction::Read, deadline.left(rest)) != Readiness::Ready) return;
        // A read that fails (a reset, say) ends it: nothing more will come.
        if (!stream.fill_nowait() && errno != EAGAIN && errno != EWOULDBLOCK) return;
    }
}

// ---------------------------------------------------------------------------
// The readiness wait
//
// The budget counts attempts: each wait costs one unit and a wait that runs
// out of time costs a second one, so a run of time-outs ends after half the
// budget's worth of timed waits.

namespace {

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

Readiness Connection::wait(Direction d, const timespec* timeout) { return transport_->wait(d, timeout); }

Readiness Connection::wait_100ms(Direction d, int* budget) {
    const timespec t{0, 100 * 1000 * 1000};
    const Readiness r = wait(d, &t);
    if (r == Readiness::TimedOut && budget != nullptr) --*budget;
    return r;
}

int Connection::if_ready(bool for_write, int trs, int sec, int usec) {
    const int used_up = for_write ? ERR_NOT_WRITABLE : ERR_NOT_READABLE;
    const int failed = for_write ? ERR_SEND : ERR_READ;
    const bool untimed = sec == -1 || usec == -1;

    int budget = trs >= 0 ? trs : retrs;
    if (budget <= 0) return used_up;
    // Bytes already read ahead (or the end of the stream) are there to be
    // read now; the transport itself may have nothing more.
    if (!for_write && stream.readable_now()) return 0;
    // Without a data socket nothing could ever end an untimed wait.
    if (untimed && fd() < 0) return failed;

    // The wait never writes to the limit, so every attempt gets all of it.
    const timespec limit = attempt_limit(sec, usec);
    while (true) {
        --budget;
        switch (wait(for_write ? Direction::Write : Direction::Read, untimed ? nullptr : &limit)) {
            case Readiness::Ready: return 0;
            case Readiness::TimedOut:
                if (--budget <= 0) return ERR_TIMEOUT;
                continue;
            case Readiness::Failed:
                // EINTR is not retried: a signal ends the wait.
                if (errno != EAGAIN) return failed;
                break;
            case Readiness::Other: log_out(text::kWaitNotOurSocket); break;
        }
        if (budget <= 0) return used_up;
    }
}

int Connection::take_receive_limits(const Switches& switches, const char* operation) {
    if (limits.taken) return 0;
    bool ok = true;
    limits.max_record = in_force(SwitchId::MaxRecord, switches.max_record, operation, ok);
    limits.record_timeout = in_force(SwitchId::RecordTimeout, switches.record_timeout, operation, ok);
    if (!ok) return ERR_BAD_VALUE;
    limits.taken = true;
    return 0;
}

// ---------------------------------------------------------------------------
// Answers nobody asked for

namespace {

// A receiver's answer is 0 (room) or 1 (no room) in its own byte order.
bool is_answer_word(uint32_t w) { return w == 0 || w == 1 || w == 0x01000000u; }

}  // namespace

// A receiver given a ring buffer answers every event and slow-data header,
// whether or not the sender asked.  A sender that did not ask takes those
// answers off the stream as they come, so that they never pile up in its
// socket (where, at the close, they would turn the end of the connection
// into a reset that throws away records the receiver has not read yet).
// Only answers still owed are taken, and only from the head of the stream:
// the bytes there are the peer's, in order, and an answer word is no record
// pattern in either byte order.
void Connection::take_unasked_answers(bool probe) {
    if (fd() < 0 || owed.still_owed() == 0 || mid_record || scanner.held() > 0) return;
    if (probe) stream.fill_nowait();
    uint32_t word;
    while (owed.still_owed() > 0 && stream.peek(&word, sizeof word) && is_answer_word(word)) {
        stream.drop(sizeof word);
        count_unasked_answer(word);
    }
}

void Connection::count_unasked_answer(uint32_t word) {
    ++owed.answers;
    owed.peer_answers = true;
    if (!owed.told_answers) {
        owed.told_answers = true;
        log_err(text::kUnaskedAnswers);
    }
    if (word == 0) return;
    ++no_room_answers;
    if (!owed.told_no_room) {
        owed.told_no_room = true;
        log_err(text::kUnaskedNoRoom);
    }
}

}  // namespace detail
}  // namespace tarvex
