// Plain HNSW query: descent, one layer-0 beam, then a post-filter of the beam.
#include <algorithm>
#include <stdexcept>

#include "orv/expand.hpp"
#include "orv/guards.hpp"
#include "orv/metric.hpp"
#include "order.hpp"

namespace orv {

void HyperbolicIndex::layer0_ascending(const float* q, float qn, NodeDist entry, int32_t ef,
                                       SearchScratch& s, BeamWatch* watch) const {
    if (ef < 1) ef = 1;
    // Wide beams of long rows measure ahead, which the sorted beam does not.
    if (!measures_ahead(dimension, ef) && sorted_beam_dispatch(q, qn, entry, ef, s, watch)) return;
    // Beams it does not take, or equal records or NaN, where the heaps decide
    // the order: their search.
    if (watch != nullptr) *watch = BeamWatch{};
    search_layer_dispatch(q, qn, entry, ef, 0, s, false, watch);
    drain_ascending(s.beam, s.work);
}

std::vector<int32_t> HyperbolicIndex::custom_hnsw_search(const float* q, int64_t len, int32_t k,
                                                         uint64_t filter_mask, int32_t ef_search,
                                                         float max_radius, float min_norm) const {
    ReadGuard guard(*this);
    check_query(len);
    return hnsw_query(q, k, filter_mask, ef_search, max_radius, min_norm);
}

std::vector<int32_t> HyperbolicIndex::hnsw_query(const float* q, int32_t k, uint64_t filter_mask,
                                                 int32_t ef_search, float max_radius,
                                                 float min_norm) const {
    std::vector<int32_t> out;
    if (size() == 0 || ep_id < 0) return out;
    if (k < 0) throw std::length_error("vector::reserve");
    float q2;
    const NodeDist start = query_start(q, q2);
    const int32_t ef0 = k >= ef_search ? k : ef_search;
    const float mn = min_norm >= 0.0f ? min_norm * min_norm : -1.0f;
    SearchScratch& s = thread_scratch();
    const NodeDist cur = greedy_descent(q, q2, start, ep_layer, 1, s);
    layer0_ascending(q, q2, cur, ef0, s);
    // Room for what the beam can yield, not for k: k may be huge.
    out.reserve(std::min(s.work.size(), size_t(k) + 1));
    for (const NodeDist& r : s.work) {
        if (max_radius >= 0.0f && r.dist > max_radius) continue;
        if (filter_mask != 0 && !mask_matches(nodes.masks[size_t(r.id)], filter_mask)) continue;
        if (mn >= 0.0f && !(mn <= nodes.norms[size_t(r.id)])) continue;
        out.push_back(r.id);
        // Checked after the append: k = 0 still yields the first passing id.
        if (int64_t(out.size()) >= k) break;
    }
    return out;
}

}  // namespace orv
