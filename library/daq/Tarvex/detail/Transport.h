// The seam below a connection: one interface that moves bytes and knows
// nothing of records.  Everything above it (the read-ahead stream, the
// scanner, the writer, budgets, statuses and messages) is the same for every
// transport, so that what a receiver or a sender does cannot differ between
// them.  Not installed.
//
// A new transport is one file with a class of this interface, and a row in
// the table of transports (detail/Socket.cc) that says when it is used.
#ifndef TARVEX_DETAIL_TRANSPORT_H
#define TARVEX_DETAIL_TRANSPORT_H

#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

#include "TarvexExport.h"

namespace tarvex {
namespace detail {

// Outcome of one readiness attempt, with the meaning select() gives it.
enum class Readiness {
    Failed,    // the wait failed; errno tells why
    TimedOut,  // the time-out passed without readiness
    Ready,     // ready in the direction asked for
    Other,     // the wait woke up, but not for the direction asked for
};

// What a wait waits for.
enum class Direction {
    Read,
    Write,
    // Room to write, or bytes to read: Ready when there is room; Other when
    // only bytes came (a sender takes its peer's answers meanwhile).
    WriteOrRead,
};

// How a write may wait for room.
enum class WriteMode {
    Now,      // never waits: a full transport takes nothing (-1, EAGAIN)
    Waiting,  // waits up to the send time limit (set_send_wait) and takes what fits by then
    Plain,    // as the transport's own mode makes it: on a blocking one, waits without limit
};

class TARVEX_API Transport {
public:
    virtual ~Transport() = default;

    // The bytes there are now, scattered over `v` (never waits): a count, 0
    // at the end of the stream, -1 with errno (EAGAIN: nothing yet).
    virtual ssize_t read_now(const iovec* v, int n) = 0;
    // A gather write, of what fits as `mode` says: a count, -1 with errno.
    virtual ssize_t write(const iovec* v, int n, WriteMode mode) = 0;
    // The longest a Waiting write waits for room (0: the default, no
    // limit); false when the transport does not block, or refuses.
    virtual bool set_send_wait(int ms) = 0;
    // One wait of at most `timeout` (null: no limit).  The end of the
    // stream, a reset and errors count as readiness: the read or write that
    // follows tells them.
    virtual Readiness wait(Direction d, const timespec* timeout) = 0;

    // The descriptor an event loop polls for this connection.
    virtual int descriptor() const = 0;
    // Whether reads and plain writes wait (the connecting end's default);
    // the accepting end stops that after the preamble.
    virtual bool blocking() const = 0;
    virtual bool make_non_blocking() = 0;
    // Ends the writing direction: the peer reads what was written, then the
    // end of the stream.
    virtual void shutdown_write() = 0;
    // Closes; 0, or -1 with errno.  The transport holds nothing afterwards,
    // whatever the result.
    virtual int close() = 0;
};

}  // namespace detail
}  // namespace tarvex

#endif
