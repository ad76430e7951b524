#include "Wire.h"

#include <cstring>

#include "Headers.h"

namespace tt {

Bytes filler(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((seed * 13 + i * 7) % 0x7f + 1);
    return b;
}

Bytes event_record(uint32_t pattern, size_t body, uint32_t number, unsigned seed) {
    // The kind whose pattern this is in host order; any other word heads a
    // 36-byte event header.
    bool other_order = false;
    const tarvex::kinds::KindRow* r = tarvex::kinds::event_kind_of(pattern, &other_order);
    const Kind kind = r != nullptr && !other_order ? r->kind : Kind::Event2010;
    HeadFields f;
    f.number = number;
    f.type = kind == Kind::Event2024 ? KBR7_EV_GMD : KBR7_EV_BOR;
    f.num_svr_block = 3;
    f.channels = 5;
    Bytes head = record_head(kind, tarvex::kinds::row(kind).header + body, f);
    std::memcpy(head.data(), &pattern, sizeof pattern);  // the word as given, whatever it is
    return cat({head, filler(body, seed)});
}

Bytes intro_record(size_t intro_size, uint32_t pattern, size_t body, unsigned seed) {
    return cat({host32(pattern), host32(static_cast<uint32_t>(intro_size + body)), filler(intro_size - 8, seed + 1),
                filler(body, seed)});
}

}  // namespace tt
