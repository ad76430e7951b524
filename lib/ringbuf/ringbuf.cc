// Whole-record ring buffer; the rules are described in ringbuf.h.
#include "ringbuf.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

struct RNG_BUFFER_STRUCT {
    explicit RNG_BUFFER_STRUCT(unsigned long cap) : capacity(cap), storage(new char[cap > 0 ? cap : 1]) {}

    const unsigned long capacity;
    std::unique_ptr<char[]> storage;

    // Everything below changes under the lock: producer and consumer share it.
    mutable std::mutex lock;
    unsigned long head = 0;  // offset of the oldest record's first byte
    unsigned long used = 0;  // bytes of record data stored
    // Record lengths, oldest first. Kept apart from the byte storage so that
    // the capacity is spent on record data alone.
    std::deque<unsigned long> lengths;

    unsigned long tail() const { return (head + used) % capacity; }

    // Copies n bytes in at `at`, continuing at the start when the end is hit.
    void copy_in(unsigned long at, const char* src, unsigned long n) {
        unsigned long first = std::min(n, capacity - at);
        std::memcpy(storage.get() + at, src, first);
        std::memcpy(storage.get(), src + first, n - first);
    }

    void copy_out(unsigned long at, char* dst, unsigned long n) const {
        unsigned long first = std::min(n, capacity - at);
        std::memcpy(dst, storage.get() + at, first);
        std::memcpy(dst + first, storage.get(), n - first);
    }
};

unsigned long RNG_Size(const RNG_BUFFER_STRUCT* ctl) { return ctl == nullptr ? 0 : ctl->capacity; }

unsigned long RNG_BytesUsed(const RNG_BUFFER_STRUCT* ctl) {
    if (ctl == nullptr) return 0;
    std::lock_guard<std::mutex> guard(ctl->lock);
    return ctl->used;
}

RNG_RingBuffer::RNG_RingBuffer(unsigned long capacity_bytes) : ctl(new RNG_BUFFER_STRUCT(capacity_bytes)) {}

RNG_RingBuffer::~RNG_RingBuffer() { delete ctl; }

unsigned RNG_RingBuffer::Write(char* data, unsigned n) {
    if (data == nullptr || n == 0) return 0;
    std::lock_guard<std::mutex> guard(ctl->lock);
    if (n > ctl->capacity - ctl->used) return 0;
    ctl->copy_in(ctl->tail(), data, n);
    ctl->used += n;
    ctl->lengths.push_back(n);
    return n;
}

unsigned long RNG_RingBuffer::nextRecordSize() const {
    std::lock_guard<std::mutex> guard(ctl->lock);
    return ctl->lengths.empty() ? 0 : ctl->lengths.front();
}

long RNG_RingBuffer::Read(char* dst, unsigned long cap) {
    std::lock_guard<std::mutex> guard(ctl->lock);
    if (dst == nullptr || ctl->lengths.empty()) return -1;
    unsigned long n = ctl->lengths.front();
    if (cap < n) return -1;
    ctl->copy_out(ctl->head, dst, n);
    ctl->head = (ctl->head + n) % ctl->capacity;
    ctl->used -= n;
    ctl->lengths.pop_front();
    return static_cast<long>(n);
}

unsigned long RNG_RingBuffer::records() const {
    std::lock_guard<std::mutex> guard(ctl->lock);
    return ctl->lengths.size();
}
