// Tarvex: one end of a point-to-point link that carries data-acquisition
// records (events, slow data, images, spectra) over one stream connection,
// TCP or a local stream socket.
//
// Lifecycle
//   accepting end:  SocketSetup(port); Connect(true); ...transfers...;
//                   Disconnect() / Connect(false) for the next peer; SocketRelease()
//   connecting end: Connect(host, port); ...transfers...; Disconnect();
//                   SocketRelease() before connecting again
//
// Every operation returns a status code (TarvexStatus.h); 0 is success.
// Diagnostics go to standard output and standard error.  One thread at a
// time may use an object.
#ifndef TARVEX_H
#define TARVEX_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>

#include "TarvexCommon.h"
#include "TarvexLog.h"
#include "TarvexStatus.h"
#include "TarvexVersion.h"
#include "event.h"
#include "ringbuf.h"

namespace tarvex {
namespace detail {
struct Link;
}
}  // namespace tarvex

// One record of a batch for Tarvex::SendEventBatch: a gather list as
// SendEvent takes it (entry 0 the header, the body fragments after it).
struct TarvexRecord {
    iovec* vec;
    int frsin;
};

class TARVEX_API Tarvex {
public:
    // The `op` argument of IfReady.
    enum { RECEIVER_READ = 0, RECEIVER_WRITE = 1 };
    // The values of the byte-order mode chosen at construction.
    enum { NATIVE_MODE = 0, BIGEND_MODE = 1 };

    // Non-zero `md` selects BIGEND_MODE: the accepting end then asks both
    // ends to convert, so that records travel in big-endian order.
    explicit Tarvex(int md);
    // `ns` masks conversion: no record is converted even when the preamble
    // asked for it.
    explicit Tarvex(bool ns);
    // Releases the stored record only: sockets stay open and the local socket
    // file stays in place (Disconnect and SocketRelease do that).
    ~Tarvex();

    Tarvex(const Tarvex&) = delete;
    Tarvex& operator=(const Tarvex&) = delete;

    // --- configuration and queries ---
    int SetRetry(int r);
    int IsLinkActive();
    bool get_swap();
    bool set_swap_mask(bool m);
    void set_own_cnt(bool on);  // count received records in the link itself
    void SetNoDelay();          // wait up to 100 ms before each send attempt (default)
    void SetDelay();            // call the socket at once, without waiting
    int GetLPort();             // port of the listening endpoint, 0 when none
    // The port the listening socket is bound to: on TCP the one the system
    // chose when SocketSetup(0) asked for any free port (for another port
    // the one given, or its low 16 bits); on the local socket the number
    // given to SocketSetup, the one in /tmp/<port>.tcp.  -1 when the end has
    // no listening socket (before SocketSetup, after SocketRelease, on a
    // connecting end).
    int get_bound_port() const;

    // Bytes the record-pattern scan of ReceiveEvent passed over (dropped) in
    // the last call and since construction.
    unsigned long long get_scan_skipped_last() const;
    unsigned long long get_scan_skipped_total() const;
    // "No room" answers (a receiver's refusal of a record for want of room in
    // its ring buffer) that this end's senders met since construction: the
    // refusals of acknowledged sends (ERR_NO_SPACE) and the answers an
    // unacknowledged send found waiting, whose records the receiver then
    // skipped (see SendEvent).
    unsigned long long get_no_room_answers() const;

