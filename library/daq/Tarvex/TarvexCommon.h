// Shared declarations of the link: the send modes of SendEvent.
#ifndef TARVEX_COMMON_H
#define TARVEX_COMMON_H

// The `mode` argument of Tarvex::SendEvent.  Any non-zero value acts as
// SendEvent_ACK: the header goes out alone and the peer's 4-byte answer
// admits (0) or refuses (non-zero) the body.
enum SendEvent_mode { SendEvent_NOACK = 0, SendEvent_ACK = 1 };

#endif
