// Whole-record ring buffer: exact capacity, order, wrap-around, refusals and
// one producer with one consumer.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "ringbuf.h"

namespace {

using Record = std::vector<char>;

// Record contents derived from a sequence number, so a consumer can check
// a record without sharing state with the producer.
Record make_record(unsigned seq, size_t n) {
    Record r(n);
    for (size_t i = 0; i < n; ++i) r[i] = static_cast<char>(seq * 31 + i * 7);
    return r;
}

unsigned write(RNG_RingBuffer& rb, Record r) { return rb.Write(r.data(), static_cast<unsigned>(r.size())); }

Record read(RNG_RingBuffer& rb) {
    Record r(rb.nextRecordSize());
    long n = rb.Read(r.data(), r.size());
    EXPECT_EQ(static_cast<long>(r.size()), n);
    return r;
}

TEST(RingBuffer, FreeSpaceIsExactlyTheLargestAcceptedRecord) {
    RNG_RingBuffer rb(100);
    EXPECT_EQ(100u, rb.size());
    EXPECT_EQ(0u, rb.bytesUsed());
    EXPECT_EQ(60u, write(rb, make_record(1, 60)));

    // One byte more than the free space: refused whole, nothing stored.
    EXPECT_EQ(0u, write(rb, make_record(2, 41)));
    EXPECT_EQ(60u, rb.bytesUsed());
    EXPECT_EQ(1u, rb.records());

    // Exactly the free space fits and fills the buffer.
    EXPECT_EQ(40u, write(rb, make_record(3, 40)));
    EXPECT_EQ(rb.size(), rb.bytesUsed());
    EXPECT_EQ(0u, write(rb, make_record(4, 1)));
    EXPECT_EQ(2u, rb.records());

    EXPECT_EQ(make_record(1, 60), read(rb));
    EXPECT_EQ(make_record(3, 40), read(rb));
    EXPECT_EQ(0u, rb.bytesUsed());
    EXPECT_EQ(0u, rb.nextRecordSize());
}

TEST(RingBuffer, RefusesEmptyAndNullRecords) {
    RNG_RingBuffer rb(16);
    char byte = 'x';
    EXPECT_EQ(0u, rb.Write(&byte, 0));
    EXPECT_EQ(0u, rb.Write(nullptr, 4));
    EXPECT_EQ(0u, rb.records());
    EXPECT_EQ(0u, rb.bytesUsed());

    RNG_RingBuffer none(0);
    EXPECT_EQ(0u, none.Write(&byte, 1));
    EXPECT_EQ(-1, none.Read(&byte, 1));
}

TEST(RingBuffer, ReadNeedsRoomForTheWholeRecord) {
    RNG_RingBuffer rb(32);
    char dst[32];
    EXPECT_EQ(-1, rb.Read(dst, sizeof dst));  // empty
    ASSERT_EQ(10u, write(rb, make_record(7, 10)));
    EXPECT_EQ(-1, rb.Read(dst, 9));
    EXPECT_EQ(-1, rb.Read(nullptr, 32));
    EXPECT_EQ(10u, rb.nextRecordSize());
    EXPECT_EQ(1u, rb.records());
    EXPECT_EQ(10, rb.Read(dst, 10));
    EXPECT_EQ(make_record(7, 10), Record(dst, dst + 10));
}

// A fixed script against a model queue: records of varied sizes go in and
// come out in order, straddle the end of the storage, and are refused
// exactly when they exceed the free space.
TEST(RingBuffer, KeepsOrderAcrossWrapAround) {
    const unsigned long kCapacity = 50;
    RNG_RingBuffer rb(kCapacity);
    std::deque<Record> model;
    unsigned long model_used = 0;
    unsigned seq = 0;
    unsigned refusals = 0;
    unsigned straddles = 0;
    unsigned long write_pos = 0;  // where the next record starts in storage

    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        size_t n = 1 + (round * 13) % 23;
        if (round % 3 != 2) {
            Record r = make_record(++seq, n);
            bool fits = n <= kCapacity - model_used;
            ASSERT_EQ(fits ? n : 0u, write(rb, r));
            if (fits) {
                straddles += write_pos + n > kCapacity;
                write_pos = (write_pos + n) % kCapacity;
                model_used += n;
                model.push_back(r);
            } else {
                ++refusals;
            }
        } else if (!model.empty()) {
            ASSERT_EQ(model.front(), read(rb));
            model_used -= model.front().size();
            model.pop_front();
        }
        ASSERT_EQ(model_used, rb.bytesUsed());
        ASSERT_EQ(model.size(), rb.records());
    }
    while (!model.empty()) {
        ASSERT_EQ(model.front(), read(rb));
        model.pop_front();
    }
    EXPECT_GT(refusals, 10u);
    EXPECT_GT(straddles, 10u);
}

TEST(RingBuffer, ProducerAndConsumerThreadsMoveRecordsIntact) {
    constexpr unsigned kRecords = 20000;
    RNG_RingBuffer rb(1000);
    auto size_of = [](unsigned seq) { return 1 + (seq * 37) % 300; };

    std::thread producer([&] {
        for (unsigned seq = 0; seq < kRecords; ++seq) {
            Record r = make_record(seq, size_of(seq));
            while (write(rb, r) == 0) std::this_thread::yield();
        }
    });

    unsigned mismatches = 0;
    Record dst(300);
    for (unsigned seq = 0; seq < kRecords;) {
        long n = rb.Read(dst.data(), dst.size());
        if (n < 0) {
            std::this_thread::yield();
            continue;
        }
        Record got(dst.begin(), dst.begin() + n);
        mismatches += got != make_record(seq, size_of(seq));
        ++seq;
    }
    producer.join();
    EXPECT_EQ(0u, mismatches);
    EXPECT_EQ(0u, rb.bytesUsed());
    EXPECT_EQ(0u, rb.records());
}

}  // namespace
