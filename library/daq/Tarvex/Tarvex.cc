// The public class: construction, configuration, and every call handed to
// the part of the link that owns its state (detail/Link.h); the status
// table's functions.
#include "Tarvex.h"

#include <csignal>
#include <cstdio>
#include <string>

#include "detail/Endpoint.h"
#include "detail/Link.h"
#include "detail/Receiver.h"
#include "detail/Sender.h"
#include "detail/Socket.h"

using tarvex::detail::Link;
using tarvex::detail::SwitchId;

namespace tarvex {
namespace detail {

Link::Link(int mode, bool mask) {
    // A write to a peer that has gone away must fail with EPIPE instead of
    // ending the process: the sender turns that into a disconnect.
    std::signal(SIGPIPE, SIG_IGN);
    endpoint.bigend_mode = mode;
    connection.no_swap = mask;
    connection.owner = this;
    connection.end_link = [](void* owner) { static_cast<Link*>(owner)->disconnect(); };
}

}  // namespace detail
}  // namespace tarvex

namespace {

// Every member of a switch goes through the variable's syntax, so that one
// parser decides what a value may be; a number of 0 (or null) hands the
// switch back to its variable.
template <class Value>
int set_switch(tarvex::detail::Setting<Value>& setting, SwitchId id, const char* member, const char* text) {
    return tarvex::detail::set_by_member(id, setting, member, text) ? 0 : ERR_BAD_VALUE;
}

// Numbers in the variable's syntax; 0 clears the switch.  A negative one
// becomes a text no parser takes, refused with the switch's line.
template <class Value>
int set_switch(tarvex::detail::Setting<Value>& setting, SwitchId id, const char* member, unsigned long long number,
               const char* format = "%llu") {
    if (number == 0) return set_switch(setting, id, member, nullptr);
    char text[32];
    std::snprintf(text, sizeof text, format, number);
    return set_switch(setting, id, member, text);
}

template <class Value>
int set_switch(tarvex::detail::Setting<Value>& setting, SwitchId id, const char* member, int number,
               const char* format = "%llu") {
    if (number >= 0) return set_switch(setting, id, member, static_cast<unsigned long long>(number), format);
    const std::string text = std::to_string(number);
    return set_switch(setting, id, member, text.c_str());
}

}  // namespace

const char* tarvex_version() { return TARVEX_VERSION_STRING; }

const char* tarvex_status_name(int status) {
    switch (status) {
        case 0: return "OK";
#define TARVEX_STATUS_NAME_CASE(name, number, klass, text) \
    case number: return #name;
            TARVEX_STATUS_TABLE(TARVEX_STATUS_NAME_CASE)
#undef TARVEX_STATUS_NAME_CASE
        default: return "UNKNOWN";
    }
}

const char* tarvex_status_text(int status) {
    switch (status) {
        case 0: return "success";
#define TARVEX_STATUS_TEXT_CASE(name, number, klass, text) \
    case number: return text;
            TARVEX_STATUS_TABLE(TARVEX_STATUS_TEXT_CASE)
#undef TARVEX_STATUS_TEXT_CASE
        default: return "unknown status";
    }
}

TarvexStatusClass tarvex_status_class(int status) {
    switch (status) {
        case 0: return TARVEX_STATUS_SUCCESS;
#define TARVEX_STATUS_CLASS_CASE(name, number, klass, text) \
    case number: return TARVEX_STATUS_##klass;
            TARVEX_STATUS_TABLE(TARVEX_STATUS_CLASS_CASE)
#undef TARVEX_STATUS_CLASS_CASE
        default: return TARVEX_STATUS_FAULT;
    }
}

int tarvex_status_is_idle(int status) { return tarvex_status_class(status) == TARVEX_STATUS_IDLE; }

int tarvex_socket_path(int port, char* buf, size_t size) {
    bool ok = true;
    const tarvex::detail::Switches none;
    return std::snprintf(buf, size, "%s", tarvex::detail::local_path(none, port, "tarvex_socket_path", ok).c_str());
}

