#include "SwitchMembers.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "Tarvex.h"

namespace tt {

namespace {

// A whole number in `base`, within `max`; false for anything else.
bool number(const std::string& text, int base, unsigned long long max, unsigned long long& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, base);
    return errno == 0 && *end == '\0' && out <= max;
}

}  // namespace

int set_by_member(Tarvex& link, SwitchId id, const std::string& text) {
    const char* t = text.c_str();
    unsigned long long n = 0;
    switch (id) {
        case SwitchId::BindAddress: return link.set_bind_address(t);
        case SwitchId::AllowedPeers: return link.set_allowed_peers(t);
        case SwitchId::AllowedUids: return link.set_allowed_uids(t);
        case SwitchId::SocketDir: return link.set_socket_dir(t);
        case SwitchId::SocketMode:
            return number(text, 8, INT_MAX, n) ? link.set_socket_mode(static_cast<int>(n)) : ERR_BAD_VALUE;
        case SwitchId::MaxRecord: return number(text, 10, ULLONG_MAX, n) ? link.set_max_record(n) : ERR_BAD_VALUE;
        case SwitchId::RecordTimeout:
            return number(text, 10, INT_MAX, n) ? link.set_record_timeout(static_cast<int>(n)) : ERR_BAD_VALUE;
        case SwitchId::PreambleTimeout:
            return number(text, 10, INT_MAX, n) ? link.set_preamble_timeout(static_cast<int>(n)) : ERR_BAD_VALUE;
        case SwitchId::ReuseAddress:
            return text == "1" || text == "0" ? link.set_reuse_address(text == "1") : ERR_BAD_VALUE;
        case SwitchId::SockType: break;  // no member: the transport is the variable's alone
    }
    return -1;
}

}  // namespace tt
