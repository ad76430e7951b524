// The link's switches as options of the tools, derived from the link's own
// table of switches (detail/Switches.h: option name, metavar, help, variable,
// where each applies).  Each switch of the link (Tarvex.h, "admission and
// limits") is one option here, set through the link's member before anything
// is opened, so that a value the link refuses ends the program with 2 like
// any other bad option; how a tool reads the value (byte counts as 64M,
// octal modes) is the tools' own.  An option not given leaves the switch to
// its environment variable, as the link reads it; where the tools are safer
// than the link's default (a cap on record lengths, a limit on the preamble
// wait) they set their own default, but only when the variable is not set
// either: a site's setting wins over a tool's default, an option over both.
// The transport (--unix, KBR7_TARVEX_SOCK_TYPE) is a row of the same table,
// but it is chosen before a link exists.
#ifndef TARVEX_TOOLS_SWITCHES_H
#define TARVEX_TOOLS_SWITCHES_H

#include <vector>

#include "Options.h"
#include "System.h"

class Tarvex;

namespace tvt {

// The tools' own defaults.
constexpr unsigned long long kDefaultMaxRecord = 64ull << 20;
constexpr int kDefaultPreambleTimeoutMs = 10000;

// The --unix flag, from the table's row of KBR7_TARVEX_SOCK_TYPE; each tool
// places it among its own options.
OptionDef transport_option();
// Chooses the transport from --unix or the variable (choose_transport).
// Call after parsing, before the link is set up.
void apply_transport(const Options& opt);

// The option rows of the switches a tool offers, for its option table; a
// tool that `receives` records also gets the receiving limits
// (--max-record, --record-timeout).
std::vector<OptionDef> switch_options(bool receives);

// Refuses switch options that do not apply to the planned end and transport
// (--bind-addr on a connecting end, --allow-uids without --unix, ...), then
// sets the given switches, and the tools' defaults, on `link`.  Call after
// apply_transport and before the link is opened.  A refused value ends the
// program with 2.
void apply_switches(const Options& opt, const LinkPlan& plan, bool receives, Tarvex& link);

}  // namespace tvt

#endif
