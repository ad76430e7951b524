// Sending: one record from a caller's gather list, a batch of records, and
// a raw request block, on a connection.  Not installed.
#ifndef TARVEX_DETAIL_SENDER_H
#define TARVEX_DETAIL_SENDER_H

#include <sys/uio.h>

#include "Tarvex.h"
#include "detail/Connection.h"

namespace tarvex {
namespace detail {

int send_event(Connection& c, iovec* vec, int frsin, int mode);
int send_event_batch(Connection& c, const TarvexRecord* recs, int n, int* sent);
int send_request(Connection& c, char* buf, int sz);

}  // namespace detail
}  // namespace tarvex

#endif