    // --- admission and limits ---
    // Switches for sites that must keep strays, other users and hostile
    // peers out.  Each has an environment variable that the operation which
    // needs it reads afresh when the switch was not set by its member (as
    // KBR7_TARVEX_SOCK_TYPE is read), so that a program can be hardened
    // without a rebuild; unset, the link behaves as it always has.  A value
    // that does not parse is refused with ERR_BAD_VALUE and a line naming
    // the variable, by the call that reads it (the member: at once).
    //
    //   member                   variable                           value
    //   set_bind_address         KBR7_TARVEX_BIND_ADDR              IPv4 address the TCP listener binds to
    //   set_allowed_peers        KBR7_TARVEX_ALLOW_PEERS            IPv4 addresses and CIDR blocks, comma-separated
    //   set_allowed_uids         KBR7_TARVEX_ALLOW_UIDS             "self", or user ids, comma-separated
    //   set_socket_dir           KBR7_TARVEX_SOCK_DIR               directory of <port>.tcp (default /tmp)
    //   set_socket_mode          KBR7_TARVEX_SOCK_MODE              octal mode of the socket file, e.g. 0600
    //   set_max_record           KBR7_TARVEX_MAX_RECORD             longest record a receiver takes, bytes
    //   set_record_timeout       KBR7_TARVEX_RECORD_TIMEOUT_MS      time for the rest of a record once found
    //   set_preamble_timeout     KBR7_TARVEX_PREAMBLE_TIMEOUT_MS    time the connecting end waits for the preamble
    //   set_reuse_address        KBR7_TARVEX_REUSE_ADDR             1: address reuse, stale socket files removed
    //
    // The string members take the variable's syntax; null clears the switch
    // (the variable is read again).  Numbers of 0 clear theirs likewise.
    int set_bind_address(const char* ipv4);
    int set_allowed_peers(const char* list);
    int set_allowed_uids(const char* list);
    int set_socket_dir(const char* dir);
    int set_socket_mode(int mode);
    int set_max_record(unsigned long long bytes);
    int set_record_timeout(int ms);
    int set_preamble_timeout(int ms);
    int set_reuse_address(bool on);
    // Peers the accepting end closed at once because no allow list admitted
    // them, since construction.
    unsigned long long get_refused_peers() const;

    // --- listening endpoint ---
    // Listens on TCP port `port` (its low 16 bits; 0: any free port, see
    // get_bound_port), or on the local socket tarvex_socket_path(port) when
    // KBR7_TARVEX_SOCK_TYPE is "UNIX".  ERR_ALREADY_SETUP when the end is
    // established already; ERR_SOCKET, ERR_BIND, ERR_LISTEN with a line.
    int SocketSetup(int port);
    // Disconnects (see the close below), closes the listening socket and,
    // on the local socket, removes its file; the end is unestablished
    // afterwards (a connecting end: ready for the next Connect).
    // ERR_NOT_SETUP when it is not established.
    int SocketRelease();

    // --- connection ---
    // Closing a data connection (Disconnect, SocketRelease, Connect(false)
    // replacing a peer) never throws away records the peer has not read yet.
    // After events or slow data sent unacknowledged, whose answers a receiver
    // given a ring buffer may still be sending, the end first ends its
    // writing direction, so that the peer reads everything, then the end of
    // the stream; then it takes and drops whatever the peer still sends until
    // the peer ends its side too, or until every answer the peer owes has
    // come, for at most `retrs` x 100 ms (1 s by default); then it closes.
    // With nothing owed (nothing sent, only acknowledged records or images,
    // every answer in, or the peer gone) it closes at once.
    //
    // Connect(true) waits, without a time limit, for a peer on the listening
    // socket and sends it the 4-byte preamble; with no_delay (the default)
    // the data socket is non-blocking afterwards.  ERR_ALREADY_CONNECTED
    // while connected; Connect(false) closes the peer first instead and
    // then waits for the next.
    int Connect(bool how);
    // Connects to `host` (looked up on the local socket too) at `port` and
    // reads the preamble, without a time limit unless
    // KBR7_TARVEX_PREAMBLE_TIMEOUT_MS sets one.  ERR_HOST, ERR_SOCKET,
    // ERR_CONNECT; ERR_PROTOCOL or ERR_BAD_VALUE when the preamble fails
    // (the end is then unestablished again).
    int Connect(const char* host, int port);
    // Closes the data connection; the listening socket stays.
    int Disconnect();

    // --- readiness wait on the data socket ---
    // Waits until the data socket is readable (`op` RECEIVER_READ) or
    // writable (RECEIVER_WRITE).  `trs` is a budget of attempts (negative:
    // the link's retry count; 0: none at all, ERR_NOT_READABLE or
    // ERR_NOT_WRITABLE at once); each attempt waits `sec` s and `usec` us
    // (either -1: without limit), and an attempt that times out costs two
    // units, so a budget of 10 gives at most 5 timed waits before
    // ERR_TIMEOUT.  Bytes the link has read ahead make it readable at once.
    // A failed wait (a signal included) is ERR_READ or ERR_SEND.
    int IfReady(bool op, int trs, int sec, int usec);