// ---------------------------------------------------------------------------
// Tarvex: every call goes to the part that owns its state

Tarvex::Tarvex(int md) : link_(new Link(md != 0 ? BIGEND_MODE : NATIVE_MODE, false)) {}
Tarvex::Tarvex(bool ns) : link_(new Link(NATIVE_MODE, ns)) {}
// The stored record only: sockets stay open and the local socket file stays
// in place (Disconnect and SocketRelease do that).
Tarvex::~Tarvex() { delete link_; }

// --- configuration and queries ---
int Tarvex::SetRetry(int r) {
    if (r <= 0) return ERR_BAD_VALUE;
    link_->connection.retrs = r;
    return 0;
}
int Tarvex::IsLinkActive() { return link_->connection.connected != 0 ? 1 : 0; }
bool Tarvex::get_swap() { return link_->connection.get_swap(); }
bool Tarvex::set_swap_mask(bool m) {
    link_->connection.no_swap = m;
    return m;
}
void Tarvex::set_own_cnt(bool on) { link_->store.owncntr = on; }
void Tarvex::SetNoDelay() { link_->connection.no_delay = true; }
void Tarvex::SetDelay() { link_->connection.no_delay = false; }
int Tarvex::GetLPort() { return link_->endpoint.lport; }
int Tarvex::get_bound_port() const { return tarvex::detail::bound_port(link_->endpoint); }
unsigned long long Tarvex::get_scan_skipped_last() const { return link_->connection.scan_skipped_last; }
unsigned long long Tarvex::get_scan_skipped_total() const { return link_->connection.scan_skipped_total; }
unsigned long long Tarvex::get_no_room_answers() const { return link_->connection.no_room_answers; }

// --- admission and limits ---
int Tarvex::set_bind_address(const char* ipv4) {
    return set_switch(link_->switches.bind_address, SwitchId::BindAddress, "set_bind_address", ipv4);
}
int Tarvex::set_allowed_peers(const char* list) {
    return set_switch(link_->switches.allowed_peers, SwitchId::AllowedPeers, "set_allowed_peers", list);
}
int Tarvex::set_allowed_uids(const char* list) {
    return set_switch(link_->switches.allowed_uids, SwitchId::AllowedUids, "set_allowed_uids", list);
}
int Tarvex::set_socket_dir(const char* dir) {
    return set_switch(link_->switches.socket_dir, SwitchId::SocketDir, "set_socket_dir", dir);
}
int Tarvex::set_socket_mode(int mode) {
    return set_switch(link_->switches.socket_mode, SwitchId::SocketMode, "set_socket_mode", mode, "%llo");
}
// The receive limits are read again by the next receive.
int Tarvex::set_max_record(unsigned long long bytes) {
    link_->connection.limits.taken = false;
    return set_switch(link_->switches.max_record, SwitchId::MaxRecord, "set_max_record", bytes);
}
int Tarvex::set_record_timeout(int ms) {
    link_->connection.limits.taken = false;
    return set_switch(link_->switches.record_timeout, SwitchId::RecordTimeout, "set_record_timeout", ms);
}
int Tarvex::set_preamble_timeout(int ms) {
    return set_switch(link_->switches.preamble_timeout, SwitchId::PreambleTimeout, "set_preamble_timeout", ms);
}
int Tarvex::set_reuse_address(bool on) {
    return set_switch(link_->switches.reuse_address, SwitchId::ReuseAddress, "set_reuse_address", on ? "1" : nullptr);
}
unsigned long long Tarvex::get_refused_peers() const { return link_->switches.refused_peers; }

