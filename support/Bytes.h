// Bytes as the programs of this tree build and compare them: words in a
// chosen byte order, the bytes of an object, and pieces put together.
#ifndef TARVEX_SUPPORT_BYTES_H
#define TARVEX_SUPPORT_BYTES_H

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tt {

using Bytes = std::vector<unsigned char>;

constexpr bool host_is_little_endian() { return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__; }

// The 4 bytes of `v`, most significant first (big-endian) or last.
Bytes be32(uint32_t v);
Bytes le32(uint32_t v);
// The 4 bytes of `v` as this machine stores it, and as a machine of the
// other byte order does.
Bytes host32(uint32_t v);
Bytes opposite32(uint32_t v);

// The bytes of any object as they lie in memory.
template <class T>
Bytes bytes_of(const T& v) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&v);
    return Bytes(p, p + sizeof v);
}

Bytes cat(std::initializer_list<Bytes> parts);

}  // namespace tt

#endif
