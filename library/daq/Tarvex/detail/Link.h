// The state and the work of one link end.  Tarvex (the public class) holds
// one of these and hands every call to it; the implementation files define
// its methods, and their inner steps take it by reference.  Not installed.
#ifndef TARVEX_DETAIL_LINK_H
#define TARVEX_DETAIL_LINK_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "Tarvex.h"
#include "detail/Admission.h"
#include "detail/Io.h"

namespace tarvex {
namespace detail {

class Link {
public:
    Link(int mode, bool mask);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // The operations of Tarvex, one for one.
    int SetRetry(int r);
    int IsLinkActive();
    bool get_swap();
    bool set_swap_mask(bool m);
    void set_own_cnt(bool on);
    void SetNoDelay();
    void SetDelay();
    int GetLPort();
    int get_bound_port() const;
    unsigned long long get_scan_skipped_last() const;
    unsigned long long get_scan_skipped_total() const;
    unsigned long long get_no_room_answers() const;
    int SocketSetup(int port);
    int SocketRelease();
    int Connect(bool how);
    int Connect(const char* host, int port);
    int Disconnect();
    int IfReady(bool op, int trs, int sec, int usec);
    int SendEvent(iovec* vec, int frsin, int mode);
    int SendRequest(char* buf, int sz);
    int SendEventBatch(const TarvexRecord* recs, int n, int* sent);
    int ReceiveEvent(RNG_RingBuffer* rb, int trs, int sec, int usec);
    int WriteBlockToRingBuffer(RNG_RingBuffer& rb);
    int get_event_number();
    KBR7_EVTYPE get_event_type();
    unsigned int get_event_length();
    kbr7_eventheader* get_event_header();
    kbr7_eventheader_2024* get_event_header_2024();
    kbr7_daq_slow_data_header* get_slow_data_header();
    char* take_record_array(unsigned int* size, unsigned int* capacity);
    void reuse_record_array(char* array, unsigned int capacity);
    int get_data_fd() const;
    size_t get_buffered_bytes() const;
    bool get_peer_closed() const;
    int ReceiveImageHeader(kbr7_image_ext_intro* im_fr_hd);
    int ReceiveImageData(kbr7_image_ext_intro* im_fr_hd, char** buf, int sz);
    int ReceiveImage(kbr7_image_ext_intro* im_fr_hd, char** buf, int sz);
    int ReceiveSpectHeader(kbr7_spect_intro* im_fr_hd);
    int ReceiveSpectData(kbr7_spect_intro* im_fr_hd, char** buf, int sz);
    int ReceiveSpect(kbr7_spect_intro* im_fr_hd, char** buf, int sz);
    int set_bind_address(const char* ipv4);
    int set_allowed_peers(const char* list);
    int set_allowed_uids(const char* list);
    int set_socket_dir(const char* dir);
    int set_socket_mode(int mode);
    int set_max_record(unsigned long long bytes);
    int set_record_timeout(int ms);
    int set_preamble_timeout(int ms);
    int set_reuse_address(bool on);
    unsigned long long get_refused_peers() const;

    // Exported for the tests, which call it directly (the rest of the link is
    // reached through its fields, which need no symbol).
    TARVEX_API int SwapBuffer();

    // The fields of a link end, in the order and with the defaults the class
    // has always documented.
    int retrs = 10;          // bounds the readiness waits and the send loops
    bool no_delay = true;    // senders wait for readiness; the accepting end's socket is non-blocking
    bool owncntr = true;     // count received records in eventn
    int eventn = 0;          // the link's own record counter
    int sock = -1;           // listening socket
    int sockin = -1;         // data socket
    sockaddr_in receiver{};  // listening address, or the peer's on the connecting end
    sockaddr_in sender{};    // the peer address accept filled in
    socklen_t len = sizeof(sockaddr_in);
    int connected = 0;       // 1 while the data socket is connected
    int setup = 0;           // 1 once the end is established
    int must_swap = 0;       // records on this link are converted
    bool no_swap = false;    // the caller masks conversion
    char* buffer = nullptr;  // the last event or slow-data record received, or an array offered for the next
    unsigned int size = 0;   // its length; 0 when no record is stored
    int lport = 0;           // the port of SocketSetup
    int bigend_mode = Tarvex::NATIVE_MODE;

    // Bytes `buffer` can hold: a record that fits takes the array of the
    // record before it instead of a new one.
    unsigned int capacity = 0;
    // Everything read from the data socket and not yet taken by a receiver
    // (the read-ahead, and the pattern bytes a receive had taken when it
    // returned for want of more).
    Stream stream;
    unsigned long long scan_skipped_last = 0;
    unsigned long long scan_skipped_total = 0;
    unsigned long long no_room_answers = 0;  // "no room" answers the senders met
    // What the two ends owe each other on the data connection, for the
    // close: records that went out, and the answers a peer gives to records
    // that did not ask for one (a receiver given a ring buffer answers every
    // record header, whatever the sender asked).  Starts afresh with every
    // data socket.
    struct Owed {
        unsigned long long unasked = 0;  // events and slow data sent without asking for an answer
        unsigned long long answers = 0;  // answers to those, taken off the stream
        bool peer_answers = false;       // the peer answers records that did not ask
        bool told_answers = false;       // each said once per connection
        bool told_no_room = false;
        unsigned sends = 0;  // unacknowledged sends, for the socket probe
        unsigned long long still_owed() const { return unasked > answers ? unasked - answers : 0; }
    } owed;
    // An intro was received and its body is still in the stream: the bytes
    // at its head belong to the body, not to the peer's answers.
    bool mid_record = false;
    // Takes the peer's answers to unacknowledged records off the head of the
    // stream (without a system call unless `probe`); see TarvexSend.cc.
    void take_unasked_answers(bool probe);
    // Counts one answer the peer gave to a record that did not ask for it.
    void count_unasked_answer(uint32_t word);
    // Ends the data connection without throwing away what the peer has not
    // read yet (see Disconnect in Tarvex.h); the result of close(2).
    int close_data_socket();
    void drain_peer(const Deadline& deadline);
    // The switches a site sets to keep strays and hostile peers out.
    Admission admission;
    // The receivers' limits in force for the data socket `fd`: read once per
    // connection, by its first receive, and again after a member set one.
    struct ReceiveLimits {
        int fd = -2;
        ByteLimit max_record;
        Milliseconds record_timeout;
    } limits;
    // Makes `limits` those of the data socket; ERR_BAD_VALUE, with a line,
    // when a variable does not parse.
    int take_receive_limits(const char* operation);
    // The time the rest of a record found now has, when a limit is set.
    Deadline record_deadline() const {
        return limits.record_timeout.set ? Deadline::after_ms(limits.record_timeout.ms) : Deadline();
    }
};

// The link behind a Tarvex.  Tarvex is standard-layout and its link is its
// first member, so the object's address is the member's address: tests reach
// a link's fields through this without any friend in the public header.
inline Link& link_of(Tarvex& t) {
    static_assert(std::is_standard_layout<Tarvex>::value, "the link pointer is reached through the object");
    return **reinterpret_cast<Link**>(&t);
}

}  // namespace detail
}  // namespace tarvex

#endif
