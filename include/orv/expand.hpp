// Expanding a node, shared by the layer search and the filtered search: its
// unvisited neighbours are marked and measured in one batch, then admitted in
// list order, which makes the same decisions as one node at a time.
#pragma once

#include <cstdint>

#include "orv/metric.hpp"

namespace orv {

constexpr int POINCARE_SEARCH_CUT_MIN = 4;

inline void ensure_batch_room(SearchScratch& s, int32_t max_list) {
    if (s.ids.size() < size_t(max_list)) {
        s.ids.resize(size_t(max_list));
        s.dists.resize(size_t(max_list));
    }
}

// Marks the neighbours of `node` on `layer` that are not visited yet and
// measures those the boundary rule keeps into s.ids / s.dists; returns their
// count. Values above bound may be any number above it.
template <int M>
int measure_unvisited(const HyperbolicIndex& ix, const float* q, float qn, int32_t node,
                      int32_t layer, uint16_t* vis, uint16_t ver, SearchScratch& s, float bound,
                      const float* q_tails) {
    using Ops = MetricOps<M>;
    const LinkSpan nb = ix.nodes.links(node, layer);
    // The lines a row spans, up to six: measured best on 784-d rows, where
    // most sums need at least that many before they can stop.
    constexpr size_t MAX_BYTES = 6 * 64;
    const size_t row_bytes = std::min(MAX_BYTES, size_t(ix.dimension) * sizeof(float));
    // Without a branch on the visited test, whose outcome is random: every id
    // is written and only the fresh ones are counted. A repeat in the list sees
    // the mark of its first copy.
    // The boundary test reads the node's norm, so it is made only where some
    // node may lie on the boundary.
    const bool boundary = Ops::any_boundary(ix);
    int m = 0;
    int32_t* ids = s.ids.data();
    for (int32_t j = 0; j < nb.count; ++j) {
        const int32_t id = nb.ids[j];
        const bool fresh = vis[id] != ver;
        vis[id] = ver;
        ids[m] = id;
        m += fresh && !(boundary && Ops::skips_boundary(ix, id));
    }
    // The rows are read by the batch; start their first lines now. A row of
    // one line or less spans at most two, its first and last byte's: fetching
    // both spares a branch whose outcome follows the row's offset.
    if (row_bytes <= 64) {
        for (int i = 0; i < m; ++i) {
            const char* row = reinterpret_cast<const char*>(ix.nodes.row(ids[i]));
            __builtin_prefetch(row);
            __builtin_prefetch(row + row_bytes - 1);
            // A short row's sum is quick; the epilogue's norm would be next
            // to wait for.
            if constexpr (M != EUCLIDEAN) __builtin_prefetch(ix.nodes.norms.data() + ids[i]);
        }
    } else {
        for (int i = 0; i < m; ++i) {
            const uintptr_t row = reinterpret_cast<uintptr_t>(ix.nodes.row(ids[i]));
            for (uintptr_t line = row & ~uintptr_t(63); line < row + row_bytes; line += 64)
                __builtin_prefetch(reinterpret_cast<const void*>(line));
        }
    }
    // Poincaré: past the bound's cut-off the logarithm is skipped; finding the
    // cut-off costs a few logarithms, so small batches do without.
    float x_cut = INFINITY;
    if constexpr (M == POINCARE)
        if (m >= POINCARE_SEARCH_CUT_MIN && bound < INFINITY) x_cut = s.x_above.get(bound);
    Ops::batch_cut(ix, q, qn, s.ids.data(), m, s.dists.data(), bound, x_cut, q_tails);
    return m;
}

}  // namespace orv
