// Fuzzes ReceiveEvent: the pattern scan, the header of every record kind,
// the acknowledgement against a ring buffer, the body and the whole-record
// conversion, then the record buffer's accessors and its delivery.
//
// Input: one selector byte, then the bytes that arrive on the data socket.
//   bit 0  a ring buffer is given (space test and acknowledgement)
//   bit 1  conversion asked for, as by a preamble (must_swap)
//   bit 2  conversion masked (set_swap_mask)
//   bit 3  small ring buffer (most records do not fit) instead of a large one
//   bit 4  each delivered record is read back out of the ring buffer
//   bit 5  the link does not count records itself (owncntr off)
//   bit 6-7 generation in force before the first record: legacy, 2010, 2024
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "event_util.h"

namespace {

constexpr unsigned long kSmallRing = 512;
constexpr unsigned long kLargeRing = 1ul << 20;

void select_generation(unsigned g) {
    set_data_format_2010(g == 1 ? 1 : 0);
    set_data_format_2024(g >= 2 ? 1 : 0);
}

// Everything a caller may read after a successful receive: the whole
// stored record and what the accessors hand out.
void read_back(Tarvex& t) {
    fz::touch(TarvexTestAccess::buffer(t), TarvexTestAccess::size(t));
    (void)t.get_event_number();
    (void)t.get_event_type();
    (void)t.get_event_length();
    if (auto* h = t.get_event_header()) fz::touch(h, sizeof *h);
    if (auto* h = t.get_event_header_2024()) fz::touch(h, sizeof *h);
    if (auto* h = t.get_slow_data_header()) fz::touch(h, sizeof *h);
}

// A record that passed the space test must go into the ring buffer whole,
// and come out of it unchanged.
void deliver(Tarvex& t, RNG_RingBuffer& rb, bool drain) {
    char* const stored = TarvexTestAccess::buffer(t);
    const unsigned int size = TarvexTestAccess::size(t);
    FZ_CHECK(t.WriteBlockToRingBuffer(rb) == 0);
    if (!drain) return;
    // Drained after every delivery, the ring holds this record alone.
    std::vector<char> out(size);
    FZ_CHECK(rb.Read(out.data(), out.size()) == static_cast<long>(size));
    FZ_CHECK(rb.nextRecordSize() == 0);
    FZ_CHECK(std::memcmp(out.data(), stored, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fz::Input in;
    if (!fz::Input::split(data, size, in) || in.size > fz::FedSocket::kMaxBytes) return 0;
    select_generation(in.pick2(6));

    fz::FedLink fed(in.data, in.size);
    if (!fed.socket.ok()) return 0;
    Tarvex& t = fed.link;
    fed.byte_order(in.flag(1), in.flag(2));
    t.set_own_cnt(!in.flag(5));

    std::unique_ptr<RNG_RingBuffer> rb;
    if (in.flag(0)) rb.reset(new RNG_RingBuffer(in.flag(3) ? kSmallRing : kLargeRing));

    for (int call = 0; call < fz::kMaxCalls && fed.unread() > 0; ++call) {
        const int st = t.ReceiveEvent(rb.get(), 1, 0, 0);
        if (st != 0) {
            FZ_CHECK(st > 0);
            continue;
        }
        FZ_CHECK(TarvexTestAccess::buffer(t) != nullptr);
        FZ_CHECK(TarvexTestAccess::size(t) >= sizeof(kbr7_daq_slow_data_header));
        read_back(t);
        if (rb) deliver(t, *rb, in.flag(4));
    }
    return 0;
}
