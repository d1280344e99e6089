// Expanding a node, shared by the layer search and the filtered search: its
// unvisited neighbours are marked and measured in one batch, then admitted in
// list order, which makes the same decisions as one node at a time.
#pragma once

#include <cstdint>

#include "orv/metric.hpp"

namespace orv {

constexpr int POINCARE_SEARCH_CUT_MIN = 4;
// A batch's sums run as long for one node as for a full group of kernel
// lanes, and two groups run side by side: the layer search fills its batches
// up to this many with nodes of the expansions likely to come next.
constexpr int AHEAD_FILL = 16;
// The candidates whose lists are drawn on: the top of the heap and its
// children, the nearest few.
constexpr int AHEAD_GUESSES = 7;
// Below this dimension a lone group is short, and measuring ahead cannot pay.
constexpr int32_t AHEAD_MIN_DIM = 64;
// Narrower beams end before most of the nodes measured ahead are reached
// (784-d cosine queries at ef 10 ran 4-12 % faster without).
constexpr int32_t AHEAD_MIN_EF = 32;

// Whether a layer search of rows of dim components with a beam of ef measures ahead.
inline bool measures_ahead(int32_t dim, int32_t ef) {
    return dim >= AHEAD_MIN_DIM && ef >= AHEAD_MIN_EF;
}

// Other users of the scratch may have grown some of these on their own.
inline void ensure_batch_room(SearchScratch& s, int32_t max_list) {
    const size_t n = size_t(max_list), with_ahead = n + AHEAD_FILL;
    if (s.ids.size() < n) s.ids.resize(n);
    if (s.dists.size() < n) s.dists.resize(n);
    if (s.todo_pos.size() < n) s.todo_pos.resize(n);
    if (s.todo_ids.size() < with_ahead) s.todo_ids.resize(with_ahead);
    if (s.todo_dists.size() < with_ahead) s.todo_dists.resize(with_ahead);
}

// A node's list as a search reads it, and its j-th id. SHARED: a layer-0 list
// may be changing (a plan made ahead in a parallel build), so it is read value
// by value, once.
template <bool SHARED>
inline LinkSpan read_list(const NodeStore& nodes, int32_t node, int32_t layer) {
    return SHARED && layer == 0 ? nodes.links_shared(node) : nodes.links(node, layer);
}
template <bool SHARED>
inline int32_t read_id(const LinkSpan& nb, int32_t j, int32_t layer) {
    return SHARED && layer == 0 ? load_shared(nb.ids + j) : nb.ids[j];
}

// Marks the neighbours of `node` on `layer` that are not visited yet and
// writes those the boundary rule keeps to ids, in list order; returns their
// count. Without a branch on the visited test, whose outcome is random: every
// id is written and only the fresh ones are counted. A repeat in the list sees
// the mark of its first copy. SHARED as for read_list.
template <int M, bool SHARED = false>
int collect_fresh(const MetricView& view, int32_t node, int32_t layer, uint16_t* vis, uint16_t ver,
                  int32_t* ids) {
    using Ops = MetricOps<M>;
    const LinkSpan nb = read_list<SHARED>(view.nodes, node, layer);
    // The boundary test reads the node's norm, so it is made only where some
    // node may lie on the boundary.
    const bool boundary = Ops::any_boundary(view);
    int m = 0;
    for (int32_t j = 0; j < nb.count; ++j) {
        const int32_t id = read_id<SHARED>(nb, j, layer);
        const bool fresh = vis[id] != ver;
        vis[id] = ver;
        ids[m] = id;
        m += fresh && !(boundary && Ops::skips_boundary(view, id));
    }
    return m;
}

// Starts reading the rows (and for short rows the norms) of ids.
template <int M>
void prefetch_rows(const MetricView& view, const int32_t* ids, int m) {
    // The lines a row spans, up to six: measured best on 784-d rows, where
    // most sums need at least that many before they can stop.
    constexpr size_t MAX_BYTES = 6 * 64;
    const size_t row_bytes = std::min(MAX_BYTES, size_t(view.dimension) * sizeof(float));
    // A row of one line or less spans at most two, its first and last byte's:
    // fetching both spares a branch whose outcome follows the row's offset.
    if (row_bytes <= 64) {
        for (int i = 0; i < m; ++i) {
            const char* row = reinterpret_cast<const char*>(view.nodes.row(ids[i]));
            __builtin_prefetch(row);
            __builtin_prefetch(row + row_bytes - 1);
            // A short row's sum is quick; the epilogue's norm would be next
            // to wait for.
            if constexpr (M != EUCLIDEAN) __builtin_prefetch(view.nodes.norms.data() + ids[i]);
        }
        return;
    }
    for (int i = 0; i < m; ++i) {
        const uintptr_t row = reinterpret_cast<uintptr_t>(view.nodes.row(ids[i]));
        for (uintptr_t line = row & ~uintptr_t(63); line < row + row_bytes; line += 64)
            __builtin_prefetch(reinterpret_cast<const void*>(line));
    }
}

// Distances of ids to q into out; values above bound may be any number above it.
template <int M>
void measure_ids(const MetricView& view, const float* q, float qn, const int32_t* ids, int m,
                 float* out, float bound, const float* q_tails, SearchScratch& s) {
    // Poincaré: past the bound's cut-off the logarithm is skipped; finding the
    // cut-off costs a few logarithms, so small batches do without.
    float x_cut = INFINITY;
    if constexpr (M == POINCARE)
        if (m >= POINCARE_SEARCH_CUT_MIN && bound < INFINITY) x_cut = s.x_above.get(bound);
    MetricOps<M>::batch_cut(view, q, qn, ids, m, out, bound, x_cut, q_tails);
}

// Logs a measured batch where the scratch asks for it.
inline void log_measured(SearchScratch& s, const int32_t* ids, const float* d, int m, float bound) {
    if (s.measure_log == nullptr) return;
    for (int i = 0; i < m; ++i) s.measure_log->push_back({ids[i], d[i], bound});
}

// Marks the neighbours of `node` on `layer` that are not visited yet and
// measures those the boundary rule keeps into s.ids / s.dists; returns their
// count. Values above bound may be any number above it. LOG: also into the
// scratch's measure log.
template <int M, bool LOG>
int measure_unvisited(const MetricView& view, const float* q, float qn, int32_t node, int32_t layer,
                      uint16_t* vis, uint16_t ver, SearchScratch& s, float bound,
                      const float* q_tails) {
    const int m = collect_fresh<M, LOG>(view, node, layer, vis, ver, s.ids.data());
    prefetch_rows<M>(view, s.ids.data(), m);
    measure_ids<M>(view, q, qn, s.ids.data(), m, s.dists.data(), bound, q_tails, s);
    if constexpr (LOG) log_measured(s, s.ids.data(), s.dists.data(), m, bound);
    return m;
}

// measure_unvisited, with the distances of s.known taken where they decide
// as a new sum would: an exact one always, a stand-in when it stopped at a
// bound at least this one (so the node stays out either way).
template <int M>
int measure_unvisited_known(const MetricView& view, const float* q, float qn, int32_t node,
                            int32_t layer, uint16_t* vis, uint16_t ver, SearchScratch& s,
                            float bound, const float* q_tails) {
    const int m = collect_fresh<M>(view, node, layer, vis, ver, s.ids.data());
    const KnownDistances& known = *s.known;
    const uint16_t kver = known.stamps.version;
    int32_t* todo = s.todo_ids.data();
    int t = 0;
    for (int j = 0; j < m; ++j) {
        const int32_t id = s.ids[size_t(j)];
        const float d = known.dist[size_t(id)], b = known.bound[size_t(id)];
        if (known.stamps.marks[size_t(id)] == kver && (d < b || bound <= b)) {
            s.dists[size_t(j)] = d;
        } else {
            todo[t] = id;
            s.todo_pos[size_t(t++)] = j;
        }
    }
    prefetch_rows<M>(view, todo, t);
    measure_ids<M>(view, q, qn, todo, t, s.todo_dists.data(), bound, q_tails, s);
    for (int i = 0; i < t; ++i) s.dists[size_t(s.todo_pos[size_t(i)])] = s.todo_dists[size_t(i)];
    return m;
}

// measure_unvisited, with distances measured ahead: those found in `ahead`
// (stamp aver) are taken from it, and the batch of the rest is filled up to
// AHEAD_FILL with unvisited neighbours, not yet measured, of the guesses
// (candidates likely to be expanded soon), left in `ahead` and unmarked. A
// distance depends on the bound only above it, and bounds only fall, so a
// value measured ahead is what a later batch would give, or a stand-in above
// its bound.
template <int M, bool LOG>
int measure_unvisited_ahead(const MetricView& view, const float* q, float qn, int32_t node,
                            const NodeDist* guesses, int n_guesses, int32_t layer, uint16_t* vis,
                            uint16_t ver, SearchScratch& s, float bound, const float* q_tails,
                            DistanceCache& ahead, uint16_t aver) {
    using Ops = MetricOps<M>;
    // With a bound the guesses' lists will be read below (the nearest one's
    // first line is on its way already): started before the node's own.
    if (layer == 0 && bound < INFINITY)
        for (int k = 1; k < n_guesses; ++k) view.nodes.prefetch_list(guesses[k].id);
    const int m = collect_fresh<M, LOG>(view, node, layer, vis, ver, s.ids.data());
    uint16_t* stamp = ahead.stamps.marks.data();
    int32_t* todo = s.todo_ids.data();
    int t = 0;
    for (int j = 0; j < m; ++j) {
        const int32_t id = s.ids[size_t(j)];
        if (stamp[id] == aver) {
            s.dists[size_t(j)] = ahead.dist[size_t(id)];
        } else {
            todo[t] = id;
            s.todo_pos[size_t(t++)] = j;
        }
    }
    int g = t;
    if (t > 0 && t < AHEAD_FILL && bound < INFINITY) {
        const bool boundary = Ops::any_boundary(view);
        for (int k = 0; k < n_guesses && g < AHEAD_FILL; ++k) {
            const LinkSpan nb = read_list<LOG>(view.nodes, guesses[k].id, layer);
            // Without a branch on the marks, whose outcomes are coin tosses:
            // every id is written, the ones taken counted and stamped (stamped
            // now, so that a node in several lists is measured once).
            for (int32_t j = 0; j < nb.count && g < AHEAD_FILL; ++j) {
                const int32_t id = read_id<LOG>(nb, j, layer);
                const bool take = (vis[id] != ver) & (stamp[id] != aver) &
                                  !(boundary && Ops::skips_boundary(view, id));
                stamp[id] = take ? aver : stamp[id];
                todo[g] = id;
                g += take;
            }
        }
    }
    prefetch_rows<M>(view, todo, g);
    measure_ids<M>(view, q, qn, todo, g, s.todo_dists.data(), bound, q_tails, s);
    if constexpr (LOG) log_measured(s, todo, s.todo_dists.data(), g, bound);
    for (int i = 0; i < t; ++i) s.dists[size_t(s.todo_pos[size_t(i)])] = s.todo_dists[size_t(i)];
    for (int i = t; i < g; ++i) ahead.dist[size_t(todo[i])] = s.todo_dists[size_t(i)];
    return m;
}

}  // namespace orv
