#include "RecordStore.h"

#include <cstring>
#include <new>

#include "TarvexStatus.h"
#include "detail/Log.h"

namespace tarvex {
namespace detail {

using kinds::Family;
using kinds::Kind;
using kinds::KindRow;

namespace {

uint32_t load32(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

void RecordStore::release() {
    delete[] buffer;
    buffer = nullptr;
    size = 0;
    capacity = 0;
    kind = nullptr;
    converts = false;
}

bool RecordStore::place(const KindRow& k, const void* header, size_t header_size, unsigned int length) {
    // Records of one size in a row share one array; one much smaller than
    // the array gets its own, so that a single large record does not pin its
    // memory for good.
    if (buffer == nullptr || length > capacity || length < capacity / 4) {
        release();
        // A hostile length must not end the program: no memory for the
        // record is a status, and the next call finds the following record.
        buffer = new (std::nothrow) char[length];
        if (buffer == nullptr) return false;
        capacity = length;
    }
    size = length;
    kind = &k;
    std::memcpy(buffer, header, header_size);
    // The header is stored as it travelled: a converted event shows its
    // pattern reversed, and slow data converts in either order.
    bool other_order = false;
    const KindRow* travelled = kinds::event_kind_of(load32(buffer), &other_order, true);
    converts = travelled != nullptr && (other_order || travelled->family == Family::Slow);
    return true;
}

// A record is stored when `size` is not 0: an array offered by
// reuse_array holds none yet.
int RecordStore::swap(bool convert) {
    if (!convert) return 0;
    if (buffer == nullptr || size == 0) return ERR_NO_BUFFER;
    if (kind == nullptr || !converts) return 0;
    return kind->convert_record(buffer) == 0 ? 0 : swap_failed();
}

int RecordStore::swap_failed() const {
    log_out(kind->kind == Kind::Slow       ? text::kBadSwapSlow
            : kind->kind == Kind::Slow2024 ? text::kBadSwapSlow2024
                                           : text::kBadSwapEvent);
    return ERR_SWAP;
}

int RecordStore::write_to(RNG_RingBuffer& rb) const {
    if (buffer == nullptr || size == 0) return ERR_NO_BUFFER;
    return rb.Write(buffer, size) == size ? 0 : ERR_RING_WRITE;
}

char* RecordStore::take_array(unsigned int* taken_size, unsigned int* taken_capacity) {
    char* array = size > 0 ? buffer : nullptr;
    if (taken_size != nullptr) *taken_size = array != nullptr ? size : 0;
    if (taken_capacity != nullptr) *taken_capacity = array != nullptr ? capacity : 0;
    if (array != nullptr) {
        buffer = nullptr;
        release();
    }
    return array;
}

// The offered array waits in `buffer` with no record in it, so that place()'s
// rule for reusing the store's own array decides about it.
void RecordStore::reuse_array(char* array, unsigned int array_capacity) {
    if (array == nullptr) return;
    if (buffer != nullptr) {
        delete[] array;
        return;
    }
    buffer = array;
    capacity = array_capacity;
    size = 0;
    kind = nullptr;
    converts = false;
}

// ---------------------------------------------------------------------------
// The accessors

namespace {

// The 32-bit word at `offset` of a record, or false when there is no
// record or the word lies beyond it: a short slow-data record may not reach
// the offset an event field lies at, and the accessors then answer as for
// an empty buffer instead of reading outside the array.
bool word_at(const char* buffer, unsigned int size, size_t offset, uint32_t& v) {
    if (buffer == nullptr || offset + sizeof v > size) return false;
    v = load32(buffer + offset);
    return true;
}

// Offset of the low 32 bits of a field: the 64-bit field of the 2024 header,
// or the 32-bit field of the older layout.
size_t low_word_offset(bool layout_2024, size_t field_2024, size_t field) {
    if (!layout_2024) return field;
    return field_2024 + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
}

}  // namespace

// The record's own generation decides, whatever another link or a send did
// to the process-wide one since; bytes placed without a kind fall back on
// the process-wide generation.
bool RecordStore::in_2024_layout() const {
    return kind != nullptr ? kind->generation == kinds::Generation::G2024 : is_data_format_2024();
}

int RecordStore::event_number() const {
    if (owncntr) return eventn;
    uint32_t v;
    const size_t at = low_word_offset(in_2024_layout(), offsetof(kbr7_eventheader_2024, event_number),
                                      offsetof(kbr7_eventheader, event_number));
    return word_at(buffer, size, at, v) ? static_cast<int>(v) : -1;
}

KBR7_EVTYPE RecordStore::event_type() const {
    const size_t at =
        in_2024_layout() ? offsetof(kbr7_eventheader_2024, event_type) : offsetof(kbr7_eventheader, event_type);
    uint32_t v;
    return word_at(buffer, size, at, v) ? static_cast<KBR7_EVTYPE>(v) : KBR7_EV_EVMAX;
}

unsigned int RecordStore::event_length() const {
    uint32_t v;
    const size_t at = low_word_offset(in_2024_layout(), offsetof(kbr7_eventheader_2024, event_length),
                                      offsetof(kbr7_eventheader, event_length));
    return word_at(buffer, size, at, v) ? v : 0;
}

// The start of the record when it is of one of `kinds`, stands in host
// order (its pattern is its kind's) and holds the whole header.
char* RecordStore::header_of(std::initializer_list<Kind> kinds, size_t header_size) const {
    if (buffer == nullptr || kind == nullptr || size < header_size) return nullptr;
    for (Kind k : kinds)
        if (kind->kind == k && load32(buffer) == kind->pattern) return buffer;
    return nullptr;
}

kbr7_eventheader* RecordStore::event_header() const {
    return reinterpret_cast<kbr7_eventheader*>(header_of({Kind::Legacy, Kind::Event2010}, sizeof(kbr7_eventheader)));
}

kbr7_eventheader_2024* RecordStore::event_header_2024() const {
    return reinterpret_cast<kbr7_eventheader_2024*>(header_of({Kind::Event2024}, sizeof(kbr7_eventheader_2024)));
}

kbr7_daq_slow_data_header* RecordStore::slow_data_header() const {
    return reinterpret_cast<kbr7_daq_slow_data_header*>(
        header_of({Kind::Slow2024, Kind::Slow}, sizeof(kbr7_daq_slow_data_header)));
}

}  // namespace detail
}  // namespace tarvex
