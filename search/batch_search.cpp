// Batch search: every query answered by its method's own per-query code, on
// native threads, under one read guard for the whole batch.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "orv/batch.hpp"
#include "orv/guards.hpp"

namespace orv {

namespace {

// Queries per task: small enough to balance two threads, large enough that
// the shared counter is not a point of contention.
constexpr int64_t QUERIES_PER_TASK = 32;

std::vector<int32_t> answer(GraphSearcher& gs, const float* q, uint64_t filter,
                            const BatchQuery& opt) {
    switch (opt.method) {
    case SearchMethod::FILTERED:
        return gs.filtered_query(q, opt.k, filter, opt.ef_search, opt.max_radius, opt.min_norm);
    case SearchMethod::FLAT:
        return gs.flat_query(q, opt.k, filter, opt.max_radius, opt.min_norm);
    default:
        return gs.hnsw_query(q, opt.k, filter, opt.ef_search, opt.max_radius, opt.min_norm);
    }
}

// One query's row of the result: the ids found (at most k; k = 0 keeps none)
// and their distances, measured as compute_distance measures them.
void answer_row(GraphSearcher& gs, const float* q, uint64_t filter, const BatchQuery& opt,
                int64_t* ids, float* dists) {
    const std::vector<int32_t> found = answer(gs, q, filter, opt);
    const size_t n = std::min(found.size(), size_t(opt.k));
    std::fill(ids, ids + opt.k, int64_t(-1));
    std::fill(dists, dists + opt.k, INFINITY);
    if (n == 0) return;
    const MetricView& v = gs.view();
    const float q2 = v.query_norm(q);
    for (size_t j = 0; j < n; ++j) {
        ids[j] = found[j];
        dists[j] = v.distance(q, q2, found[j]);
    }
}

}  // namespace

SearchMethod search_method_from_name(const std::string& name) {
    if (name == "hnsw") return SearchMethod::HNSW;
    if (name == "filtered") return SearchMethod::FILTERED;
    if (name == "flat") return SearchMethod::FLAT;
    throw std::invalid_argument("method must be \"hnsw\", \"filtered\" or \"flat\", got \"" + name +
                                "\"");
}

int32_t default_ef_search(SearchMethod method) {
    return method == SearchMethod::FILTERED ? 2000 : 50;
}

void search_batch(const HyperbolicIndex& ix, const RowBlock& queries, const MaskBlock& filters,
                  const BatchQuery& opt, int32_t threads, int64_t* ids, float* dists) {
    ReadGuard guard(ix);
    const int32_t dim = ix.view().dimension;
    if (queries.cols != int64_t(dim))
        throw std::invalid_argument("expected " + std::to_string(dim) + " columns, got " +
                                    std::to_string(queries.cols));
    if (opt.k < 0)
        throw std::invalid_argument("k must be at least 0, got " + std::to_string(opt.k));
    if (filters.each && filters.count != queries.rows)
        throw std::invalid_argument("expected " + std::to_string(queries.rows) +
                                    " filter masks, one per query, got " +
                                    std::to_string(filters.count));
    const int64_t tasks = (queries.rows + QUERIES_PER_TASK - 1) / QUERIES_PER_TASK;
    parallel_for(tasks, threads, [&](int64_t t) {
        GraphSearcher gs = ix.searcher(thread_scratch());
        const int64_t end = std::min(queries.rows, (t + 1) * QUERIES_PER_TASK);
        for (int64_t i = t * QUERIES_PER_TASK; i < end; ++i)
            answer_row(gs, queries.row(i), filters.at(i), opt, ids + i * opt.k, dists + i * opt.k);
    });
}

}  // namespace orv
