#include "Switches.h"

#include <arpa/inet.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Log.h"

namespace tarvex {
namespace detail {

bool Network::contains(uint32_t a) const {
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    return (a & mask) == (address & mask);
}

bool AllowedPeers::admits(in_addr peer) const {
    if (!set) return true;
    const uint32_t a = ntohl(peer.s_addr);
    for (const Network& n : networks)
        if (n.contains(a)) return true;
    return false;
}

bool AllowedUids::admits(uid_t uid) const {
    if (!set || uid == ::getuid()) return true;
    for (uid_t u : uids)
        if (u == uid) return true;
    return false;
}

namespace {

// Decimal digits only, no sign, no blanks, within `max`.
bool parse_decimal(const char* text, unsigned long long max, unsigned long long& out) {
    if (text == nullptr || *text == '\0') return false;
    unsigned long long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    out = v;
    return true;
}

bool parse_ipv4(const std::string& text, in_addr& out) { return ::inet_pton(AF_INET, text.c_str(), &out) == 1; }

// The comma-separated items of `text`, blanks around them dropped; false
// for an empty item.
bool split_list(const char* text, std::vector<std::string>& items) {
    std::string all(text);
    size_t at = 0;
    for (;;) {
        const size_t comma = std::min(all.find(',', at), all.size());
        std::string item = all.substr(at, comma - at);
        const size_t first = item.find_first_not_of(" \t");
        const size_t last = item.find_last_not_of(" \t");
        if (first == std::string::npos) return false;
        items.push_back(item.substr(first, last - first + 1));
        if (comma == all.size()) return true;
        at = comma + 1;
    }
}

template <class Value>
bool parse_into(const char* text, Value& out) {
    out = Value();
    if (parse_switch(text, out)) return true;
    out = Value();
    return false;
}

}  // namespace

template <>
bool parse_switch(const char* text, BindAddress& out) {
    out.set = parse_ipv4(text, out.address);
    return out.set;
}

template <>
bool parse_switch(const char* text, AllowedPeers& out) {
    std::vector<std::string> items;
    if (!split_list(text, items)) return false;
    out.networks.clear();
    for (const std::string& item : items) {
        const size_t slash = item.find('/');
        in_addr a;
        if (!parse_ipv4(item.substr(0, slash), a)) return false;
        unsigned long long prefix = 32;
        if (slash != std::string::npos && !parse_decimal(item.c_str() + slash + 1, 32, prefix)) return false;
        out.networks.push_back({ntohl(a.s_addr), static_cast<int>(prefix)});
    }
    out.set = true;
    return true;
}

template <>
bool parse_switch(const char* text, AllowedUids& out) {
    out.uids.clear();
    out.set = true;
    if (std::strcmp(text, "self") == 0) return true;
    std::vector<std::string> items;
    if (!split_list(text, items)) return false;
    for (const std::string& item : items) {
        unsigned long long uid;
        if (!parse_decimal(item.c_str(), static_cast<uid_t>(-1) - 1, uid)) return false;
        out.uids.push_back(static_cast<uid_t>(uid));
    }
    return true;
}

// A directory whose socket paths fit the local address: "<dir>/<port>.tcp"
// with the longest port number.
template <>
bool parse_switch(const char* text, SocketDir& out) {
    constexpr size_t kLongestName = sizeof "/-2147483648.tcp" - 1;
    if (*text == '\0' || std::strlen(text) + kLongestName >= sizeof(sockaddr_un::sun_path)) return false;
    out.dir = text;
    out.set = true;
    return true;
}

template <>
bool parse_switch(const char* text, SocketMode& out) {
    if (*text == '\0' || std::strlen(text) > 4) return false;
    unsigned mode = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '7') return false;
        mode = mode * 8 + static_cast<unsigned>(*p - '0');
    }
    if (mode > 0777) return false;
    out.mode = mode;
    out.set = true;
    return true;
}

template <>
bool parse_switch(const char* text, ByteLimit& out) {
    if (!parse_decimal(text, ~0ull, out.bytes) || out.bytes == 0) return false;
    out.set = true;
    return true;
}

template <>
bool parse_switch(const char* text, Milliseconds& out) {
    unsigned long long ms;
    if (!parse_decimal(text, 0x7fffffff, ms) || ms == 0) return false;
    out.ms = static_cast<int>(ms);
    out.set = true;
    return true;
}

template <>
bool parse_switch(const char* text, ReuseAddress& out) {
    if (std::strcmp(text, "1") != 0 && std::strcmp(text, "0") != 0) return false;
    out.set = text[0] == '1';
    return true;
}

// The transport rule: exactly "UNIX" is the local socket, anything else TCP.
template <>
bool parse_switch(const char* text, SockType& out) {
    out.set = true;
    out.local = std::strcmp(text, "UNIX") == 0;
    return true;
}

template <class Value>
Value in_force(SwitchId id, const Setting<Value>& setting, const char* operation, bool& ok) {
    if (setting.by_member) return setting.value;
    const SwitchInfo& s = switch_info(id);
    const char* text = std::getenv(s.variable);
    Value v;
    if (text == nullptr || *text == '\0') return v;
    if (parse_into(text, v)) return v;
    log_errf(text::kBadSwitch, operation, s.variable, text, s.what);
    ok = false;
    return Value();
}

template <class Value>
bool set_by_member(SwitchId id, Setting<Value>& setting, const char* member, const char* text) {
    const SwitchInfo& s = switch_info(id);
    if (text == nullptr) {
        setting = Setting<Value>();
        return true;
    }
    Value v;
    if (!parse_into(text, v)) {
        log_errf(text::kBadSwitch, member, s.variable, text, s.what);
        return false;
    }
    setting.by_member = true;
    setting.value = v;
    return true;
}

// One instance per value type (two switches share Milliseconds).
#define TARVEX_ADMISSION_INSTANCES(Value)                                         \
    template Value in_force(SwitchId, const Setting<Value>&, const char*, bool&); \
    template bool set_by_member(SwitchId, Setting<Value>&, const char*, const char*);
TARVEX_ADMISSION_INSTANCES(BindAddress)
TARVEX_ADMISSION_INSTANCES(AllowedPeers)
TARVEX_ADMISSION_INSTANCES(AllowedUids)
TARVEX_ADMISSION_INSTANCES(SocketDir)
TARVEX_ADMISSION_INSTANCES(SocketMode)
TARVEX_ADMISSION_INSTANCES(ByteLimit)
TARVEX_ADMISSION_INSTANCES(Milliseconds)
TARVEX_ADMISSION_INSTANCES(ReuseAddress)
TARVEX_ADMISSION_INSTANCES(SockType)
#undef TARVEX_ADMISSION_INSTANCES

}  // namespace detail
}  // namespace tarvex
