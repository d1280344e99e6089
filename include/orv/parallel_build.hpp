// Linked rows inserted on several threads into exactly the graph that
// inserting them one by one builds. The threads plan the next rows over the
// graph while the calling thread commits rows in order. A plan is committed as
// it was made only where nothing it read has changed since it began; otherwise
// its row is planned again there and then.
#pragma once

#include <cstdint>

#include "orv/batch.hpp"

namespace orv {

// Rows planned ahead of the commits, per thread: more keeps the threads busy
// through uneven plans, fewer leaves fewer plans outdated by the commits
// made while they ran.
constexpr int32_t AHEAD_ROWS_PER_THREAD = 2;

// Where the time of a parallel build went, for the benchmark.
struct ParallelBuildStats {
    int64_t rows = 0;
    // Rows whose plan made ahead was committed as it was.
    int64_t reused = 0;
    // Planning summed over the threads; committing (planning again included)
    // and waiting for plans, on the calling thread.
    double plan_seconds = 0.0;
    double commit_seconds = 0.0;
    double replan_seconds = 0.0;
    double wait_seconds = 0.0;
};

// add_batch's linked insertion on up to `threads` threads. The caller holds the
// write guard and has checked the batch. stats, when given, is filled in.
int64_t add_linked_parallel(HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks,
                            int32_t ef_construction, int32_t threads, const RowProgress& progress,
                            ParallelBuildStats* stats = nullptr);

}  // namespace orv