    // --- sending ---
    // The receiver decides about acknowledgements: one given a ring buffer
    // answers every event and slow-data record ("room" or "no room"),
    // whether or not the sender asked.  A sender that did not ask
    // (SendEvent_NOACK, batches) takes those answers off the stream as they
    // come, says once per connection that its peer answers, and counts the
    // "no room" answers (get_no_room_answers()): the receiver skipped those
    // records.  With SendEvent_ACK such a record is refused (ERR_NO_SPACE)
    // before its body is sent.
    //
    // `vec[0]` is the header (its size names the kind: 36 or 48 bytes an
    // event, 12 slow data, 8 an image intro, 100 a bare frame header), the
    // entries after it the body; the header's length field counts the whole
    // record.  The entries stay the caller's, but a short write advances
    // them in place: a fresh list for every call.  Each wait for room is
    // 100 ms, against a budget of `retrs` waits that progress refills
    // (ERR_RETRIES when it runs out).  A broken pipe disconnects the link
    // (ERR_SEND).
    int SendEvent(iovec* vec, int frsin, int mode);
    // Writes the `sz` bytes at `buf` as they stand: no framing, no
    // conversion, no answer.  Waits of 100 ms for room, ten before the first
    // byte goes out, then `retrs` without progress (ERR_RETRIES).
    int SendRequest(char* buf, int sz);
    // Sends `n` records unacknowledged, in as few writes as the system
    // allows (one writev of up to 1024 entries, then the next).  Each record
    // is checked and converted as SendEvent does, and every record is
    // checked before anything is written, so a bad record sends nothing.
    // Returns 0 when all are on the wire, otherwise the status SendEvent
    // would give for the first record that failed; `*sent` (when not null)
    // is the number of records written whole, and no part of a later record
    // has been written.  The gather lists are not modified.  `n` == 0
    // returns 0; `n` < 0 or a null `recs` returns ERR_BAD_VALUE.
    int SendEventBatch(const TarvexRecord* recs, int n, int* sent);

    // --- receiving events and slow data ---
    // Takes the next event or slow-data record into the link's store,
    // converted to host order, scanning past up to 200000 bytes of anything
    // else for its pattern.  `trs`, `sec` and `usec` bound only the wait for
    // the first bytes of a record, as IfReady takes them, and a negative
    // `trs` repeats that wait up to 1000 times while it times out
    // (ERR_TIMEOUT when all did).  On a non-blocking data socket a pattern
    // cut by a pause gives ERR_SCAN_AGAIN (or ERR_TIMEOUT), and the next call
    // goes on with the bytes this one took.  Once a pattern is found, the rest of the record is
    // awaited without a time limit, unless KBR7_TARVEX_RECORD_TIMEOUT_MS
    // sets one.  With `rb`, the sender is answered whether `rb` has room for
    // the record (ERR_NO_SPACE when not: the body is left in the stream).
    // The record stays in the store until the next ReceiveEvent.
    int ReceiveEvent(RNG_RingBuffer* rb, int trs, int sec, int usec);
    // Hands the stored record, header first, to `rb`, whole or not at all
    // (ERR_RING_WRITE); ERR_NO_BUFFER when no record is stored.
    int WriteBlockToRingBuffer(RNG_RingBuffer& rb);
    // The stored record's header fields, read in the layout of the record's
    // own kind (a 2024 event in the 48-byte header, the others in the
    // 36-byte one).  get_event_number() is the link's own count while
    // set_own_cnt is on (the default).  Without a record, or where a field
    // lies beyond a short record: -1, KBR7_EV_EVMAX, 0.  The header
    // accessors return null unless the stored record is of their header.
    int get_event_number();
    KBR7_EVTYPE get_event_type();
    unsigned int get_event_length();
    kbr7_eventheader* get_event_header();
    kbr7_eventheader_2024* get_event_header_2024();
    kbr7_daq_slow_data_header* get_slow_data_header();

