// Exhaustive search: every node in id order, cheap tests before any distance.
#include <cmath>
#include <stdexcept>

#include "orv/graph_searcher.hpp"
#include "orv/metric.hpp"
#include "order.hpp"

namespace orv {

namespace {
constexpr int32_t SCAN_CHUNK = 256;
constexpr float NORM_SLACK = 0.15f;

// Ids of start..end-1 that pass the mask and norm tests, without a branch per
// node (the tests' outcomes are often random).
int passing_ids(const NodeStore& nodes, int32_t start, int32_t end, const QueryLimits& lim,
                int32_t* ids) {
    const bool norm_on = lim.min_norm >= 0.0f;
    if (lim.filter_mask == 0 && !norm_on) {
        for (int32_t i = start; i < end; ++i) ids[i - start] = i;
        return end - start;
    }
    const float norm_floor = lim.min_norm - NORM_SLACK;
    int m = 0;
    for (int32_t i = start; i < end; ++i) {
        ids[m] = i;
        const bool pass = mask_matches(nodes.masks[size_t(i)], lim.filter_mask) &&
                          !(norm_on && nodes.norms[size_t(i)] < norm_floor);
        m += pass;
    }
    return m;
}

// True when every distance of d[0..m) is above t, counted so that the
// compiler vectorises the pass.
bool all_above(const float* d, int m, float t) {
    int not_above = 0;
    for (int j = 0; j < m; ++j) not_above += !(d[j] > t);
    return not_above == 0;
}

}  // namespace

template <int M>
void GraphSearcher::flat_scan(const float* q, float q2, int32_t k, const QueryLimits& lim) {
    const MetricView v = view_;
    SearchScratch& s = s_;
    if (s.ids.size() < size_t(SCAN_CHUNK)) {
        s.ids.resize(size_t(SCAN_CHUNK));
        s.dists.resize(size_t(SCAN_CHUNK));
    }
    ResultHeap heap(s.result, k);
    const float* q_tails = MetricOps<M>::query_tails(v, q, s.q_tails);
    const bool radius_on = lim.max_radius >= 0.0f;
    const int32_t n = v.nodes.count();
    for (int32_t start = 0; start < n; start += SCAN_CHUNK) {
        const int32_t end = n - start < SCAN_CHUNK ? n : start + SCAN_CHUNK;
        const int m = passing_ids(v.nodes, start, end, lim, s.ids.data());
        // A sum past the heap's top (when full) or past the radius cannot be
        // kept; such a sum may stop early, still above the bound, and its push
        // and pop leave the heap exactly as the full value would.
        float bound = heap.bound();
        if (radius_on && lim.max_radius < bound) bound = lim.max_radius;
        MetricOps<M>::batch(v, q, q2, s.ids.data(), m, s.dists.data(), bound, q_tails);
        // Nothing above both levels can be kept: no pass over the records.
        float level = heap.skip_above();
        if (radius_on && !(level <= lim.max_radius)) level = lim.max_radius;
        if (all_above(s.dists.data(), m, level)) continue;
        for (int j = 0; j < m; ++j) {
            const float d = s.dists[size_t(j)];
            if (radius_on && !(lim.max_radius >= d)) continue;
            heap.push({d, s.ids[size_t(j)]});
        }
    }
}

std::vector<int32_t> GraphSearcher::flat_query(const float* q, int32_t k, uint64_t filter_mask,
                                               float max_radius, float min_norm_sq) {
    std::vector<int32_t> out;
    if (view_.nodes.count() == 0) return out;
    refuse_negative_count(k);
    const float q2 = view_.query_norm(q);
    const QueryLimits lim{filter_mask, max_radius, min_norm_sq};
    with_metric(view_.metric_type, [&](auto m) { flat_scan<decltype(m)::value>(q, q2, k, lim); });
    drain_ascending(s_.result, s_.work);
    out.reserve(s_.work.size());
    for (const NodeDist& r : s_.work) out.push_back(r.id);
    return out;
}

}  // namespace orv