// --- the endpoint and the connection ---
int Tarvex::SocketSetup(int port) { return tarvex::detail::setup_endpoint(link_->endpoint, link_->switches, port); }
int Tarvex::SocketRelease() {
    return tarvex::detail::release_endpoint(link_->endpoint, link_->connection, link_->switches);
}
int Tarvex::Connect(bool how) {
    return tarvex::detail::accept_connection(link_->endpoint, link_->connection, link_->switches, how);
}
int Tarvex::Connect(const char* host, int port) {
    return tarvex::detail::connect_to_peer(link_->endpoint, link_->connection, link_->switches, host, port);
}
int Tarvex::Disconnect() { return link_->disconnect(); }
int Tarvex::IfReady(bool op, int trs, int sec, int usec) { return link_->connection.if_ready(op, trs, sec, usec); }
int Tarvex::get_data_fd() const { return link_->connection.fd(); }
size_t Tarvex::get_buffered_bytes() const { return link_->connection.stream.buffered(); }
bool Tarvex::get_peer_closed() const { return link_->connection.stream.peer_closed(); }

// --- sending ---
int Tarvex::SendEvent(iovec* vec, int frsin, int mode) {
    return tarvex::detail::send_event(link_->connection, vec, frsin, mode);
}
int Tarvex::SendRequest(char* buf, int sz) { return tarvex::detail::send_request(link_->connection, buf, sz); }
int Tarvex::SendEventBatch(const TarvexRecord* recs, int n, int* sent) {
    return tarvex::detail::send_event_batch(link_->connection, recs, n, sent);
}

// --- receiving, and the record store ---
int Tarvex::ReceiveEvent(RNG_RingBuffer* rb, int trs, int sec, int usec) {
    return tarvex::detail::receive_event(link_->connection, link_->store, link_->switches, rb, trs, sec, usec);
}
int Tarvex::SwapBuffer() { return link_->store.swap(link_->connection.get_swap()); }
int Tarvex::WriteBlockToRingBuffer(RNG_RingBuffer& rb) { return link_->store.write_to(rb); }
int Tarvex::get_event_number() { return link_->store.event_number(); }
KBR7_EVTYPE Tarvex::get_event_type() { return link_->store.event_type(); }
unsigned int Tarvex::get_event_length() { return link_->store.event_length(); }
kbr7_eventheader* Tarvex::get_event_header() { return link_->store.event_header(); }
kbr7_eventheader_2024* Tarvex::get_event_header_2024() { return link_->store.event_header_2024(); }
kbr7_daq_slow_data_header* Tarvex::get_slow_data_header() { return link_->store.slow_data_header(); }
char* Tarvex::take_record_array(unsigned int* size, unsigned int* capacity) {
    return link_->store.take_array(size, capacity);
}
void Tarvex::reuse_record_array(char* array, unsigned int capacity) { link_->store.reuse_array(array, capacity); }

int Tarvex::ReceiveImageHeader(kbr7_image_ext_intro* im_fr_hd) {
    return tarvex::detail::receive_image_header(link_->connection, link_->switches, im_fr_hd);
}
int Tarvex::ReceiveImageData(kbr7_image_ext_intro* im_fr_hd, char** buf, int sz) {
    return tarvex::detail::receive_image_data(link_->connection, link_->store, link_->switches, im_fr_hd, buf, sz);
}
int Tarvex::ReceiveImage(kbr7_image_ext_intro* im_fr_hd, char** buf, int sz) {
    const int st = ReceiveImageHeader(im_fr_hd);
    return st != 0 ? st : ReceiveImageData(im_fr_hd, buf, sz);
}
int Tarvex::ReceiveSpectHeader(kbr7_spect_intro* im_fr_hd) {
    return tarvex::detail::receive_spect_header(link_->connection, link_->switches, im_fr_hd);
}
int Tarvex::ReceiveSpectData(kbr7_spect_intro* im_fr_hd, char** buf, int sz) {
    return tarvex::detail::receive_spect_data(link_->connection, link_->store, link_->switches, im_fr_hd, buf, sz);
}
int Tarvex::ReceiveSpect(kbr7_spect_intro* im_fr_hd, char** buf, int sz) {
    const int st = ReceiveSpectHeader(im_fr_hd);
    return st != 0 ? st : ReceiveSpectData(im_fr_hd, buf, sz);
}
