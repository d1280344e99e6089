// Storage for the large per-node arrays. Searches touch their rows in random
// order, so with 4 KiB pages nearly every row costs a TLB miss; blocks of
// 2 MiB and up are mapped on 2 MiB boundaries and offered to the kernel for
// transparent huge pages. Layout and contents are unchanged.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace orv {

// Blocks from this size up are mapped on their own; smaller ones come from the heap.
constexpr size_t HUGE_PAGE_BYTES = size_t(2) << 20;

// A block of at least `bytes`, aligned to HUGE_PAGE_BYTES when mapped.
// Throws std::bad_alloc.
void* huge_page_alloc(size_t bytes);
void huge_page_free(void* p, size_t bytes) noexcept;

template <class T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() noexcept = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > size_t(-1) / 2 / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(huge_page_alloc(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { huge_page_free(p, n * sizeof(T)); }

    // resize() without a value leaves new elements uninitialised: the loader
    // overwrites whole blocks (vectors, tail bounds), and a zero fill first
    // would cost a pass over them. Every other construction is the usual one.
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using BigVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace orv
