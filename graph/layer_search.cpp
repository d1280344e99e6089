// Beam search on one layer of the graph.
#include <algorithm>
#include <cmath>
#include <functional>

#include "orv/expand.hpp"

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

DistanceCache& layer_search_ahead() {
    thread_local DistanceCache cache;
    return cache;
}

// Keeps, in order, the records of the batch whose distance is below bound;
// returns their count. The watch sees the others as records that never
// entered (NaN among them), as the admission loop would have shown them.
template <bool WATCH>
static int keep_below(SearchScratch& s, int m, float bound, BeamWatch* watch) {
    int32_t* ids = s.ids.data();
    float* dists = s.dists.data();
    int n = 0;
    BeamWatch dropped;
    for (int j = 0; j < m; ++j) {
        const float d = dists[j];
        ids[n] = ids[j];
        dists[n] = d;
        const bool in = d < bound;
        n += in;
        if constexpr (WATCH) {
            dropped.saw(d);
            dropped.left(in ? INFINITY : d);
        }
    }
    if constexpr (WATCH) {
        watch->nan = watch->nan || dropped.nan;
        watch->left(dropped.min_out);
    }
    return n;
}

// Leaves the batch's distances in `kept` by node id.
static void keep_batch(const SearchScratch& s, int m, DistanceCache& kept, uint16_t kver) {
    for (int j = 0; j < m; ++j) {
        const int32_t id = s.ids[size_t(j)];
        kept.stamps.marks[size_t(id)] = kver;
        kept.dist[size_t(id)] = s.dists[size_t(j)];
    }
}

// Admits the batch's records in list order: each enters the candidates and
// the beam of ef when the beam has room or it is nearer than the beam's top.
template <bool WATCH>
static void admit_batch(SearchScratch& s, int m, int32_t ef, BeamWatch* watch) {
    auto& cand = s.cand;
    auto& beam = s.beam;
    for (int j = 0; j < m; ++j) {
        const NodeDist r{s.dists[size_t(j)], s.ids[size_t(j)]};
        if constexpr (WATCH) watch->saw(r.dist);
        if (int32_t(beam.size()) < ef || r.dist < beam.front().dist) {
            cand.push_back(r);
            std::push_heap(cand.begin(), cand.end(), std::greater<NodeDist>{});
            beam.push_back(r);
            std::push_heap(beam.begin(), beam.end(), std::less<NodeDist>{});
            if (int32_t(beam.size()) > ef) {
                std::pop_heap(beam.begin(), beam.end(), std::less<NodeDist>{});
                if constexpr (WATCH) watch->left(beam.back().dist);
                beam.pop_back();
            }
        } else if constexpr (WATCH) {
            watch->left(r.dist);
        }
    }
}

template <int M, bool WATCH>
void HyperbolicIndex::search_layer_into(const float* q, float qn, int32_t entry, int32_t ef,
                                        int32_t layer, SearchScratch& s, bool keep,
                                        BeamWatch* watch) const {
    using Ops = MetricOps<M>;
    if (ef < 1) ef = 1;
    ensure_batch_room(s, nodes.max_list());
    VisitedMarks& marks = layer_search_marks();
    const uint16_t ver = marks.begin(size_t(size()));
    uint16_t* vis = marks.marks.data();
    // With keep, every distance measured is kept by node id: a linked
    // insertion reads them back when it links the new node (values above the
    // bound of their moment are stand-ins, as the batch allows).
    DistanceCache& kept = layer_search_cache();
    const uint16_t kver = keep ? kept.begin(size_t(size())) : 0;
    const bool ahead_on = dimension >= AHEAD_MIN_DIM;
    DistanceCache& ahead = layer_search_ahead();
    const uint16_t aver = ahead_on ? ahead.begin(size_t(size())) : 0;
    auto& cand = s.cand;
    auto& beam = s.beam;
    cand.clear();
    beam.clear();
    const float* q_tails = Ops::query_tails(*this, q, s.q_tails);
    const float d0 = Ops::one(*this, q, qn, entry);
    if constexpr (WATCH) watch->saw(d0);
    cand.push_back({d0, entry});
    vis[entry] = ver;
    beam.push_back({d0, entry});
    while (!cand.empty()) {
        std::pop_heap(cand.begin(), cand.end(), std::greater<NodeDist>{});
        const NodeDist c = cand.back();
        cand.pop_back();
        if (int32_t(beam.size()) >= ef && c.dist > beam.front().dist) break;
        // The next expansion is likely the nearest candidate left: start its
        // list while this one is measured.
        const int32_t guess = cand.empty() ? -1 : cand.front().id;
        if (guess >= 0) nodes.prefetch_links(guess, layer);
        // A full beam's top only falls from here on, so it bounds the batch.
        const float bound = int32_t(beam.size()) >= ef ? beam.front().dist : INFINITY;
        const int n_guesses = std::min(int(cand.size()), AHEAD_GUESSES);
        int m = ahead_on
                    ? measure_unvisited_ahead<M>(*this, q, qn, c.id, cand.data(), n_guesses, layer,
                                                 vis, ver, s, bound, q_tails, ahead, aver)
                    : measure_unvisited<M>(*this, q, qn, c.id, layer, vis, ver, s, bound, q_tails);
        if (keep) keep_batch(s, m, kept, kver);
        // Nothing at or above the bound can enter a full beam: such records
        // are dropped first without a branch, and the admission test then
        // mostly passes.
        if (bound < INFINITY) m = keep_below<WATCH>(s, m, bound, watch);
        admit_batch<WATCH>(s, m, ef, watch);
    }
}

