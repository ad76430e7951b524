// The last event or slow-data record a link received: its bytes, its kind
// (found once, by the scan), and the link's own record counter.  The
// accessors and WriteBlockToRingBuffer read it; ReceiveEvent replaces it.
// Not installed.
#ifndef TARVEX_DETAIL_RECORD_STORE_H
#define TARVEX_DETAIL_RECORD_STORE_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "TarvexExport.h"
#include "detail/Kinds.h"
#include "event.h"
#include "ringbuf.h"

namespace tarvex {
namespace detail {

class RecordStore {
public:
    RecordStore() = default;
    ~RecordStore() { delete[] buffer; }
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    char* buffer = nullptr;     // the record, header first, or an array offered for the next
    unsigned int size = 0;      // its length; 0 when no record is stored
    unsigned int capacity = 0;  // bytes `buffer` holds: a record that fits takes the array of the one before
    // The kind the scan found for it; null when there is no record (or a
    // test placed bytes of its own).
    const kinds::KindRow* kind = nullptr;
    // It is stored as it travelled and its kind converts it to host order.
    bool converts = false;

    bool owncntr = true;  // count received records in eventn
    int eventn = 0;       // the link's own record counter

    // Gives up the record and its array.
    void release();
    // Room for a record of `length` bytes of `kind`, starting with `header`
    // (`header_size` bytes, as it travelled): the array of the record before
    // when it fits and is not far larger, else a new one.  False when there
    // is no memory (the store is then empty).
    bool place(const kinds::KindRow& kind, const void* header, size_t header_size, unsigned int length);
    // Converts the stored record in place to host order when `convert` (the
    // link's conversion decision) and its kind says it must; 0, ERR_SWAP
    // (with its line) or ERR_NO_BUFFER.
    TARVEX_API int swap(bool convert);  // exported for the tests
    // The conversion of bytes [from, to) of the stored record as they
    // arrive: the conversion's own result (0 on success); a failure is
    // reported once, with swap_failed().
    int swap_part(uint32_t from, uint32_t to) { return kind->convert_record_part(buffer, size, from, to); }
    int swap_failed() const;
    int write_to(RNG_RingBuffer& rb) const;
    // take_record_array and reuse_record_array of Tarvex.
    char* take_array(unsigned int* taken_size, unsigned int* taken_capacity);
    void reuse_array(char* array, unsigned int array_capacity);

    // The accessors of Tarvex.
    int event_number() const;
    KBR7_EVTYPE event_type() const;
    unsigned int event_length() const;
    kbr7_eventheader* event_header() const;
    kbr7_eventheader_2024* event_header_2024() const;
    kbr7_daq_slow_data_header* slow_data_header() const;

private:
    // The stored record in the 2024 layout of the event header.
    bool in_2024_layout() const;
    // The start of the record when it is of one of `kinds`, stands in host
    // order and holds a whole header of `header_size` bytes.
    char* header_of(std::initializer_list<kinds::Kind> kinds, size_t header_size) const;
};

}  // namespace detail
}  // namespace tarvex

#endif
