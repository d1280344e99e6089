// The neighbour heuristic: take a candidate only when no neighbour already
// taken lies strictly closer to it than the base does; fill up from the rest.
#include <algorithm>
#include <functional>
#include <stdexcept>

#include "orv/metric.hpp"

namespace orv {

bool HyperbolicIndex::pruned_by_selected(const NodeDist& c,
                                         const std::vector<int32_t>& selected) const {
    const float* cv = nodes.row(c.id);
    const float cn = nodes.norms[size_t(c.id)];
    constexpr int CHUNK = 8;
    float d[CHUNK];
    // Distances in small batches, tested in result order; a batch may measure
    // a few nodes past the one that prunes, which changes no decision.
    for (size_t i = 0; i < selected.size(); i += CHUNK) {
        const int n = int(std::min<size_t>(CHUNK, selected.size() - i));
        // Only "d < c.dist" matters, so a Euclidean sum may stop once past c.dist.
        with_metric(metric_type, [&](auto m) {
            MetricOps<decltype(m)::value>::batch(*this, cv, cn, selected.data() + i, n, d, c.dist);
        });
        for (int j = 0; j < n; ++j)
            if (c.dist > d[j]) return true;
    }
    return false;
}

void HyperbolicIndex::select_into(std::vector<NodeDist>& heap, int32_t cap, SearchScratch& s,
                                  std::vector<int32_t>& out) const {
    auto& work = s.work;
    auto& pruned = s.pruned;
    work.clear();
    pruned.clear();
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), std::less<NodeDist>{});
        work.push_back(heap.back());
        heap.pop_back();
    }
    // NaN-safe order: a NaN distance would make a plain sort read out of bounds.
    std::sort(work.begin(), work.end(), DistLessNanLast{});
    if (cap < 0) throw std::length_error("vector::reserve");
    out.clear();
    for (const NodeDist& c : work) {
        if (int32_t(out.size()) >= cap) break;
        if (!out.empty() && pruned_by_selected(c, out)) {
            pruned.push_back(c);
            continue;
        }
        out.push_back(c.id);
    }
    for (const NodeDist& c : pruned) {
        if (int32_t(out.size()) >= cap) break;
        out.push_back(c.id);
    }
}

std::vector<int32_t> HyperbolicIndex::select_neighbours(const float*, float,
                                                        std::vector<NodeDist>& candidates,
                                                        int32_t cap) const {
    SearchScratch& s = thread_scratch();
    std::vector<int32_t> out;
    if (cap > 0) out.reserve(size_t(cap));
    select_into(candidates, cap, s, out);
    return out;
}

}  // namespace orv
