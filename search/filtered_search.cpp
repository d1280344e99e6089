// HNSW query that applies the filters during its own layer-0 traversal and
// waits for k passing nodes before it stops.
#include <algorithm>
#include <cmath>
#include <functional>

#include "orv/expand.hpp"
#include "orv/graph_searcher.hpp"
#include "order.hpp"

namespace orv {

namespace {

constexpr float GAP_NEAR = 0.01f;
constexpr float GAP_JUMP = 0.6f;
constexpr float GAP_FAR = 2.0f;

struct PassTest {
    const NodeStore& nodes;
    QueryLimits lim;
    // No limit is set: every node passes.
    static bool passes_all(const QueryLimits& lim) {
        return lim.filter_mask == 0 && !(lim.min_norm >= 0.0f) && !(lim.max_radius >= 0.0f);
    }
    bool operator()(int32_t n, float d) const {
        // Mask 0 admits every node: no need to read the node's mask.
        if (lim.filter_mask != 0 && !mask_matches(nodes.masks[size_t(n)], lim.filter_mask))
            return false;
        if (lim.min_norm >= 0.0f && !(nodes.norms[size_t(n)] >= lim.min_norm)) return false;
        if (lim.max_radius >= 0.0f && !(lim.max_radius >= d)) return false;
        return true;
    }
};

void cut_at_gap(const std::vector<NodeDist>& ord, std::vector<int32_t>& out) {
    if (ord.empty()) return;
    out.push_back(ord[0].id);
    for (size_t j = 1; j < ord.size(); ++j) {
        const float prev = ord[j - 1].dist, cur = ord[j].dist;
        if ((prev > GAP_NEAR && cur - prev > GAP_JUMP) || cur > GAP_FAR) break;
        out.push_back(ord[j].id);
    }
}

// Once beam and result heap are both full, a sum above both tops (and above
// the radius) can stop early: such a node enters neither the beam nor the
// result, and its push onto the full result heap and the pop that follows make
// the same comparisons as the full value would, as it lies above every record.
// A NaN in the result heap voids that (its top may then not be its largest).
// The tops only fall, so the bound holds for the whole batch.
float admission_bound(const std::vector<NodeDist>& beam, const std::vector<NodeDist>& result,
                      int32_t maxef, int32_t k, float max_radius, bool result_nan) {
    if (result_nan || int32_t(beam.size()) < maxef || int64_t(result.size()) < k) return INFINITY;
    float b = beam.front().dist;
    if (!result.empty()) b = std::max(b, result.front().dist);
    if (max_radius >= 0.0f) b = std::max(b, max_radius);
    return std::isnan(b) ? INFINITY : b;
}

}  // namespace

template <int M>
std::vector<int32_t> GraphSearcher::filtered_layer0(const float* q, float q2, NodeDist entry,
                                                    int32_t k, int32_t maxef,
                                                    const QueryLimits& lim) {
    using Ops = MetricOps<M>;
    const MetricView v = view_;
    SearchScratch& s = s_;
    const PassTest passes{v.nodes, lim};
    ensure_batch_room(s, v.nodes.max_list());
    // The descent's marks, under a new version: one array stays in cache.
    const uint16_t ver = s.marks.begin(size_t(v.nodes.count()));
    uint16_t* vis = s.marks.marks.data();
    auto &cand = s.cand, &beam = s.beam, &result = s.result;
    cand.clear();
    beam.clear();
    const float* q_tails = Ops::query_tails(v, q, s.q_tails);
    const float d0 = entry.dist;
    cand.push_back(entry);
    beam.push_back(entry);
    vis[entry.id] = ver;
    // A push that would only be popped again is skipped where that is exact;
    // k < 1 keeps the plain push-and-pop (it holds the nearest record met).
    ResultHeap res(result, k);
    auto admit = [&](NodeDist r) {
        if (k >= 1)
            res.push(r);
        else
            push_bounded(result, r, k);
    };
    if (passes(entry.id, d0)) {
        if (k >= 1)
            res.push(entry);
        else
            result.push_back(entry);
    }
    bool result_nan = std::isnan(d0) && !result.empty();
    while (!cand.empty()) {
        std::pop_heap(cand.begin(), cand.end(), std::greater<NodeDist>{});
        const NodeDist c = cand.back();
        cand.pop_back();
        if (c.dist > beam.front().dist && int64_t(result.size()) >= k) break;
        const float bound = admission_bound(beam, result, maxef, k, lim.max_radius, result_nan);
        const int m = measure_unvisited<M, false>(v, q, q2, c.id, 0, vis, ver, s, bound, q_tails);
        for (int j = 0; j < m; ++j) {
            const NodeDist r{s.dists[size_t(j)], s.ids[size_t(j)]};
            if (int32_t(beam.size()) < maxef || r.dist < beam.front().dist) {
                cand.push_back(r);
                std::push_heap(cand.begin(), cand.end(), std::greater<NodeDist>{});
                push_bounded(beam, r, maxef);
            }
            if (passes(r.id, r.dist)) {
                result_nan = result_nan || std::isnan(r.dist);
                admit(r);
            }
        }
    }
    drain_ascending(result, s.work);
    std::vector<int32_t> out;
    cut_at_gap(s.work, out);
    return out;
}

// With every node passing, the filtered traversal makes the moves of the plain
// beam search, and its result heap ends with the k nearest records met. Those
// are the k first of the beam whatever the heaps' layouts when no NaN was met,
// the k + 1 nearest in the beam are distinct, and the k-th lies below every
// record that left the beam or never entered it. False when that does not
// hold, for the caller to run the filtered traversal.
bool GraphSearcher::pass_all_from_beam(const float* q, float q2, NodeDist entry, int32_t k,
                                       int32_t maxef, std::vector<int32_t>& out) {
    SearchScratch& s = s_;
    BeamWatch watch;
    layer0_ascending(q, q2, entry, maxef, &watch);
    if (watch.nan) return false;
    const size_t n = std::min(s.work.size(), size_t(k) + 1);
    for (size_t i = 1; i < n; ++i)
        if (!(s.work[i - 1].dist < s.work[i].dist)) return false;
    if (s.work.size() >= size_t(k)) {
        if (!(s.work[size_t(k) - 1].dist < watch.min_out)) return false;
        s.work.resize(size_t(k));
    }
    cut_at_gap(s.work, out);
    return true;
}

std::vector<int32_t> GraphSearcher::filtered_query(const float* q, int32_t k, uint64_t filter_mask,
                                                   int32_t ef_search, float max_radius,
                                                   float min_norm) {
    if (view_.nodes.count() == 0 || entry_.id < 0) return {};
    float q2;
    const NodeDist start = query_start(q, q2);
    const NodeDist cur = descend(q, q2, start, entry_.layer, 1);
    const int32_t maxef = std::max(k >= ef_search ? k : ef_search, 1);
    const QueryLimits lim{filter_mask, max_radius, min_norm};
    if (PassTest::passes_all(lim) && k >= 1) {
        std::vector<int32_t> out;
        if (pass_all_from_beam(q, q2, cur, k, maxef, out)) return out;
    }
    return with_metric(view_.metric_type, [&](auto m) {
        return filtered_layer0<decltype(m)::value>(q, q2, cur, k, maxef, lim);
    });
}

}  // namespace orv
