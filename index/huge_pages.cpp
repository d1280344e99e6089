// Mapping of the large per-node arrays (see huge_pages.hpp).
#include "orv/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace orv {

#if defined(__linux__) && defined(MADV_HUGEPAGE)

namespace {
size_t round_up(size_t bytes) { return (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1); }
}  // namespace

void* huge_page_alloc(size_t bytes) {
    if (bytes < HUGE_PAGE_BYTES) return ::operator new(bytes);
    const size_t len = round_up(bytes);
    // Map one page more than needed and trim it to a 2 MiB boundary: only
    // whole aligned 2 MiB ranges can become huge pages.
    void* raw = mmap(nullptr, len + HUGE_PAGE_BYTES, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t at = uintptr_t(raw);
    const uintptr_t start = (at + HUGE_PAGE_BYTES - 1) & ~uintptr_t(HUGE_PAGE_BYTES - 1);
    const size_t head = start - at;
    if (head > 0) munmap(raw, head);
    munmap(reinterpret_cast<void*>(start + len), HUGE_PAGE_BYTES - head);
    // Only advice: where the kernel declines, the block works with small pages.
    madvise(reinterpret_cast<void*>(start), len, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(start);
}

void huge_page_free(void* p, size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes < HUGE_PAGE_BYTES) {
        ::operator delete(p);
        return;
    }
    munmap(p, round_up(bytes));
}

#else

void* huge_page_alloc(size_t bytes) { return ::operator new(bytes); }
void huge_page_free(void* p, size_t) noexcept { ::operator delete(p); }

#endif

}  // namespace orv
