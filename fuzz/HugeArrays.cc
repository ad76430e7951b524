// Array allocations for the event receiver's harness.  A record length is a
// 32-bit field, so one hostile header makes ReceiveEvent allocate up to
// 4 GiB for a body that a 64 KiB input never fills.  On AddressSanitizer's
// heap freeing such a block costs seconds (its shadow is poisoned byte by
// byte), so arrays from 64 MiB on are mapped directly instead: the block ends
// right before an inaccessible page, so an overrun (beyond at most 15 bytes
// of alignment padding) still faults, and so does a use after release, on
// the unmapped pages.
// Smaller arrays stay on AddressSanitizer's heap.  The array forms are routed
// through the scalar ones so that allocation and release always match.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

constexpr size_t kHuge = size_t{64} << 20;
constexpr size_t kAlign = 16;

struct Mapping {
    void* user = nullptr;
    void* base = nullptr;
    size_t length = 0;
};
// The receiver holds one record at a time; a few slots are plenty.
Mapping g_maps[8];

size_t page() { return static_cast<size_t>(::sysconf(_SC_PAGESIZE)); }

void* map_huge(size_t n) {
    const size_t p = page();
    const size_t body = (n + kAlign - 1) / kAlign * kAlign;
    const size_t pages = (body + p - 1) / p * p;
    const size_t length = pages + 2 * p;  // an inaccessible page on either side
    for (Mapping& m : g_maps) {
        if (m.user != nullptr) continue;
        void* base = ::mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        char* first = static_cast<char*>(base) + p;
        if (::mprotect(first, pages, PROT_READ | PROT_WRITE) != 0) {
            ::munmap(base, length);
            throw std::bad_alloc();
        }
        m = {first + (pages - body), base, length};
        return m.user;
    }
    std::abort();  // more live huge arrays than a receiver ever holds
}

bool unmap_huge(void* user) {
    if (user == nullptr) return false;
    for (Mapping& m : g_maps) {
        if (m.user != user) continue;
        ::munmap(m.base, m.length);
        m = Mapping();
        return true;
    }
    return false;
}

}  // namespace

void* operator new[](size_t n) { return n >= kHuge ? map_huge(n) : ::operator new(n); }

void* operator new[](size_t n, const std::nothrow_t& nt) noexcept {
    if (n < kHuge) return ::operator new(n, nt);
    try {
        return map_huge(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void operator delete[](void* p) noexcept {
    if (!unmap_huge(p)) ::operator delete(p);
}

void operator delete[](void* p, size_t) noexcept { operator delete[](p); }

void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete[](p); }
