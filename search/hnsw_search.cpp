// Plain HNSW query: descent, one layer-0 beam, then a post-filter of the beam.
#include <algorithm>

#include "orv/expand.hpp"
#include "orv/graph_searcher.hpp"
#include "orv/metric.hpp"
#include "order.hpp"

namespace orv {

NodeDist GraphSearcher::query_start(const float* q, float& q2) const {
    const MetricView& v = view_;
    const int32_t ep = entry_.id;
    // A cosine query's norm and its first distance are two chains as long as
    // a whole batch's; side by side they take the time of one.
    if (v.metric_type == COSINE) {
        float dot;
        q2 = v.kernels->norm_and_dot(q, v.nodes.row(ep), size_t(v.dimension), &dot);
        return {cosine_from_dot(dot, q2, MetricOps<COSINE>::node_norm(v, ep)), ep};
    }
    q2 = v.query_norm(q);
    return {v.distance(q, q2, ep), ep};
}

void GraphSearcher::layer0_ascending(const float* q, float qn, NodeDist entry, int32_t ef,
                                     BeamWatch* watch) {
    if (ef < 1) ef = 1;
    // Wide beams of long rows measure ahead, which the sorted beam does not.
    if (!measures_ahead(view_.dimension, ef) && sorted_beam(q, qn, entry, ef, watch)) return;
    // Beams it does not take, or equal records or NaN, where the heaps decide
    // the order: their search.
    if (watch != nullptr) *watch = BeamWatch{};
    search_layer(q, qn, entry, ef, 0, nullptr, watch);
    drain_ascending(s_.beam, s_.work);
}

std::vector<int32_t> GraphSearcher::hnsw_query(const float* q, int32_t k, uint64_t filter_mask,
                                               int32_t ef_search, float max_radius,
                                               float min_norm) {
    std::vector<int32_t> out;
    const NodeStore& nodes = view_.nodes;
    if (nodes.count() == 0 || entry_.id < 0) return out;
    refuse_negative_count(k);
    float q2;
    const NodeDist start = query_start(q, q2);
    const int32_t ef0 = k >= ef_search ? k : ef_search;
    const float mn = min_norm >= 0.0f ? min_norm * min_norm : -1.0f;
    const NodeDist cur = descend(q, q2, start, entry_.layer, 1);
    layer0_ascending(q, q2, cur, ef0);
    const std::vector<NodeDist>& work = s_.work;
    // Room for what the beam can yield, not for k: k may be huge.
    out.reserve(std::min(work.size(), size_t(k) + 1));
    for (const NodeDist& r : work) {
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
