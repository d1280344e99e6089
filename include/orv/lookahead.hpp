// Measuring ahead, shared by the layer search and the filtered search: the
// unvisited neighbours of the node being expanded and of the next candidates
// fill one batch, and their distances are kept by node id for this search. A
// distance is a pure function of query and node, so computing it early changes
// no result.
#pragma once

#include "orv/metric.hpp"

namespace orv {

constexpr int LOOKAHEAD = 2;
constexpr int BATCH_TARGET = 24;
// Narrower beams stop after few expansions, so distances measured ahead for
// the next candidates are mostly wasted there.
constexpr int32_t LOOKAHEAD_MIN_EF = 64;

inline int lookahead_for(int32_t ef) { return ef >= LOOKAHEAD_MIN_EF ? LOOKAHEAD : 0; }

inline void ensure_batch_room(SearchScratch& s, int32_t max_list) {
    const size_t need = size_t(max_list) * (LOOKAHEAD + 1);
    if (s.ids.size() < need) {
        s.ids.resize(need);
        s.dists.resize(need);
    }
}

// One search's view of its visited marks and distance cache.
struct SearchMarks {
    uint16_t* vis;
    uint16_t ver;
    uint16_t* cached;
    uint16_t cver;
    float* dist;

    SearchMarks(VisitedMarks& marks, DistanceCache& cache, size_t n)
        : ver(marks.begin(n)), cver(cache.begin(n)) {
        vis = marks.marks.data();
        cached = cache.stamps.marks.data();
        dist = cache.dist.data();
    }
};

// Measures the neighbours of `node` on `layer` that are neither visited nor
// measured yet, together with those of the first candidates of `cand`; the
// distances land in mk.dist. Values above bound may be any number above it.
template <int M>
void measure_ahead(const HyperbolicIndex& ix, const float* q, float qn, int32_t node,
                   int32_t layer, const std::vector<NodeDist>& cand, SearchMarks& mk,
                   SearchScratch& s, float bound, int ahead) {
    using Ops = MetricOps<M>;
    int m = 0;
    auto gather = [&](int32_t from) {
        const LinkSpan nb = ix.nodes.links(from, layer);
        for (int32_t j = 0; j < nb.count; ++j) {
            const int32_t id = nb.ids[j];
            if (mk.vis[id] == mk.ver || mk.cached[id] == mk.cver || Ops::skips_boundary(ix, id))
                continue;
            mk.cached[id] = mk.cver;
            s.ids[size_t(m++)] = id;
        }
    };
    gather(node);
    for (int h = 0; h < ahead && h < int(cand.size()) && m < BATCH_TARGET; ++h)
        gather(cand[size_t(h)].id);
    Ops::batch(ix, q, qn, s.ids.data(), m, s.dists.data(), bound);
    for (int j = 0; j < m; ++j) mk.dist[s.ids[size_t(j)]] = s.dists[size_t(j)];
}

}  // namespace orv
