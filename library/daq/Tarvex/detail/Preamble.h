// The 4-byte preamble the accepting end sends right after accept, in its own
// byte order: the connecting end reads it in its own order and learns from
// it whether records on this link must be converted.  Header-only, for the
// link and the programs of this tree that play one of its ends.  Not
// installed.
#ifndef TARVEX_DETAIL_PREAMBLE_H
#define TARVEX_DETAIL_PREAMBLE_H

#include <cstdint>

namespace tarvex {
namespace preamble {

// The words as the accepting end holds them in memory, and as an end of the
// other byte order reads them.
constexpr uint32_t kNative = 0x0a0b0c0d;
constexpr uint32_t kNativeOpposite = 0x0d0c0b0a;
constexpr uint32_t kBigend = 0x0c0d0e0f;
constexpr uint32_t kBigendOpposite = 0x0f0e0d0c;

// Big-endian mode asks for records to travel in big-endian byte order, so
// an end converts exactly when it is itself little-endian.  On a
// little-endian machine that is always: both ends convert.  A big-endian end
// must not, or records between a big-endian and a little-endian end would be
// converted twice and arrive in the wrong order.
constexpr int kBigendModeSwap = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 1 : 0;

// The connecting end's verdict on a received word: 0 or 1 for must_swap,
// -1 when the word belongs to no end of this protocol.
constexpr int swap_for(uint32_t word) {
    return word == kNative                              ? 0
           : word == kNativeOpposite                    ? 1
           : word == kBigend || word == kBigendOpposite ? kBigendModeSwap
                                                        : -1;
}

}  // namespace preamble
}  // namespace tarvex

#endif
