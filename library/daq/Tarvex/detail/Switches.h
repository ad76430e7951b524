// The switches of a link: one row each, from which the link's parsing, its
// setters, the tools' options and the hostile-peer cases are all derived.
// Every switch is an environment variable read afresh by the call that
// needs it; most have a member of Tarvex that, once called, holds the value
// instead (null, or 0, hands it back to the variable).  Unset, the link
// behaves as it always has.  Not installed; the tools and test programs
// reach the table through the internal target.
#ifndef TARVEX_DETAIL_SWITCHES_H
#define TARVEX_DETAIL_SWITCHES_H

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// X(id, field, VARIABLE, value type, what the text must be, tool option, its metavar (null: a flag),
//   the option's help, the end it applies to, the transport it applies to, a receiving limit)
#define TARVEX_SWITCH_TABLE(X)                                                                                         \
    X(BindAddress, bind_address, "KBR7_TARVEX_BIND_ADDR", BindAddress, "an IPv4 address", "bind-addr", "ADDR",         \
      "when listening on TCP: bind only to this IPv4 address (default every interface)", Listening, Tcp, false)        \
    X(AllowedPeers, allowed_peers, "KBR7_TARVEX_ALLOW_PEERS", AllowedPeers,                                            \
      "a list of IPv4 addresses and CIDR blocks", "allow-peers", "LIST",                                               \
      "when listening on TCP: close any peer outside these addresses and a.b.c.d/n blocks", Listening, Tcp, false)     \
    X(AllowedUids, allowed_uids, "KBR7_TARVEX_ALLOW_UIDS", AllowedUids, "self or a list of user ids", "allow-uids",    \
      "LIST", "with --unix: refuse a peer of another user than self or these user ids", Either, Local, false)          \
    X(SocketDir, socket_dir, "KBR7_TARVEX_SOCK_DIR", SocketDir, "a directory with room for the socket path",           \
      "sock-dir", "DIR", "with --unix: the socket file is DIR/<port>.tcp (default /tmp)", Either, Local, false)        \
    X(SocketMode, socket_mode, "KBR7_TARVEX_SOCK_MODE", SocketMode, "an octal file mode", "sock-mode", "MODE",         \
      "when listening with --unix: the socket file's mode, octal (e.g. 0600)", Listening, Local, false)                \
    X(MaxRecord, max_record, "KBR7_TARVEX_MAX_RECORD", ByteLimit, "a number of bytes", "max-record", "BYTES",          \
      "refuse and skip records longer than BYTES (default 64M, at most 4G)", Either, Either, true)                     \
    X(RecordTimeout, record_timeout, "KBR7_TARVEX_RECORD_TIMEOUT_MS", Milliseconds, "a number of milliseconds",        \
      "record-timeout", "MS", "drop a record whose rest does not arrive within MS milliseconds", Either, Either, true) \
    X(PreambleTimeout, preamble_timeout, "KBR7_TARVEX_PREAMBLE_TIMEOUT_MS", Milliseconds, "a number of milliseconds",  \
      "preamble-timeout", "MS", "when connecting: wait at most MS milliseconds for the preamble (default 10000)",      \
      Connecting, Either, false)                                                                                       \
    X(ReuseAddress, reuse_address, "KBR7_TARVEX_REUSE_ADDR", ReuseAddress, "1 or 0", "reuse-addr", nullptr,            \
      "when listening: reuse the address at once, remove a stale socket file of this user", Listening, Either, false)  \
    X(SockType, sock_type, "KBR7_TARVEX_SOCK_TYPE", SockType, "UNIX, or unset for TCP", "unix", nullptr,               \
      "local socket /tmp/<port>.tcp instead of TCP (as KBR7_TARVEX_SOCK_TYPE=UNIX does)", Either, Either, false)

namespace tarvex {
namespace detail {

enum class SwitchId {
#define TARVEX_SWITCH_ID(id, ...) id,
    TARVEX_SWITCH_TABLE(TARVEX_SWITCH_ID)
#undef TARVEX_SWITCH_ID
};

// Where a switch applies, for the tools' refusals of options that do not.
enum class SwitchEnd { Listening, Connecting, Either };
enum class SwitchTransport { Tcp, Local, Either };

// One row as the tools and test programs read it.
struct SwitchInfo {
    SwitchId id;
    const char* variable;
    const char* what;
    const char* option;
    const char* metavar;
    const char* help;
    SwitchEnd end;
    SwitchTransport transport;
    bool receiving;
};

inline constexpr SwitchInfo kSwitchInfo[] = {
#define TARVEX_SWITCH_INFO(id, field, variable, type, what, option, metavar, help, end, transport, receiving) \
    {SwitchId::id, variable, what, option, metavar, help, SwitchEnd::end, SwitchTransport::transport, receiving},
    TARVEX_SWITCH_TABLE(TARVEX_SWITCH_INFO)
#undef TARVEX_SWITCH_INFO
};

constexpr const SwitchInfo& switch_info(SwitchId id) { return kSwitchInfo[static_cast<int>(id)]; }

// --- the parsed values; `set` says whether the switch is on --------------

// An IPv4 network: an address and the length of its prefix (32: one host).
struct Network {
    uint32_t address;  // host order
    int prefix;
    bool contains(uint32_t host_order_address) const;
};

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
// The transport the variable names: the local stream socket for exactly
// "UNIX", TCP for anything else (or nothing).
struct SockType {
    bool set = false;
    bool local = false;
};

// Parses a switch's text; false when it is not what the switch takes.
template <class Value>
bool parse_switch(const char* text, Value& out);

// A switch as a link holds it: set by its member, or left to the variable.
template <class Value>
struct Setting {
    bool by_member = false;
    Value value;
};

// Every switch of a link, and the count of peers its allow lists refused.
struct Switches {
#define TARVEX_SWITCH_FIELD(id, field, variable, type, ...) Setting<type> field;
    TARVEX_SWITCH_TABLE(TARVEX_SWITCH_FIELD)
#undef TARVEX_SWITCH_FIELD
    unsigned long long refused_peers = 0;
};

// The value in force for a call: the member's, else the variable's (unset
// or empty: off).  A variable that does not parse is reported with a line
// naming it and the operation, and `ok` turns false; the call then refuses
// with ERR_BAD_VALUE.
template <class Value>
Value in_force(SwitchId id, const Setting<Value>& setting, const char* operation, bool& ok);

// The member side: parses `text` (null: back to the variable) into the
// setting; false, with a line naming the variable, when it does not parse.
template <class Value>
bool set_by_member(SwitchId id, Setting<Value>& setting, const char* member, const char* text);

}  // namespace detail
}  // namespace tarvex

#endif
