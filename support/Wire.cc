#include "Wire.h"

#include <cstring>

#include "event.h"

namespace tt {

Bytes filler(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((seed * 13 + i * 7) % 0x7f + 1);
    return b;
}

Bytes event_record(uint32_t pattern, size_t body, uint32_t number, unsigned seed) {
    Bytes head;
    if (pattern == KBR7_PATTERN_2024) {
        kbr7_eventheader_2024 h{};
        h.pattern = pattern;
        h.event_type = KBR7_EV_GMD;
        h.event_length = static_cast<int64_t>(sizeof h + body);
        h.event_number = number;
        h.num_svr_block = 3;
        head = bytes_of(h);
    } else if (pattern == KBR7_PATTERN_SLOW || pattern == KBR7_PATTERN_SLOW_2024) {
        kbr7_daq_slow_data_header h{pattern, static_cast<uint32_t>(sizeof h + body), 5};
        head = bytes_of(h);
    } else {
        kbr7_eventheader h{};
        h.pattern = pattern;
        h.event_length = static_cast<uint32_t>(sizeof h + body);
        h.event_number = number;
        h.event_type = KBR7_EV_BOR;
        h.num_svr_block = 3;
        head = bytes_of(h);
    }
    return cat({head, filler(body, seed)});
}

Bytes intro_record(size_t intro_size, uint32_t pattern, size_t body, unsigned seed) {
    return cat({host32(pattern), host32(static_cast<uint32_t>(intro_size + body)), filler(intro_size - 8, seed + 1),
                filler(body, seed)});
}

}  // namespace tt
