// The members that set a link's switches, reached by the switch's row
// (detail/Switches.h) and fed the text its environment variable would
// hold: a program that sets a switch either way (the hostile-peer cases set
// each one by its variable or by its member, as their seed says) names the
// switch once.
#ifndef TARVEX_SUPPORT_SWITCH_MEMBERS_H
#define TARVEX_SUPPORT_SWITCH_MEMBERS_H

#include <string>

#include "detail/Switches.h"

class Tarvex;

namespace tt {

using tarvex::detail::SwitchId;

// Sets switch `id` of `link` through its member (set_max_record, ...) from
// `text` in the variable's syntax: numbers of bytes and milliseconds in
// decimal, the socket mode in octal, addresses, lists and directories as
// they are, 1 or 0 for address reuse.  Returns the member's status,
// ERR_BAD_VALUE for a number that does not parse, and -1 for the switch
// that has no member (the transport, KBR7_TARVEX_SOCK_TYPE).
int set_by_member(Tarvex& link, SwitchId id, const std::string& text);

// The variable of switch `id`.
inline const char* variable_of(SwitchId id) { return tarvex::detail::switch_info(id).variable; }

}  // namespace tt

#endif
