// Beam search on one layer of the graph.
#include <algorithm>
#include <cmath>
#include <functional>

#include "orv/lookahead.hpp"

namespace orv {

SearchScratch& thread_scratch() {
    thread_local SearchScratch s;
    return s;
}

uint16_t VisitedMarks::begin(size_t n) {
    if (marks.size() < n) marks.resize(n, 0);
    ++version;
    if (version == 0) {
        std::fill(marks.begin(), marks.end(), uint16_t(0));
        version = 1;
    }
    return version;
}

VisitedMarks& layer_search_marks() {
    thread_local VisitedMarks marks;
    return marks;
}

DistanceCache& layer_search_cache() {
    thread_local DistanceCache cache;
    return cache;
}

template <int M>
void HyperbolicIndex::search_layer_into(const float* q, float qn, int32_t entry, int32_t ef,
                                        int32_t layer, SearchScratch& s) const {
    using Ops = MetricOps<M>;
    if (ef < 1) ef = 1;
    ensure_batch_room(s, nodes.max_list());
    SearchMarks mk(layer_search_marks(), layer_search_cache(), size_t(size()));
    const int ahead = lookahead_for(ef);
    auto& cand = s.cand;
    auto& beam = s.beam;
    cand.clear();
    beam.clear();
    const float d0 = Ops::one(*this, q, qn, entry);
    cand.push_back({d0, entry});
    mk.vis[entry] = mk.ver;
    beam.push_back({d0, entry});
    while (!cand.empty()) {
        std::pop_heap(cand.begin(), cand.end(), std::greater<NodeDist>{});
        const NodeDist c = cand.back();
        cand.pop_back();
        if (int32_t(beam.size()) >= ef && c.dist > beam.front().dist) break;
        // A full beam's top only falls from here on, so it bounds every sum of
        // this batch, including those used later.
        const float bound = int32_t(beam.size()) >= ef ? beam.front().dist : INFINITY;
        measure_ahead<M>(*this, q, qn, c.id, layer, cand, mk, s, bound, ahead);
        const LinkSpan nb = nodes.links(c.id, layer);
        for (int32_t j = 0; j < nb.count; ++j) {
            const int32_t id = nb.ids[j];
            if (mk.vis[id] == mk.ver) continue;
            mk.vis[id] = mk.ver;
            if (Ops::skips_boundary(*this, id)) continue;
            const float g = mk.dist[id];
            if (int32_t(beam.size()) < ef || g < beam.front().dist) {
                const NodeDist r{g, id};
                cand.push_back(r);
                std::push_heap(cand.begin(), cand.end(), std::greater<NodeDist>{});
                beam.push_back(r);
                std::push_heap(beam.begin(), beam.end(), std::less<NodeDist>{});
                if (int32_t(beam.size()) > ef) {
                    std::pop_heap(beam.begin(), beam.end(), std::less<NodeDist>{});
                    beam.pop_back();
                }
            }
        }
    }
}

void HyperbolicIndex::search_layer_dispatch(const float* q, float qn, int32_t entry, int32_t ef,
                                            int32_t layer, SearchScratch& s) const {
    with_metric(metric_type,
                [&](auto m) { search_layer_into<decltype(m)::value>(q, qn, entry, ef, layer, s); });
}

std::vector<NodeDist> HyperbolicIndex::search_layer(const float* q, float qn, int32_t entry,
                                                    int32_t ef, int32_t layer) const {
    SearchScratch& s = thread_scratch();
    search_layer_dispatch(q, qn, entry, ef, layer, s);
    return s.beam;
}

int32_t HyperbolicIndex::greedy_descent(const float* q, float qn, int32_t entry, int32_t top,
                                        int32_t bottom, SearchScratch& s) const {
    int32_t cur = entry;
    for (int32_t layer = top; layer >= bottom; --layer) {
        search_layer_dispatch(q, qn, cur, 1, layer, s);
        if (!s.beam.empty()) cur = s.beam.front().id;
    }
    return cur;
}

}  // namespace orv
