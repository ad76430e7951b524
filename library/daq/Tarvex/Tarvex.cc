// Construction, configuration and the status-code names of a link.
#include "Tarvex.h"

#include "detail/Io.h"

#include <csignal>
#include <cstring>

namespace {

// A write to a peer that has gone away must fail with EPIPE instead of
// ending the process: the sender turns that into a disconnect.
void ignore_broken_pipe() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace

Tarvex::Tarvex(int md) : Tarvex(false) { bigend_mode = md != 0 ? BIGEND_MODE : NATIVE_MODE; }

Tarvex::Tarvex(bool ns)
    : retrs(10),
      no_delay(true),
      owncntr(true),
      eventn(0),
      sock(-1),
      sockin(-1),
      receiver(),
      sender(),
      len(sizeof(sockaddr_in)),
      connected(0),
      setup(0),
      must_swap(0),
      no_swap(ns),
      receive_lock(0),
      buffer(nullptr),
      size(0),
      lport(0),
      bigend_mode(NATIVE_MODE),
      capacity(0),
      stream(new tarvex::detail::Stream),
      scan_skipped_last(0),
      scan_skipped_total(0) {
    ignore_broken_pipe();
}

Tarvex::~Tarvex() {
    delete[] buffer;
    delete stream;
}

int Tarvex::SetRetry(int r) {
    if (r <= 0) return ERR_BAD_VALUE;
    retrs = r;
    return 0;
}

int Tarvex::IsLinkActive() { return connected != 0 ? 1 : 0; }

bool Tarvex::get_swap() { return must_swap != 0 && !no_swap; }

bool Tarvex::set_swap_mask(bool m) {
    no_swap = m;
    return m;
}

void Tarvex::set_own_cnt(bool on) { owncntr = on; }
void Tarvex::SetNoDelay() { no_delay = true; }
void Tarvex::SetDelay() { no_delay = false; }
int Tarvex::GetLPort() { return lport; }

const char* tarvex_version() { return TARVEX_VERSION_STRING; }

unsigned long long Tarvex::get_scan_skipped_last() const { return scan_skipped_last; }
unsigned long long Tarvex::get_scan_skipped_total() const { return scan_skipped_total; }

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

int Tarvex::get_data_fd() const { return sockin; }
size_t Tarvex::get_buffered_bytes() const { return stream->buffered_for(sockin); }
bool Tarvex::get_peer_closed() const { return stream->peer_closed(); }