void HyperbolicIndex::search_layer_dispatch(const float* q, float qn, int32_t entry, int32_t ef,
                                            int32_t layer, SearchScratch& s, bool keep,
                                            BeamWatch* watch) const {
    with_metric(metric_type, [&](auto m) {
        if (watch != nullptr)
            search_layer_into<decltype(m)::value, true>(q, qn, entry, ef, layer, s, keep, watch);
        else
            search_layer_into<decltype(m)::value, false>(q, qn, entry, ef, layer, s, keep, watch);
    });
}

std::vector<NodeDist> HyperbolicIndex::search_layer(const float* q, float qn, int32_t entry,
                                                    int32_t ef, int32_t layer) const {
    SearchScratch& s = thread_scratch();
    search_layer_dispatch(q, qn, entry, ef, layer, s);
    return s.beam;
}

// The layer search with ef = 1, without its heaps: its beam is the best node so
// far, and every node it admits is nearer than all before it, so it always
// expands the best and stops when that brings nothing nearer.
template <int M>
int32_t HyperbolicIndex::greedy_walk(const float* q, float qn, int32_t entry, int32_t top,
                                     int32_t bottom, SearchScratch& s) const {
    using Ops = MetricOps<M>;
    ensure_batch_room(s, nodes.max_list());
    VisitedMarks& marks = layer_search_marks();
    const float* q_tails = Ops::query_tails(*this, q, s.q_tails);
    int32_t cur = entry;
    for (int32_t layer = top; layer >= bottom; --layer) {
        const uint16_t ver = marks.begin(size_t(size()));
        uint16_t* vis = marks.marks.data();
        vis[cur] = ver;
        float best = Ops::one(*this, q, qn, cur);
        for (;;) {
            const int m =
                measure_unvisited<M>(*this, q, qn, cur, layer, vis, ver, s, best, q_tails);
            const int32_t from = cur;
            for (int j = 0; j < m; ++j) {
                if (s.dists[size_t(j)] < best) {
                    best = s.dists[size_t(j)];
                    cur = s.ids[size_t(j)];
                }
            }
            if (cur == from) break;
        }
    }
    return cur;
}

// The Poincaré walk compares arguments x of arcosh first: a node can be nearer
// than the best only if its x is below the best's, as the distance never
// decreases in x. So a logarithm is taken only for such nodes, and no cut-off
// has to be found each time the best falls.
int32_t HyperbolicIndex::greedy_walk_x(const float* q, float qn, int32_t entry, int32_t top,
                                       int32_t bottom, SearchScratch& s) const {
    using Ops = MetricOps<POINCARE>;
    ensure_batch_room(s, nodes.max_list());
    VisitedMarks& marks = layer_search_marks();
    int32_t cur = entry;
    for (int32_t layer = top; layer >= bottom; --layer) {
        const uint16_t ver = marks.begin(size_t(size()));
        uint16_t* vis = marks.marks.data();
        vis[cur] = ver;
        float best_x;
        Ops::x_batch(*this, q, qn, &cur, 1, &best_x);
        float best = poincare_from_x(best_x);
        for (;;) {
            const int m = collect_fresh<POINCARE>(*this, cur, layer, vis, ver, s.ids.data());
            prefetch_rows<POINCARE>(*this, s.ids.data(), m);
            Ops::x_batch(*this, q, qn, s.ids.data(), m, s.dists.data());
            const int32_t from = cur;
            for (int j = 0; j < m; ++j) {
                const float x = s.dists[size_t(j)];
                if (!(x < best_x)) continue;
                const float d = poincare_from_x(x);
                if (d < best) {
                    best = d;
                    best_x = x;
                    cur = s.ids[size_t(j)];
                }
            }
            if (cur == from) break;
        }
    }
    return cur;
}

int32_t HyperbolicIndex::greedy_descent(const float* q, float qn, int32_t entry, int32_t top,
                                        int32_t bottom, SearchScratch& s) const {
    if (top < bottom) return entry;
    return with_metric(metric_type, [&](auto m) {
        if constexpr (decltype(m)::value == POINCARE)
            return greedy_walk_x(q, qn, entry, top, bottom, s);
        else
            return greedy_walk<decltype(m)::value>(q, qn, entry, top, bottom, s);
    });
}

}  // namespace orv
