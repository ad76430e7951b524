// Records as bytes on the wire, in this machine's byte order, for tests that
// play the peer: every kind a link receives, with bodies that can never hold
// a record pattern (every byte below 0x80).
#ifndef TARVEX_TEST_WIRE_H
#define TARVEX_TEST_WIRE_H

#include <cstddef>
#include <cstdint>

#include "Bytes.h"

namespace tt {

// `n` bytes from `seed`, each below 0x80.
Bytes filler(size_t n, unsigned seed);

// An event or slow-data record: the header its pattern names (36, 48 or 12
// bytes) with the record's true length, then `body` filler bytes.
Bytes event_record(uint32_t pattern, size_t body, uint32_t number = 1, unsigned seed = 1);

// An image (108-byte intro) or spectrum (56-byte intro) record: pattern,
// length, filler for the rest of the intro, then `body` filler bytes.
Bytes intro_record(size_t intro_size, uint32_t pattern, size_t body, unsigned seed = 1);

}  // namespace tt

#endif