    // --- taking over the stored record ---
    // For a caller that keeps records beyond the next receive without
    // copying them (the Python binding hands them out as arrays).
    //
    // take_record_array hands the stored record's array to the caller, who
    // owns it from then on and frees it with delete[] (or offers it back
    // with reuse_record_array).  The record starts at the array's first byte,
    // as the accessors showed it; `*size` is set to its length and
    // `*capacity` to the bytes the array holds (at least `*size`).  The link
    // then holds no record: the accessors answer as for a link that never
    // received one (the header accessors null, get_event_length() 0,
    // get_event_type() KBR7_EV_EVMAX, get_event_number() -1 unless the link
    // counts itself, whose count stays), WriteBlockToRingBuffer returns
    // ERR_NO_BUFFER, and the next ReceiveEvent stores its record in a new
    // array.  With no record stored it returns null and sets both to 0.
    // Either pointer may be null.
    char* take_record_array(unsigned int* size, unsigned int* capacity);
    // reuse_record_array offers an array of `capacity` bytes from new[]
    // (one that take_record_array handed out, typically) for the records to
    // come, so that a caller that takes every record does not make the link
    // allocate for each.  The link owns it from then on and frees it with
    // delete[].  The offer stores no record: until a receive stores one, the
    // accessors and WriteBlockToRingBuffer answer as for no record.
    // ReceiveEvent stores in it as in the link's own array: a record that
    // fits and needs at least a quarter of it; otherwise the array is freed
    // and a new one made.  A link that holds an array already (a stored
    // record, or an earlier offer) keeps that one and frees the offered one
    // at once.  A null array does nothing.
    void reuse_record_array(char* array, unsigned int capacity);

    // --- the stream, for event loops ---
    // The data socket, -1 when there is none.  Bytes read from it wait in
    // the link's read-ahead buffer until a receiver takes them, so an event
    // loop polls this descriptor only when get_buffered_bytes() is 0, and
    // never reads it itself.
    int get_data_fd() const;
    // Bytes received from the peer that no receiver has taken yet.
    size_t get_buffered_bytes() const;
    // True once a read has found the end of the peer's stream: the peer has
    // gone, as opposed to being idle.  False again after the next Connect.
    bool get_peer_closed() const;

    // --- receiving images and spectra ---
    // ReceiveImageHeader scans, without a limit on the bytes passed over and
    // waiting without a time limit, for the next record and fills `*im_fr_hd`
    // with its 108-byte intro in host order (its pattern word 0).
    // ReceiveImageData then reads the body of that intro, `length` - 108
    // bytes, unconverted: into `*buf` when it is not null (a body longer
    // than `sz` is ERR_NO_SPACE, nothing read, the body left in the stream),
    // or into a new array of exactly the body's length stored in `*buf`,
    // which the caller owns from then on and frees with delete[].
    // ReceiveImage is the two in one call.  No answer is ever sent.
    int ReceiveImageHeader(kbr7_image_ext_intro* im_fr_hd);
    int ReceiveImageData(kbr7_image_ext_intro* im_fr_hd, char** buf, int sz);
    int ReceiveImage(kbr7_image_ext_intro* im_fr_hd, char** buf, int sz);
    // The same for spectra: a 56-byte intro, a body of `length` - 56 bytes.
    int ReceiveSpectHeader(kbr7_spect_intro* im_fr_hd);
    int ReceiveSpectData(kbr7_spect_intro* im_fr_hd, char** buf, int sz);
    int ReceiveSpect(kbr7_spect_intro* im_fr_hd, char** buf, int sz);

private:
    // Converts the stored record to host order (ReceiveEvent's last step).
    int SwapBuffer();

    // Everything a link end holds, in its three parts; the first and only
    // member (see detail/Link.h).
    tarvex::detail::Link* link_;
};

// The version of the library in use, "MAJOR.MINOR.PATCH"; the headers'
// version is TARVEX_VERSION_STRING (TarvexVersion.h).
TARVEX_API const char* tarvex_version();

// The local socket path that stands for `port` ("/tmp/<port>.tcp", or in
// the directory KBR7_TARVEX_SOCK_DIR names), written
// to `buf` as snprintf would write it; returns what snprintf returns.  Both
// ends of a local-socket link use this path.
TARVEX_API int tarvex_socket_path(int port, char* buf, size_t size);

#endif
