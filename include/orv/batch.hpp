// Many rows per call: batch insertion, batch search on native threads, and the
// level generator's seed and state. The binding only converts arrays.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "orv/hyperbolic_index.hpp"

namespace orv {

// A row-major float32 matrix handed in by the caller.
struct RowBlock {
    const float* data = nullptr;
    int64_t rows = 0;
    int64_t cols = 0;
    const float* row(int64_t i) const { return data + i * cols; }
};

// Masks of a batch: one per row, or one for every row when `each` is false.
struct MaskBlock {
    const uint64_t* data = nullptr;
    int64_t count = 0;
    bool each = false;
    uint64_t at(int64_t i) const { return each ? data[i] : (count > 0 ? data[0] : 0); }
};

// Throws std::invalid_argument naming the first fault of the batch: the width,
// a non-finite value of a linked row, the mask count, or the node-id limit.
void check_batch(const HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks,
                 bool linked);

// Called after every inserted row with the rows done so far; false stops the
// batch at that row boundary.
using RowProgress = std::function<bool(int64_t done)>;

struct ParallelBuildStats;

// Inserts the rows in order, exactly as one add_item_and_link (or
// add_item_flat) per row would, on up to `threads` threads for linked rows.
// The write guard is held for the whole batch, so a search running elsewhere
// makes it fail before it changes anything. Returns the rows inserted: fewer
// than rows.rows only when progress said stop.
int64_t add_batch(HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks,
                  int32_t ef_construction, bool linked, const RowProgress& progress,
                  int32_t threads = 1, ParallelBuildStats* stats = nullptr);

enum class SearchMethod : int32_t { HNSW = 0, FILTERED = 1, FLAT = 2 };

// Parses "hnsw", "filtered" or "flat"; anything else is an invalid_argument.
SearchMethod search_method_from_name(const std::string& name);

struct BatchQuery {
    SearchMethod method = SearchMethod::HNSW;
    int32_t k = 0;
    int32_t ef_search = 50;
    float max_radius = -1.0f;
    // min_norm of the graph searches, min_norm_sq of the flat search.
    float min_norm = -1.0f;
};

// The default ef_search of a method's own call.
int32_t default_ef_search(SearchMethod method);

// Answers every query into ids (padded with -1) and dists (padded with +inf),
// both rows x k, on up to `threads` native threads. Each row equals the
// per-query call, and each distance is compute_distance's, bit for bit.
void search_batch(const HyperbolicIndex& ix, const RowBlock& queries, const MaskBlock& filters,
                  const BatchQuery& opt, int32_t threads, int64_t* ids, float* dists);

// Threads this process may run on (its CPU affinity), at least 1.
int32_t usable_cores();

// Runs body(task) for task 0 .. tasks-1 on up to `threads` threads, the
// calling one among them. The first exception thrown stops the rest and is
// rethrown here.
void parallel_for(int64_t tasks, int32_t threads, const std::function<void(int64_t)>& body);

// The level generator, seeded as the constructor seeds it but from `seed`.
void seed_levels(HyperbolicIndex& ix, uint32_t seed);
// The generator's full state, as the standard library writes it.
std::string get_level_state(const HyperbolicIndex& ix);
// Restores a state from get_level_state; invalid_argument if it does not parse.
void set_level_state(HyperbolicIndex& ix, const std::string& state);

}  // namespace orv
