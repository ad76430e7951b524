// One data connection of a link end: its transport, the read-ahead stream
// and the pattern scanner over it, the byte-order decision, the receive
// limits in force, what the two ends owe each other, and the counters.  The
// senders, the receivers and the readiness wait work on it; the endpoint
// makes it and ends it.  Not installed.
#ifndef TARVEX_DETAIL_CONNECTION_H
#define TARVEX_DETAIL_CONNECTION_H

#include <cstdint>
#include <memory>

#include "TarvexExport.h"
#include "detail/Io.h"
#include "detail/Scanner.h"
#include "detail/Stream.h"
#include "detail/Switches.h"
#include "detail/Transport.h"

namespace tarvex {
namespace detail {

class Connection {
public:
    // --- how this end waits and converts (the link's configuration) ---
    int retrs = 10;        // bounds the readiness waits and the send loops
    bool no_delay = true;  // senders wait for readiness; the accepting end's transport is non-blocking
    int must_swap = 0;     // records on this link are converted
    bool no_swap = false;  // the caller masks conversion
    int connected = 0;     // 1 while connected
    bool get_swap() const { return must_swap != 0 && !no_swap; }

    Connection();

    // --- the transport ---
    // Without a connection it is a socket transport of descriptor -1, on
    // which every read and write fails as on a closed socket.
    Transport& transport() const { return *transport_; }
    // Its descriptor (what get_data_fd() returns), -1 when there is none.
    int fd() const { return transport_->descriptor(); }
    // A new connection starts clean: nothing read ahead, no window, nothing
    // owed, the limits read again.  Null: no connection.
    void attach(std::unique_ptr<Transport> t);
    // Lets the transport go without closing it (the caller closes it, or
    // has).
    void forget();
    // Makes descriptor `fd` (-1: none) the connection's socket, as if a
    // connection had been made with it; nothing else changes.  Exported for
    // the tests, which hand over socket pairs.
    TARVEX_API void use_descriptor(int fd);
    // Ends the connection without throwing away what the peer has not read
    // yet (see Disconnect in Tarvex.h), then forgets it; the result of the
    // close (0, or -1 with errno).  Nothing to close: 0.
    int close();

    Stream stream;
    Scanner scanner;

    // --- the readiness wait (IfReady) ---
    int if_ready(bool for_write, int trs, int sec, int usec);
    // One wait on the transport (on none: time only passes).
    Readiness wait(Direction d, const timespec* timeout);
    // The senders' wait: one attempt of at most 100 ms; a time-out costs one
    // unit of `budget` when one is given.
    Readiness wait_100ms(Direction d, int* budget = nullptr);

    // --- the receivers' limits, read once per connection by its first
    // receive (and again after a member changed one) ---
    struct ReceiveLimits {
        bool taken = false;
        ByteLimit max_record;
        Milliseconds record_timeout;
    } limits;
    int take_receive_limits(const Switches& switches, const char* operation);
    // The time the rest of a record found now has, when a limit is set.
    Deadline record_deadline() const {
        return limits.record_timeout.set ? Deadline::after_ms(limits.record_timeout.ms) : Deadline();
    }

    // --- what the two ends owe each other, for the close ---
    // The answers a peer gives to records that did not ask for one (a
    // receiver given a ring buffer answers every record header, whatever the
    // sender asked).
    struct Owed {
        unsigned long long unasked = 0;  // events and slow data sent without asking for an answer
        unsigned long long answers = 0;  // answers to those, taken off the stream
        bool peer_answers = false;       // the peer answers records that did not ask
        bool told_answers = false;       // each said once per connection
        bool told_no_room = false;
        unsigned sends = 0;  // unacknowledged sends, for the look at the transport
        unsigned long long still_owed() const { return unasked > answers ? unasked - answers : 0; }
    } owed;
    // An intro was received and its body is still in the stream: the bytes
    // at its head belong to the body, not to the peer's answers.
    bool mid_record = false;
    // Takes the peer's answers to unacknowledged records off the head of the
    // stream (without a call of the transport unless `probe`).
    void take_unasked_answers(bool probe);
    // Counts one answer the peer gave to a record that did not ask for it.
    void count_unasked_answer(uint32_t word);

    // The link's own Disconnect, which the senders call when the peer has
    // gone (a broken pipe): set by the link that holds this connection.
    void (*end_link)(void* owner) = nullptr;
    void* owner = nullptr;
    void disconnect_link() {
        if (end_link != nullptr) end_link(owner);
    }

    // --- counters ---
    unsigned long long scan_skipped_last = 0;
    unsigned long long scan_skipped_total = 0;
    unsigned long long no_room_answers = 0;  // "no room" answers the senders met

private:
    void drain_peer(const Deadline& deadline);

    std::unique_ptr<Transport> transport_;
};

}  // namespace detail
}  // namespace tarvex

#endif
