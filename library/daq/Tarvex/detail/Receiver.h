// Receiving: events and slow data into the record store, images and
// spectra into caller buffers, on a connection.  Not installed.
#ifndef TARVEX_DETAIL_RECEIVER_H
#define TARVEX_DETAIL_RECEIVER_H

#include "detail/Connection.h"
#include "detail/RecordStore.h"
#include "detail/Switches.h"
#include "event.h"
#include "ringbuf.h"

namespace tarvex {
namespace detail {

int receive_event(Connection& c, RecordStore& store, const Switches& s, RNG_RingBuffer* rb, int trs, int sec, int usec);

// Images and spectra: an intro found by the scan, then its body.
int receive_image_header(Connection& c, const Switches& s, kbr7_image_ext_intro* intro);
int receive_image_data(Connection& c, RecordStore& store, const Switches& s, kbr7_image_ext_intro* intro, char** buf,
                       int sz);
int receive_spect_header(Connection& c, const Switches& s, kbr7_spect_intro* intro);
int receive_spect_data(Connection& c, RecordStore& store, const Switches& s, kbr7_spect_intro* intro, char** buf,
                       int sz);

}  // namespace detail
}  // namespace tarvex

#endif
