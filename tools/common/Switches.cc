#include "Switches.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Tarvex.h"

namespace tvt {

namespace {

enum class End { Listening, Connecting, Either };
enum class Transport { Tcp, Local, Either };

struct SwitchRow;
using Setter = void (*)(const Options& opt, const SwitchRow& row, Tarvex& link);
using DefaultSetter = void (*)(Tarvex& link);

// One switch: its option, the variable the link reads when the option is
// not given, where it applies, and how the option's value reaches the link.
struct SwitchRow {
    OptionDef option;
    const char* variable;
    End end;
    Transport transport;
    bool receiving;  // bounds the receivers: offered by tools that receive records
    Setter set;
    DefaultSetter tool_default;  // null: the link's own default
};

const char* name(const SwitchRow& r) { return r.option.name; }

[[noreturn]] void refuse(const Options& opt, const SwitchRow& r, const std::string& wanted) {
    opt.fail("--" + std::string(name(r)) + " wants " + wanted + ", not '" + opt.text(name(r), "") + "'");
}

// The link's members refuse a bad text with a line of their own; the tool
// says the same in its words, as for every bad option, so the link's line
// is held back.
void set_text(const Options& opt, const SwitchRow& r, Tarvex& link, int (Tarvex::*member)(const char*),
              const char* wanted) {
    const std::string value = opt.text(name(r), "");
    int st = 0;
    capture_streams([&] { st = (link.*member)(value.c_str()); });
    if (st != 0) refuse(opt, r, wanted);
}

int milliseconds(const Options& opt, const SwitchRow& r) {
    return static_cast<int>(opt.integer(name(r), 0, 1, INT_MAX));
}

// "0600", "600": three octal digits, one leading 0 allowed; 0 itself is no
// mode the link can be asked for (its members take 0 as "not set").
int octal_mode(const Options& opt, const SwitchRow& r) {
    std::string text = opt.text(name(r), "");
    if (text.size() == 4 && text[0] == '0') text.erase(0, 1);
    int mode = 0;
    bool ok = text.size() == 3;
    for (char c : text) {
        ok = ok && c >= '0' && c <= '7';
        mode = mode * 8 + (c - '0');
    }
    if (!ok || mode == 0) refuse(opt, r, "an octal file mode from 0001 to 0777 (e.g. 0600)");
    return mode;
}

void set_bind_address(const Options& opt, const SwitchRow& r, Tarvex& link) {
    set_text(opt, r, link, &Tarvex::set_bind_address, "an IPv4 address (a.b.c.d)");
}

void set_allowed_peers(const Options& opt, const SwitchRow& r, Tarvex& link) {
    set_text(opt, r, link, &Tarvex::set_allowed_peers,
             "IPv4 addresses and CIDR blocks, comma-separated (a.b.c.d or a.b.c.d/n)");
}

void set_allowed_uids(const Options& opt, const SwitchRow& r, Tarvex& link) {
    set_text(opt, r, link, &Tarvex::set_allowed_uids, "self, or user ids, comma-separated");
}

// The directory must exist: a missing one would fail only at the bind or the
// connect.  tarvex_socket_path(), by which the tools show and pick socket
// paths, follows the variable, so the variable is set as well.
void set_socket_dir(const Options& opt, const SwitchRow& r, Tarvex& link) {
    const std::string dir = opt.text(name(r), "");
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) opt.fail("--" + std::string(name(r)) + " " + dir + ": " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) opt.fail("--" + std::string(name(r)) + " " + dir + ": " + std::strerror(ENOTDIR));
    set_text(opt, r, link, &Tarvex::set_socket_dir, "a directory whose path leaves room for /<port>.tcp");
    setenv(r.variable, dir.c_str(), 1);
}

void set_socket_mode(const Options& opt, const SwitchRow& r, Tarvex& link) {
    if (link.set_socket_mode(octal_mode(opt, r)) != 0) refuse(opt, r, "an octal file mode");
}

void set_max_record(const Options& opt, const SwitchRow& r, Tarvex& link) {
    const unsigned long long bytes = opt.bytes(name(r), 0, 1, 4ull << 30);
    if (link.set_max_record(bytes) != 0) refuse(opt, r, "a byte count");
}

void set_record_timeout(const Options& opt, const SwitchRow& r, Tarvex& link) {
    if (link.set_record_timeout(milliseconds(opt, r)) != 0) refuse(opt, r, "milliseconds");
}

void set_preamble_timeout(const Options& opt, const SwitchRow& r, Tarvex& link) {
    if (link.set_preamble_timeout(milliseconds(opt, r)) != 0) refuse(opt, r, "milliseconds");
}

void set_reuse_address(const Options&, const SwitchRow&, Tarvex& link) { link.set_reuse_address(true); }

const SwitchRow kSwitches[] = {
    {{"bind-addr", "ADDR", "when listening on TCP: bind only to this IPv4 address (default every interface)"},
     "KBR7_TARVEX_BIND_ADDR",
     End::Listening,
     Transport::Tcp,
     false,
     set_bind_address,
     nullptr},
    {{"allow-peers", "LIST", "when listening on TCP: close any peer outside these addresses and a.b.c.d/n blocks"},
     "KBR7_TARVEX_ALLOW_PEERS",
     End::Listening,
     Transport::Tcp,
     false,
     set_allowed_peers,
     nullptr},
    {{"allow-uids", "LIST", "with --unix: refuse a peer of another user than self or these user ids"},
     "KBR7_TARVEX_ALLOW_UIDS",
     End::Either,
     Transport::Local,
     false,
     set_allowed_uids,
     nullptr},
    {{"sock-dir", "DIR", "with --unix: the socket file is DIR/<port>.tcp (default /tmp)"},
     "KBR7_TARVEX_SOCK_DIR",
     End::Either,
     Transport::Local,
     false,
     set_socket_dir,
     nullptr},
    {{"sock-mode", "MODE", "when listening with --unix: the socket file's mode, octal (e.g. 0600)"},
     "KBR7_TARVEX_SOCK_MODE",
     End::Listening,
     Transport::Local,
     false,
     set_socket_mode,
     nullptr},
    {{"max-record", "BYTES", "refuse and skip records longer than BYTES (default 64M, at most 4G)"},
     "KBR7_TARVEX_MAX_RECORD",
     End::Either,
     Transport::Either,
     true,
     set_max_record,
     [](Tarvex& link) { link.set_max_record(kDefaultMaxRecord); }},
    {{"record-timeout", "MS", "drop a record whose rest does not arrive within MS milliseconds"},
     "KBR7_TARVEX_RECORD_TIMEOUT_MS",
     End::Either,
     Transport::Either,
     true,
     set_record_timeout,
     nullptr},
    {{"preamble-timeout", "MS", "when connecting: wait at most MS milliseconds for the preamble (default 10000)"},
     "KBR7_TARVEX_PREAMBLE_TIMEOUT_MS",
     End::Connecting,
     Transport::Either,
     false,
     set_preamble_timeout,
     [](Tarvex& link) { link.set_preamble_timeout(kDefaultPreambleTimeoutMs); }},
    {{"reuse-addr", nullptr, "when listening: reuse the address at once, remove a stale socket file of this user"},
     "KBR7_TARVEX_REUSE_ADDR",
     End::Listening,
     Transport::Either,
     false,
     set_reuse_address,
     nullptr},
};

bool offered(const SwitchRow& r, bool receives) { return receives || !r.receiving; }

bool applies(const SwitchRow& r, const LinkPlan& plan, bool local) {
    const bool end_ok = r.end == End::Either || (r.end == End::Listening) == plan.listen;
    const bool transport_ok = r.transport == Transport::Either || (r.transport == Transport::Local) == local;
    return end_ok && transport_ok;
}

// As the help texts put it: "only when listening on TCP" and so on.
std::string rule(const SwitchRow& r) {
    std::string where = r.end == End::Listening ? "when listening" : r.end == End::Connecting ? "when connecting" : "";
    if (r.transport == Transport::Tcp) where += " on TCP (not with --unix)";
    if (r.transport == Transport::Local) where += where.empty() ? "with --unix" : " with --unix";
    return "only " + where;
}

bool variable_set(const char* variable) {
    const char* v = std::getenv(variable);
    return v != nullptr && *v != '\0';
}

}  // namespace

std::vector<OptionDef> switch_options(bool receives) {
    std::vector<OptionDef> out;
    for (const SwitchRow& r : kSwitches)
        if (offered(r, receives)) out.push_back(r.option);
    return out;
}

void apply_switches(const Options& opt, const LinkPlan& plan, bool receives, Tarvex& link) {
    const bool local = local_socket_in_use();
    for (const SwitchRow& r : kSwitches)
        if (offered(r, receives)) opt.only_if(name(r), applies(r, plan, local), rule(r).c_str());
    for (const SwitchRow& r : kSwitches) {
        if (!offered(r, receives) || !applies(r, plan, local)) continue;
        if (opt.has(name(r)))
            r.set(opt, r, link);
        else if (r.tool_default != nullptr && !variable_set(r.variable))
            r.tool_default(link);
    }
}

}  // namespace tvt
