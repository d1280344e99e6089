// Shared by the searches: a max-heap drained into ascending order.
#pragma once

#include <algorithm>
#include <functional>
#include <vector>

#include "orv/hyperbolic_index.hpp"

namespace orv {

// Pops the heap from the largest distance down, then reverses: nearest first.
inline void drain_ascending(std::vector<NodeDist>& heap, std::vector<NodeDist>& out) {
    out.clear();
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), std::less<NodeDist>{});
        out.push_back(heap.back());
        heap.pop_back();
    }
    std::reverse(out.begin(), out.end());
}

// Pushes r and keeps at most k records, dropping the largest.
inline void push_bounded(std::vector<NodeDist>& heap, NodeDist r, int64_t k) {
    heap.push_back(r);
    std::push_heap(heap.begin(), heap.end(), std::less<NodeDist>{});
    if (int64_t(heap.size()) > k) {
        std::pop_heap(heap.begin(), heap.end(), std::less<NodeDist>{});
        heap.pop_back();
    }
}

inline bool mask_matches(uint64_t node_mask, uint64_t filter_mask) {
    return (filter_mask & ~node_mask) == 0;
}

}  // namespace orv
