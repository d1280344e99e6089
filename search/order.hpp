// Shared by the searches: a max-heap drained into ascending order.
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "orv/records.hpp"

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

// push_bounded with k fixed, skipping the pushes that cannot change the heap.
// A record strictly above the top of a full heap is sifted to the root and
// popped again; when the heap's distances are distinct numbers every sift
// follows the same path back, so the heap ends exactly as it was. Ties or NaN
// can make the path differ, so the push is then done in full. The ties are
// counted on each change, which pays only for a small k.
class ResultHeap {
  public:
    ResultHeap(std::vector<NodeDist>& heap, int64_t k)
        : heap_(heap), k_(k), counted_(k <= MAX_COUNTED_K) {
        heap_.clear();
    }

    // The largest distance when the heap holds k records, else +inf.
    float bound() const {
        return k_ > 0 && int64_t(heap_.size()) >= k_ ? heap_.front().dist : INFINITY;
    }

    // A push of a record above this changes nothing (NaN when none is known).
    float skip_above() const { return skip_above_; }

    void push(NodeDist r) {
        if (r.dist > skip_above_) return;
        push_in_full(r);
    }

  private:
    static constexpr int64_t MAX_COUNTED_K = 64;

    void push_in_full(NodeDist r) {
        if (k_ <= 0) return;  // every record would be popped at once
        if (counted_) ties_ += ties_with(r.dist, heap_.size());
        heap_.push_back(r);
        std::push_heap(heap_.begin(), heap_.end(), std::less<NodeDist>{});
        if (int64_t(heap_.size()) > k_) {
            std::pop_heap(heap_.begin(), heap_.end(), std::less<NodeDist>{});
            if (counted_) ties_ -= ties_with(heap_.back().dist, heap_.size() - 1);
            heap_.pop_back();
        }
        // NaN, above which no record lies, while a skip is not exact.
        const bool exact = counted_ && ties_ == 0 && int64_t(heap_.size()) >= k_;
        skip_above_ = exact ? heap_.front().dist : NAN;
    }

    // Records among the first n equal to d; a NaN counts as a tie by itself.
    int64_t ties_with(float d, size_t n) const {
        if (std::isnan(d)) return 1;
        int64_t t = 0;
        for (size_t i = 0; i < n; ++i) t += heap_[i].dist == d;
        return t;
    }

    std::vector<NodeDist>& heap_;
    int64_t k_;
    bool counted_;
    int64_t ties_ = 0;
    float skip_above_ = NAN;
};

inline bool mask_matches(uint64_t node_mask, uint64_t filter_mask) {
    return (filter_mask & ~node_mask) == 0;
}

}  // namespace orv
