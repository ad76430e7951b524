// Ring buffer of whole records.
//
// Rules:
// * A record is stored whole or not at all: Write either takes all n bytes
//   (and returns n) or takes nothing (and returns 0). There is no partial
//   write.
// * The capacity counts record bytes only. Record lengths are kept in a
//   separate index outside the byte capacity, so size() - bytesUsed() is
//   exactly the largest record Write accepts: a record equal to the free
//   space fits, one byte more is refused.
// * A zero-length record is refused (Write returns 0), so that a stored
//   record always has a non-zero size and nextRecordSize() == 0 means empty.
// * Records come out whole and in the order they went in; the byte storage
//   wraps around, so a record may straddle the end of the storage.
// * One producer thread (Write) and one consumer thread (Read) may work at
//   the same time; every member is safe to call from either.
#ifndef TARVEX_RINGBUF_H
#define TARVEX_RINGBUF_H

#include "TarvexExport.h"

// Control record of a ring buffer; its contents are private to the library.
struct RNG_BUFFER_STRUCT;

// Capacity in bytes; 0 for a null control record.
TARVEX_API unsigned long RNG_Size(const RNG_BUFFER_STRUCT* ctl);
// Bytes of record data stored; 0 for a null control record.
TARVEX_API unsigned long RNG_BytesUsed(const RNG_BUFFER_STRUCT* ctl);

class TARVEX_API RNG_RingBuffer {
public:
    // Allocates `capacity_bytes` of record storage (std::bad_alloc if that
    // fails).
    explicit RNG_RingBuffer(unsigned long capacity_bytes);
    ~RNG_RingBuffer();
    RNG_RingBuffer(const RNG_RingBuffer&) = delete;
    RNG_RingBuffer& operator=(const RNG_RingBuffer&) = delete;

    // Stores one record of `n` bytes copied from `data`. Returns n when it was
    // stored, 0 when it was refused: n is 0, `data` is null, or n exceeds
    // size() - bytesUsed().
    unsigned Write(char* data, unsigned n);

    // Size of the oldest record, 0 when the buffer is empty.
    unsigned long nextRecordSize() const;
    // Copies the oldest record to `dst` and removes it; returns its size.
    // Returns -1 and leaves the record stored when the buffer is empty, `dst`
    // is null or `cap` is smaller than the record.
    long Read(char* dst, unsigned long cap);
    // Number of records stored.
    unsigned long records() const;

    unsigned long size() const { return RNG_Size(ctl); }
    unsigned long bytesUsed() const { return RNG_BytesUsed(ctl); }

private:
    RNG_BUFFER_STRUCT* ctl;
};

#endif  // TARVEX_RINGBUF_H
