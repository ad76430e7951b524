// One link end in its three parts: the endpoint (the listening socket, the
// established state, the admission of peers), the connection (the data
// transport and everything read and written on it) and the record store
// (the last event or slow-data record received), with the switches a site
// set.  Tarvex (the public class) holds one of these and hands each call to
// the part that owns its state.  Not installed.
#ifndef TARVEX_DETAIL_LINK_H
#define TARVEX_DETAIL_LINK_H

#include <type_traits>

#include "Tarvex.h"
#include "detail/Connection.h"
#include "detail/Endpoint.h"
#include "detail/RecordStore.h"
#include "detail/Switches.h"

namespace tarvex {
namespace detail {

struct Link {
    Link(int mode, bool mask);
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    int disconnect() { return detail::disconnect(endpoint, connection); }

    Switches switches;
    Endpoint endpoint;
    Connection connection;
    RecordStore store;
};

// The link behind a Tarvex.  Tarvex is standard-layout and its link is its
// first member, so the object's address is the member's address: tests reach
// a link's parts through this without any friend in the public header.
inline Link& link_of(Tarvex& t) {
    static_assert(std::is_standard_layout<Tarvex>::value, "the link pointer is reached through the object");
    return **reinterpret_cast<Link**>(&t);
}

}  // namespace detail
}  // namespace tarvex

#endif
