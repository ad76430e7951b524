// Construction and configuration of a link, and the status-code names.
// Tarvex hands every call to its Link (detail/Link.h), where the work is
// done; the forwarding calls stand at the end of this file.
#include "Tarvex.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "detail/Link.h"

using tarvex::detail::Link;

namespace {

// A write to a peer that has gone away must fail with EPIPE instead of
// ending the process: the sender turns that into a disconnect.
void ignore_broken_pipe() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace

Link::Link(int mode, bool mask) : no_swap(mask), bigend_mode(mode) { ignore_broken_pipe(); }

// The stored record only: sockets stay open and the local socket file stays
// in place (Disconnect and SocketRelease do that).
Link::~Link() { delete[] buffer; }

int Link::SetRetry(int r) {
    if (r <= 0) return ERR_BAD_VALUE;
    retrs = r;
    return 0;
}

int Link::IsLinkActive() { return connected != 0 ? 1 : 0; }

bool Link::get_swap() { return must_swap != 0 && !no_swap; }

bool Link::set_swap_mask(bool m) {
    no_swap = m;
    return m;
}

void Link::set_own_cnt(bool on) { owncntr = on; }
void Link::SetNoDelay() { no_delay = true; }
void Link::SetDelay() { no_delay = false; }
int Link::GetLPort() { return lport; }

unsigned long long Link::get_scan_skipped_last() const { return scan_skipped_last; }
unsigned long long Link::get_scan_skipped_total() const { return scan_skipped_total; }
unsigned long long Link::get_no_room_answers() const { return no_room_answers; }

int Link::get_data_fd() const { return sockin; }
size_t Link::get_buffered_bytes() const { return stream.buffered_for(sockin); }
bool Link::get_peer_closed() const { return stream.peer_closed(); }

// The switches: a member's value holds until it is cleared (null, or 0),
// and then the variable is read again by the calls that need it.
int Link::set_bind_address(const char* ipv4) {
    return set_by_member(tarvex::detail::kBindAddress, admission.bind_address, "set_bind_address", ipv4)
               ? 0
               : ERR_BAD_VALUE;
}

int Link::set_allowed_peers(const char* list) {
    return set_by_member(tarvex::detail::kAllowedPeers, admission.allowed_peers, "set_allowed_peers", list)
               ? 0
               : ERR_BAD_VALUE;
}

int Link::set_allowed_uids(const char* list) {
    return set_by_member(tarvex::detail::kAllowedUids, admission.allowed_uids, "set_allowed_uids", list)
               ? 0
               : ERR_BAD_VALUE;
}

int Link::set_socket_dir(const char* dir) {
    return set_by_member(tarvex::detail::kSocketDir, admission.socket_dir, "set_socket_dir", dir) ? 0 : ERR_BAD_VALUE;
}

namespace {

// The numeric members go through the variable's syntax, so that one parser
// decides what a value may be.
template <class Value>
int set_number(const tarvex::detail::Switch<Value>& s, tarvex::detail::Setting<Value>& setting, const char* member,
               unsigned long long value, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return set_by_member(s, setting, member, value == 0 ? nullptr : text) ? 0 : ERR_BAD_VALUE;
}

}  // namespace

int Link::set_socket_mode(int mode) {
    if (mode < 0)
        return set_number(tarvex::detail::kSocketMode, admission.socket_mode, "set_socket_mode", ~0ull, "%llo");
    return set_number(tarvex::detail::kSocketMode, admission.socket_mode, "set_socket_mode",
                      static_cast<unsigned long long>(mode), "%llo");
}

int Link::set_max_record(unsigned long long bytes) {
    limits.fd = -2;
    return set_number(tarvex::detail::kMaxRecord, admission.max_record, "set_max_record", bytes, "%llu");
}

int Link::set_record_timeout(int ms) {
    limits.fd = -2;
    if (ms < 0)
        return set_number(tarvex::detail::kRecordTimeout, admission.record_timeout, "set_record_timeout", ~0ull,
                          "%llu");
    return set_number(tarvex::detail::kRecordTimeout, admission.record_timeout, "set_record_timeout",
                      static_cast<unsigned long long>(ms), "%llu");
}

int Link::set_preamble_timeout(int ms) {
    if (ms < 0)
        return set_number(tarvex::detail::kPreambleTimeout, admission.preamble_timeout, "set_preamble_timeout", ~0ull,
                          "%llu");
    return set_number(tarvex::detail::kPreambleTimeout, admission.preamble_timeout, "set_preamble_timeout",
                      static_cast<unsigned long long>(ms), "%llu");
}

int Link::set_reuse_address(bool on) {
    return set_by_member(tarvex::detail::kReuseAddress, admission.reuse_address, "set_reuse_address",
                         on ? "1" : nullptr)
               ? 0
               : ERR_BAD_VALUE;
}

unsigned long long Link::get_refused_peers() const { return admission.refused_peers; }

const char* tarvex_version() { return TARVEX_VERSION_STRING; }

const char* tarvex_status_name(int status) {
    switch (status) {
        case 0: return "OK";
#define TARVEX_STATUS_NAME_CASE(name, number, text) \
    case number: return #name;
            TARVEX_STATUS_TABLE(TARVEX_STATUS_NAME_CASE)
#undef TARVEX_STATUS_NAME_CASE
        default: return "UNKNOWN";
    }
}

const char* tarvex_status_text(int status) {
    switch (status) {
        case 0: return "success";
#define TARVEX_STATUS_TEXT_CASE(name, number, text) \
    case number: return text;
            TARVEX_STATUS_TABLE(TARVEX_STATUS_TEXT_CASE)
#undef TARVEX_STATUS_TEXT_CASE
        default: return "unknown status";
    }
}

// ---------------------------------------------------------------------------
// Tarvex: every call goes to the link

Tarvex::Tarvex(int md) : link_(new Link(md != 0 ? BIGEND_MODE : NATIVE_MODE, false)) {}
Tarvex::Tarvex(bool ns) : link_(new Link(NATIVE_MODE, ns)) {}
Tarvex::~Tarvex() { delete link_; }

int Tarvex::SetRetry(int r) { return link_->SetRetry(r); }
int Tarvex::IsLinkActive() { return link_->IsLinkActive(); }
bool Tarvex::get_swap() { return link_->get_swap(); }
bool Tarvex::set_swap_mask(bool m) { return link_->set_swap_mask(m); }
void Tarvex::set_own_cnt(bool on) { link_->set_own_cnt(on); }
void Tarvex::SetNoDelay() { link_->SetNoDelay(); }
void Tarvex::SetDelay() { link_->SetDelay(); }
int Tarvex::GetLPort() { return link_->GetLPort(); }
int Tarvex::get_bound_port() const { return link_->get_bound_port(); }
unsigned long long Tarvex::get_scan_skipped_last() const { return link_->get_scan_skipped_last(); }
unsigned long long Tarvex::get_scan_skipped_total() const { return link_->get_scan_skipped_total(); }
unsigned long long Tarvex::get_no_room_answers() const { return link_->get_no_room_answers(); }
int Tarvex::SocketSetup(int port) { return link_->SocketSetup(port); }
int Tarvex::SocketRelease() { return link_->SocketRelease(); }
int Tarvex::Connect(bool how) { return link_->Connect(how); }
int Tarvex::Connect(const char* host, int port) { return link_->Connect(host, port); }
int Tarvex::Disconnect() { return link_->Disconnect(); }
int Tarvex::IfReady(bool op, int trs, int sec, int usec) { return link_->IfReady(op, trs, sec, usec); }
int Tarvex::SendEvent(iovec* vec, int frsin, int mode) { return link_->SendEvent(vec, frsin, mode); }
int Tarvex::SendRequest(char* buf, int sz) { return link_->SendRequest(buf, sz); }
int Tarvex::SendEventBatch(const TarvexRecord* recs, int n, int* sent) { return link_->SendEventBatch(recs, n, sent); }
int Tarvex::ReceiveEvent(RNG_RingBuffer* rb, int trs, int sec, int usec) {
    return link_->ReceiveEvent(rb, trs, sec, usec);
}
int Tarvex::WriteBlockToRingBuffer(RNG_RingBuffer& rb) { return link_->WriteBlockToRingBuffer(rb); }
int Tarvex::get_event_number() { return link_->get_event_number(); }
KBR7_EVTYPE Tarvex::get_event_type() { return link_->get_event_type(); }
unsigned int Tarvex::get_event_length() { return link_->get_event_length(); }
kbr7_eventheader* Tarvex::get_event_header() { return link_->get_event_header(); }
kbr7_eventheader_2024* Tarvex::get_event_header_2024() { return link_->get_event_header_2024(); }
kbr7_daq_slow_data_header* Tarvex::get_slow_data_header() { return link_->get_slow_data_header(); }
char* Tarvex::take_record_array(unsigned int* size, unsigned int* capacity) {
    return link_->take_record_array(size, capacity);
}
void Tarvex::reuse_record_array(char* array, unsigned int capacity) { link_->reuse_record_array(array, capacity); }
int Tarvex::get_data_fd() const { return link_->get_data_fd(); }
size_t Tarvex::get_buffered_bytes() const { return link_->get_buffered_bytes(); }
bool Tarvex::get_peer_closed() const { return link_->get_peer_closed(); }
int Tarvex::ReceiveImageHeader(kbr7_image_ext_intro* im_fr_hd) { return link_->ReceiveImageHeader(im_fr_hd); }
int Tarvex::ReceiveImageData(kbr7_image_ext_intro* im_fr_hd, char** buf, int sz) {
    return link_->ReceiveImageData(im_fr_hd, buf, sz);
}
int Tarvex::ReceiveImage(kbr7_image_ext_intro* im_fr_hd, char** buf, int sz) {
    return link_->ReceiveImage(im_fr_hd, buf, sz);
}
int Tarvex::ReceiveSpectHeader(kbr7_spect_intro* im_fr_hd) { return link_->ReceiveSpectHeader(im_fr_hd); }
int Tarvex::ReceiveSpectData(kbr7_spect_intro* im_fr_hd, char** buf, int sz) {
    return link_->ReceiveSpectData(im_fr_hd, buf, sz);
}
int Tarvex::ReceiveSpect(kbr7_spect_intro* im_fr_hd, char** buf, int sz) {
    return link_->ReceiveSpect(im_fr_hd, buf, sz);
}
int Tarvex::SwapBuffer() { return link_->SwapBuffer(); }
int Tarvex::set_bind_address(const char* ipv4) { return link_->set_bind_address(ipv4); }
int Tarvex::set_allowed_peers(const char* list) { return link_->set_allowed_peers(list); }
int Tarvex::set_allowed_uids(const char* list) { return link_->set_allowed_uids(list); }
int Tarvex::set_socket_dir(const char* dir) { return link_->set_socket_dir(dir); }
int Tarvex::set_socket_mode(int mode) { return link_->set_socket_mode(mode); }
int Tarvex::set_max_record(unsigned long long bytes) { return link_->set_max_record(bytes); }
int Tarvex::set_record_timeout(int ms) { return link_->set_record_timeout(ms); }
int Tarvex::set_preamble_timeout(int ms) { return link_->set_preamble_timeout(ms); }
int Tarvex::set_reuse_address(bool on) { return link_->set_reuse_address(on); }
unsigned long long Tarvex::get_refused_peers() const { return link_->get_refused_peers(); }
