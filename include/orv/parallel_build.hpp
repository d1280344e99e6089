// Linked rows inserted on several threads into exactly the graph that
// inserting them one by one builds. Rounds alternate: the threads plan the
// next rows side by side over the graph as it stands, then the calling thread
// commits them in order. A plan is committed as it was made only where nothing
// it read has changed since; otherwise its row is planned again there and then.
#pragma once

#include <cstdint>

#include "orv/batch.hpp"

namespace orv {

// Rows planned per thread in one round: more spreads the uneven plans over
// the threads, fewer leaves fewer plans outdated by the commits before them.
constexpr int32_t AHEAD_ROWS_PER_THREAD = 2;

// Where the time of a parallel build went, for the benchmark.
struct ParallelBuildStats {
    int64_t rows = 0;
    // Rows whose plan made ahead was committed as it was.
    int64_t reused = 0;
    double plan_seconds = 0.0;
    double commit_seconds = 0.0;
};

// add_batch's linked insertion on up to `threads` threads. The caller holds the
// write guard and has checked the batch. stats, when given, is filled in.
int64_t add_linked_parallel(HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks,
                            int32_t ef_construction, int32_t threads, const RowProgress& progress,
                            ParallelBuildStats* stats = nullptr);

}  // namespace orv
