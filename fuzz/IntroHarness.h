// The one harness body behind the image and the spectrum receiver: both
// find an intro by a pattern scan and read an opaque body behind it into a
// caller buffer, or into one they allocate for the caller.
//
// Input: one selector byte, then the bytes that arrive on the data socket.
//   bit 0    conversion asked for, as by a preamble (must_swap)
//   bit 1    conversion masked (set_swap_mask)
//   bit 2    the receiver allocates the body (null *buf) instead of using
//            a caller buffer of exactly `sz` bytes
//   bit 3-4  `sz`: 0, 64, 4096 or 65536
//   bit 5    header and data calls made one by one instead of the combined call
//   bit 6    the link does not count records itself (owncntr off)
//   bit 7    `sz` is -1 (every body is refused)
#ifndef TARVEX_FUZZ_INTRO_HARNESS_H
#define TARVEX_FUZZ_INTRO_HARNESS_H

#include <memory>

#include "FuzzSupport.h"

namespace fz {

// Ops: the intro type and the three receiver methods of one record kind.
template <class Ops>
int run_intro_receiver(const uint8_t* data, size_t size) {
    using Intro = typename Ops::Intro;
    static const int kSizes[] = {0, 64, 4096, 65536};

    Input in;
    if (!Input::split(data, size, in) || in.size > FedSocket::kMaxBytes) return 0;
    FedLink fed(in.data, in.size);
    if (!fed.socket.ok()) return 0;
    Tarvex& t = fed.link;
    fed.byte_order(in.flag(0), in.flag(1));
    t.set_own_cnt(!in.flag(6));

    const bool allocate = in.flag(2);
    const int sz = in.flag(7) ? -1 : kSizes[in.pick2(3)];
    // Exactly `sz` bytes, so that a body written past them is caught.
    std::unique_ptr<char[]> caller(new char[sz > 0 ? sz : 0]);

    for (int call = 0; call < kMaxCalls && fed.unread() > 0; ++call) {
        Intro intro;
        std::memset(&intro, 0x5a, sizeof intro);
        char* buf = allocate ? nullptr : caller.get();
        int st;
        if (in.flag(5)) {
            st = Ops::header(t, &intro);
            if (st == 0) {
                FZ_CHECK(intro.intro.pattern == 0);
                st = Ops::data(t, &intro, &buf, sz);
            }
        } else {
            st = Ops::whole(t, &intro, &buf, sz);
        }
        FZ_CHECK(st >= 0);
        if (st == ERR_NO_SPACE) FZ_CHECK(buf == (allocate ? nullptr : caller.get()));
        if (st == 0) {
            FZ_CHECK(intro.intro.length >= sizeof(Intro));
            FZ_CHECK(intro.intro.pattern == 0);
            touch(buf, intro.intro.length - sizeof(Intro));
        }
        if (allocate) delete[] buf;
    }
    return 0;
}

}  // namespace fz

#endif
