// Shared pieces of the fuzz harnesses: a socket pair that holds the fuzz
// input followed by the end of the stream, a link attached to it, the
// selector byte that picks a harness's variant, and checks that turn a
// broken invariant into a finding.
#ifndef TARVEX_FUZZ_SUPPORT_H
#define TARVEX_FUZZ_SUPPORT_H

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Tarvex.h"
#include "TestAccess.h"

namespace fz {

// A broken invariant is reported like a crash, so that libFuzzer keeps the
// input that broke it.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz invariant broken: %s (%s:%d)\n", what, file, line);
    std::abort();
}
#define FZ_CHECK(cond) ((cond) ? (void)0 : ::fz::fail(#cond, __FILE__, __LINE__))

// Where touch() leaves its result, so that the reads are not optimised away.
inline volatile unsigned char touch_sink = 0;

// Reads every byte of a block handed out by the library, so that
// AddressSanitizer sees an accessor that points outside its record.
inline void touch(const void* p, size_t n) {
    unsigned char acc = 0;
    const unsigned char* c = static_cast<const unsigned char*>(p);
    for (size_t k = 0; k < n; ++k) acc = static_cast<unsigned char>(acc ^ c[k]);
    touch_sink = acc;
}

// The first input byte chooses the variant of a harness; the rest is what
// travels.
struct Input {
    unsigned flags = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;

    static bool split(const uint8_t* in, size_t n, Input& out) {
        if (n < 1) return false;
        out.flags = in[0];
        out.data = in + 1;
        out.size = n - 1;
        return true;
    }
    bool flag(unsigned bit) const { return (flags >> bit) & 1u; }
    // Two bits from `bit` on, 0..3.
    unsigned pick2(unsigned bit) const { return (flags >> bit) & 3u; }
};

// One end of a local socket pair holds all of `data`, then the end of the
// stream: every read after the last byte returns 0, so every phase of a
// receiver ends by its empty-read limit instead of waiting.  The writing end
// stays open for reading (only its write side is shut), so that a receiver's
// acknowledgement words still have somewhere to go.
class FedSocket {
public:
    // Inputs up to this size fit the enlarged send buffer in one write.
    static constexpr size_t kMaxBytes = 160 * 1024;

    FedSocket(const uint8_t* data, size_t n) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
        link_ = sv[0];
        peer_ = sv[1];
        const int big = 1 << 20;  // the kernel caps it; enough for kMaxBytes
        ::setsockopt(peer_, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        ::setsockopt(link_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        size_t done = 0;
        while (done < n) {
            ssize_t w = ::send(peer_, data + done, n - done, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (w <= 0) return;  // does not fit: ok() stays false
            done += static_cast<size_t>(w);
        }
        ::shutdown(peer_, SHUT_WR);
        ok_ = true;
    }
    ~FedSocket() {
        if (link_ >= 0) ::close(link_);
        if (peer_ >= 0) ::close(peer_);
    }
    FedSocket(const FedSocket&) = delete;
    FedSocket& operator=(const FedSocket&) = delete;

    bool ok() const { return ok_; }
    int link_end() const { return link_; }
    // Bytes still in the socket.
    size_t unread() const {
        int n = 0;
        if (::ioctl(link_, FIONREAD, &n) != 0 || n < 0) return 0;
        return static_cast<size_t>(n);
    }

private:
    int link_ = -1;
    int peer_ = -1;
    bool ok_ = false;
};

// A link whose data socket is one end of a FedSocket, as if a connection had
// been made.  The socket pair closes its own descriptors; the link forgets
// its data socket first, as its destructor closes none anyway.
//
// The link reads the input in pieces whose size the input's length picks:
// records then arrive split at every place a piece can end, as segments of a
// real stream do.
struct FedLink {
    FedSocket socket;
    Tarvex link;

    FedLink(const uint8_t* data, size_t n) : socket(data, n), link(false) {
        static const size_t kPieces[] = {0, 1, 2, 3, 5, 7, 13, 64, 4093, 0};
        if (!socket.ok()) return;
        TarvexTestAccess::attach(link, socket.link_end());
        TarvexTestAccess::limit_reads(link, kPieces[n % (sizeof kPieces / sizeof kPieces[0])]);
    }
    // Bytes the link has not taken yet: in the socket, or read ahead.
    size_t unread() const { return socket.unread() + link.get_buffered_bytes(); }
    ~FedLink() { TarvexTestAccess::detach(link); }
    FedLink(const FedLink&) = delete;
    FedLink& operator=(const FedLink&) = delete;

    // Sets the byte-order fields a connection would have left: `convert`
    // as if the preamble asked for conversion, `mask` as set_swap_mask.
    void byte_order(bool convert, bool mask) {
        TarvexTestAccess::must_swap(link) = convert ? 1 : 0;
        link.set_swap_mask(mask);
    }
};

// Receivers run while bytes are left (a stream that has ended answers every
// read at once, so a call that meets the end takes the rest quickly).  The bound only guards against a receiver that
// takes nothing and returns.
constexpr int kMaxCalls = 4096;

}  // namespace fz

#endif
