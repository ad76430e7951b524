// The switches a site sets to keep strays, other users and hostile peers
// out: each one a member of the link or, when the member was not called,
// an environment variable read afresh by the call that needs it.  Unset,
// the link behaves as it always has.  Not installed.
#ifndef TARVEX_DETAIL_ADMISSION_H
#define TARVEX_DETAIL_ADMISSION_H

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarvex {
namespace detail {

// An IPv4 network: an address and the length of its prefix (32: one host).
struct Network {
    uint32_t address;  // host order
    int prefix;
    bool contains(uint32_t host_order_address) const;
};

// The parsed values of every switch.  `set` says whether the switch is on;
// the rest is meaningful only then.
struct BindAddress {
    bool set = false;
    in_addr address{};
};
struct AllowedPeers {
    bool set = false;
    std::vector<Network> networks;
    bool admits(in_addr peer) const;
};
struct AllowedUids {
    bool set = false;
    std::vector<uid_t> uids;  // besides the process's own, always admitted
    bool admits(uid_t uid) const;
};
struct SocketDir {
    bool set = false;
    std::string dir;
};
struct SocketMode {
    bool set = false;
    unsigned mode = 0;
};
struct ByteLimit {
    bool set = false;
    unsigned long long bytes = 0;
};
struct Milliseconds {
    bool set = false;
    int ms = 0;
};
struct ReuseAddress {
    bool set = false;
};

// Each switch: how its text reads, and where a call finds its value.
template <class Value>
struct Switch {
    const char* variable;  // KBR7_TARVEX_...
    const char* what;      // what the text must be, for the refusal line
    bool (*parse)(const char* text, Value& out);
};

extern const Switch<BindAddress> kBindAddress;
extern const Switch<AllowedPeers> kAllowedPeers;
extern const Switch<AllowedUids> kAllowedUids;
extern const Switch<SocketDir> kSocketDir;
extern const Switch<SocketMode> kSocketMode;
extern const Switch<ByteLimit> kMaxRecord;
extern const Switch<Milliseconds> kRecordTimeout;
extern const Switch<Milliseconds> kPreambleTimeout;
extern const Switch<ReuseAddress> kReuseAddress;

// A switch as a link holds it: set by its member, or left to the variable.
template <class Value>
struct Setting {
    bool by_member = false;
    Value value;
};

// The value in force for a call: the member's, else the variable's (unset
// or empty: off).  A variable that does not parse is reported with a line
// naming it and the operation, and `ok` turns false; the call then refuses
// with ERR_BAD_VALUE.
template <class Value>
Value in_force(const Switch<Value>& s, const Setting<Value>& setting, const char* operation, bool& ok);

// The member side: parses `text` (null: back to the variable) into the
// setting; false, with a line naming the variable, when it does not parse.
template <class Value>
bool set_by_member(const Switch<Value>& s, Setting<Value>& setting, const char* member, const char* text);

// Every switch of a link.
struct Admission {
    Setting<BindAddress> bind_address;
    Setting<AllowedPeers> allowed_peers;
    Setting<AllowedUids> allowed_uids;
    Setting<SocketDir> socket_dir;
    Setting<SocketMode> socket_mode;
    Setting<ByteLimit> max_record;
    Setting<Milliseconds> record_timeout;
    Setting<Milliseconds> preamble_timeout;
    Setting<ReuseAddress> reuse_address;
    unsigned long long refused_peers = 0;
};

}  // namespace detail
}  // namespace tarvex

#endif
