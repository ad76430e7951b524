// Status codes returned by every operation of a Tarvex link.
//
// One table: the enumeration, the code-to-name function and the code-to-text
// function are all generated from TARVEX_STATUS_TABLE, so a name, its number
// and its meaning cannot drift apart.  0 is success; 17 and 21 are unused.
#ifndef TARVEX_STATUS_H
#define TARVEX_STATUS_H

#include "TarvexExport.h"

// X(name, number, class, meaning).  The class tells a caller what to do:
//   IDLE     nothing yet (no whole record, no room yet): call again
//   REFUSED  refused for the caller's input or the link's state
//   FAULT    the connection or the system failed
#define TARVEX_STATUS_TABLE(X)                                                                           \
    X(ERR_SOCKET, 1, FAULT, "creating a socket failed")                                                  \
    X(ERR_HOST, 2, FAULT, "resolving the host name failed")                                              \
    X(ERR_CONNECT, 3, FAULT, "connecting to the peer failed")                                            \
    X(ERR_CLOSE, 4, FAULT, "closing a socket failed")                                                    \
    X(ERR_ALREADY_CONNECTED, 5, REFUSED, "a connection already exists")                                  \
    X(ERR_NOT_CONNECTED, 6, REFUSED, "no connection exists")                                             \
    X(ERR_BIND, 7, FAULT, "binding the listening socket failed")                                         \
    X(ERR_LISTEN, 8, FAULT, "listening failed")                                                          \
    X(ERR_ACCEPT, 9, FAULT, "accepting the peer failed")                                                 \
    X(ERR_ALLOC, 10, FAULT, "allocating a working buffer failed")                                        \
    X(ERR_CHECK, 11, REFUSED, "the bytes sent differ from the record length although retries were left") \
    X(ERR_SIZE_MISMATCH, 12, FAULT, "the bytes received differ from the length the header reported")     \
    X(ERR_SEND, 13, FAULT, "a write failed, or a wait for writability failed")                           \
    X(ERR_ALREADY_SETUP, 14, REFUSED, "the end is already established")                                  \
    X(ERR_NOT_SETUP, 15, REFUSED, "the end is not established")                                          \
    X(ERR_READ, 16, FAULT, "a read failed, a wait failed, or too many empty reads came in a row")        \
    X(ERR_PROTOCOL, 18, FAULT, "the preamble exchange failed, or a record header is of no known size")   \
    X(ERR_BAD_VALUE, 19, REFUSED, "a bad argument, an unrecognised preamble, or an inconsistent length") \
    X(ERR_RING_WRITE, 20, FAULT, "the ring buffer accepted a count other than the record size")          \
    X(ERR_TIMEOUT, 22, IDLE, "a timed wait ran out, or no record pattern appeared within the limit")     \
    X(ERR_RETRIES, 23, FAULT, "the sender's retries ran out")                                            \
    X(ERR_NO_BUFFER, 24, REFUSED, "there is no received record")                                         \
    X(ERR_NO_SPACE, 25, REFUSED, "the record does not fit where it is to go")                            \
    X(ERR_NOT_READABLE, 26, IDLE, "the wait for readability used up its budget without readiness")       \
    X(ERR_NOT_WRITABLE, 27, IDLE, "the wait for writability used up its budget without readiness")       \
    X(ERR_AGAIN, 28, IDLE, "writing the header would block")                                             \
    X(ERR_SWAP, 29, FAULT, "a byte-order conversion failed")                                             \
    X(ERR_SCAN_AGAIN, 30, IDLE, "a read during the pattern scan would block")

enum TarvexStatus : int {
    TARVEX_OK = 0,
#define TARVEX_STATUS_ENUMERATOR(name, number, klass, text) name = number,
    TARVEX_STATUS_TABLE(TARVEX_STATUS_ENUMERATOR)
#undef TARVEX_STATUS_ENUMERATOR
};

// "ERR_NO_SPACE" for 25, "OK" for 0, "UNKNOWN" for a number outside the table.
TARVEX_API const char* tarvex_status_name(int status);
// The one-line meaning of a status ("success" for 0, "unknown status" otherwise).
TARVEX_API const char* tarvex_status_text(int status);

enum TarvexStatusClass {
    TARVEX_STATUS_SUCCESS = 0,
    TARVEX_STATUS_IDLE = 1,
    TARVEX_STATUS_REFUSED = 2,
    TARVEX_STATUS_FAULT = 3,
};
// The class of a status (a number outside the table is a fault).
TARVEX_API TarvexStatusClass tarvex_status_class(int status);
// Non-zero for a status that only says "nothing yet": a receive that found
// no whole record within its wait (ERR_TIMEOUT, ERR_SCAN_AGAIN), a wait
// whose budget ran out, a header that would block.  An event loop calls
// again; every other non-zero status ends what the caller was doing.
TARVEX_API int tarvex_status_is_idle(int status);

#endif
