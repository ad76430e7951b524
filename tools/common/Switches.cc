#include "Switches.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Tarvex.h"
#include "detail/Switches.h"

namespace tvt {

namespace {

using tarvex::detail::kSwitchInfo;
using tarvex::detail::switch_info;
using tarvex::detail::SwitchEnd;
using tarvex::detail::SwitchId;
using tarvex::detail::SwitchInfo;
using tarvex::detail::SwitchTransport;

// The transport is chosen before a link exists, from --unix or the
// variable: it is no setting of the link, and each tool places its option
// among its own.
const SwitchInfo& transport_switch() { return switch_info(SwitchId::SockType); }

bool is_transport(const SwitchInfo& r) { return r.id == SwitchId::SockType; }

const char* name(const SwitchInfo& r) { return r.option; }

std::string dashed(const SwitchInfo& r) { return "--" + std::string(name(r)); }

[[noreturn]] void refuse(const Options& opt, const SwitchInfo& r, const std::string& wanted) {
    opt.fail(dashed(r) + " wants " + wanted + ", not '" + opt.text(name(r), "") + "'");
}

// The link's members refuse a bad text with a line of their own; the tool
// says the same in its words, as for every bad option, so the link's line
// is held back.
void set_text(const Options& opt, const SwitchInfo& r, Tarvex& link, int (Tarvex::*member)(const char*),
              const char* wanted) {
    const std::string value = opt.text(name(r), "");
    int st = 0;
    capture_streams([&] { st = (link.*member)(value.c_str()); });
    if (st != 0) refuse(opt, r, wanted);
}

int milliseconds(const Options& opt, const SwitchInfo& r) {
    return static_cast<int>(opt.integer(name(r), 0, 1, INT_MAX));
}

// "0600", "600": three octal digits, one leading 0 allowed; 0 itself is no
// mode the link can be asked for (its members take 0 as "not set").
int octal_mode(const Options& opt, const SwitchInfo& r) {
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

// The directory must exist: a missing one would fail only at the bind or the
// connect.  tarvex_socket_path(), by which the tools show and pick socket
// paths, follows the variable, so the variable is set as well.
void set_socket_dir(const Options& opt, const SwitchInfo& r, Tarvex& link) {
    const std::string dir = opt.text(name(r), "");
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) opt.fail(dashed(r) + " " + dir + ": " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) opt.fail(dashed(r) + " " + dir + ": " + std::strerror(ENOTDIR));
    set_text(opt, r, link, &Tarvex::set_socket_dir, "a directory whose path leaves room for /<port>.tcp");
    setenv(r.variable, dir.c_str(), 1);
}

// How the tools read a given option's value and hand it to the link; the
// cases cover every switch of the table (the compiler says when one is
// missing).
void set_switch(const Options& opt, const SwitchInfo& r, Tarvex& link) {
    switch (r.id) {
        case SwitchId::BindAddress:
            return set_text(opt, r, link, &Tarvex::set_bind_address, "an IPv4 address (a.b.c.d)");
        case SwitchId::AllowedPeers:
            return set_text(opt, r, link, &Tarvex::set_allowed_peers,
                            "IPv4 addresses and CIDR blocks, comma-separated (a.b.c.d or a.b.c.d/n)");
        case SwitchId::AllowedUids:
            return set_text(opt, r, link, &Tarvex::set_allowed_uids, "self, or user ids, comma-separated");
        case SwitchId::SocketDir: return set_socket_dir(opt, r, link);
        case SwitchId::SocketMode:
            if (link.set_socket_mode(octal_mode(opt, r)) != 0) refuse(opt, r, "an octal file mode");
            return;
        case SwitchId::MaxRecord:
            if (link.set_max_record(opt.bytes(name(r), 0, 1, 4ull << 30)) != 0) refuse(opt, r, "a byte count");
            return;
        case SwitchId::RecordTimeout:
            if (link.set_record_timeout(milliseconds(opt, r)) != 0) refuse(opt, r, "milliseconds");
            return;
        case SwitchId::PreambleTimeout:
            if (link.set_preamble_timeout(milliseconds(opt, r)) != 0) refuse(opt, r, "milliseconds");
            return;
        case SwitchId::ReuseAddress: link.set_reuse_address(true); return;
        case SwitchId::SockType: return;  // chosen before the link exists (apply_transport)
    }
}

// Where the tools are safer than the link's default; every other switch
// keeps the link's.
void set_tool_default(const SwitchInfo& r, Tarvex& link) {
    if (r.id == SwitchId::MaxRecord) link.set_max_record(kDefaultMaxRecord);
    if (r.id == SwitchId::PreambleTimeout) link.set_preamble_timeout(kDefaultPreambleTimeoutMs);
}

OptionDef option_of(const SwitchInfo& r) { return {r.option, r.metavar, r.help}; }

bool offered(const SwitchInfo& r, bool receives) { return !is_transport(r) && (receives || !r.receiving); }

bool applies(const SwitchInfo& r, const LinkPlan& plan, bool local) {
    const bool end_ok = r.end == SwitchEnd::Either || (r.end == SwitchEnd::Listening) == plan.listen;
    const bool transport_ok =
        r.transport == SwitchTransport::Either || (r.transport == SwitchTransport::Local) == local;
    return end_ok && transport_ok;
}

// As the help texts put it: "only when listening on TCP" and so on.
std::string rule(const SwitchInfo& r) {
    const std::string local = "with " + dashed(transport_switch());
    std::string where = r.end == SwitchEnd::Listening    ? "when listening"
                        : r.end == SwitchEnd::Connecting ? "when connecting"
                                                         : "";
    if (r.transport == SwitchTransport::Tcp) where += " on TCP (not " + local + ")";
    if (r.transport == SwitchTransport::Local) where += where.empty() ? local : " " + local;
    return "only " + where;
}

bool variable_set(const char* variable) {
    const char* v = std::getenv(variable);
    return v != nullptr && *v != '\0';
}

}  // namespace

OptionDef transport_option() { return option_of(transport_switch()); }

void apply_transport(const Options& opt) { choose_transport(opt.has(name(transport_switch()))); }

std::vector<OptionDef> switch_options(bool receives) {
    std::vector<OptionDef> out;
    for (const SwitchInfo& r : kSwitchInfo)
        if (offered(r, receives)) out.push_back(option_of(r));
    return out;
}

void apply_switches(const Options& opt, const LinkPlan& plan, bool receives, Tarvex& link) {
    const bool local = local_socket_in_use();
    for (const SwitchInfo& r : kSwitchInfo)
        if (offered(r, receives)) opt.only_if(name(r), applies(r, plan, local), rule(r).c_str());
    for (const SwitchInfo& r : kSwitchInfo) {
        if (!offered(r, receives) || !applies(r, plan, local)) continue;
        if (opt.has(name(r)))
            set_switch(opt, r, link);
        else if (!variable_set(r.variable))
            set_tool_default(r, link);
    }
}

}  // namespace tvt
