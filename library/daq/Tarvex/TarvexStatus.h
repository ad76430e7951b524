// Status codes returned by every operation of a Tarvex link.
//
// One table: the enumeration, the code-to-name function and the code-to-text
// function are all generated from TARVEX_STATUS_TABLE, so a name, its number
// and its meaning cannot drift apart.  0 is success; 17 and 21 are unused.
#ifndef TARVEX_STATUS_H
#define TARVEX_STATUS_H

#include "TarvexExport.h"

// X(name, number, meaning)
#define TARVEX_STATUS_TABLE(X)                                                                  \
    X(ERR_SOCKET, 1, "creating a socket failed")                                                \
    X(ERR_HOST, 2, "resolving the host name failed")                                            \
    X(ERR_CONNECT, 3, "connecting to the peer failed")                                          \
    X(ERR_CLOSE, 4, "closing a socket failed")                                                  \
    X(ERR_ALREADY_CONNECTED, 5, "a connection already exists")                                  \
    X(ERR_NOT_CONNECTED, 6, "no connection exists")                                             \
    X(ERR_BIND, 7, "binding the listening socket failed")                                       \
    X(ERR_LISTEN, 8, "listening failed")                                                        \
    X(ERR_ACCEPT, 9, "accepting the peer failed")                                               \
    X(ERR_ALLOC, 10, "allocating a working buffer failed")                                      \
    X(ERR_CHECK, 11, "the bytes sent differ from the record length although retries were left") \
    X(ERR_SIZE_MISMATCH, 12, "the bytes received differ from the length the header reported")   \
    X(ERR_SEND, 13, "a write failed, or a wait for writability failed")                         \
    X(ERR_ALREADY_SETUP, 14, "the end is already established")                                  \
    X(ERR_NOT_SETUP, 15, "the end is not established")                                          \
    X(ERR_READ, 16, "a read failed, a wait failed, or too many empty reads came in a row")      \
    X(ERR_PROTOCOL, 18, "the preamble exchange failed, or a record header is of no known size") \
    X(ERR_BAD_VALUE, 19, "a bad argument, an unrecognised preamble, or an inconsistent length") \
    X(ERR_RING_WRITE, 20, "the ring buffer accepted a count other than the record size")        \
    X(ERR_TIMEOUT, 22, "a timed wait ran out, or no record pattern appeared within the limit")  \
    X(ERR_RETRIES, 23, "the sender's retries ran out")                                          \
    X(ERR_NO_BUFFER, 24, "there is no received record")                                         \
    X(ERR_NO_SPACE, 25, "the record does not fit where it is to go")                            \
    X(ERR_NOT_READABLE, 26, "the wait for readability used up its budget without readiness")    \
    X(ERR_NOT_WRITABLE, 27, "the wait for writability used up its budget without readiness")    \
    X(ERR_AGAIN, 28, "writing the header would block")                                          \
    X(ERR_SWAP, 29, "a byte-order conversion failed")                                           \
    X(ERR_SCAN_AGAIN, 30, "a read during the pattern scan would block")

enum TarvexStatus : int {
    TARVEX_OK = 0,
#define TARVEX_STATUS_ENUMERATOR(name, number, text) name = number,
    TARVEX_STATUS_TABLE(TARVEX_STATUS_ENUMERATOR)
#undef TARVEX_STATUS_ENUMERATOR
};

// "ERR_NO_SPACE" for 25, "OK" for 0, "UNKNOWN" for a number outside the table.
TARVEX_API const char* tarvex_status_name(int status);
// The one-line meaning of a status ("success" for 0, "unknown status" otherwise).
TARVEX_API const char* tarvex_status_text(int status);

#endif
