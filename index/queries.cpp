// The three searches reached from Python: each checks the query's length
// under the read guard and runs on this thread's searcher.
#include "orv/guards.hpp"
#include "orv/hyperbolic_index.hpp"

namespace orv {

std::vector<int32_t> HyperbolicIndex::custom_hnsw_search(const float* q, int64_t len, int32_t k,
                                                         uint64_t filter_mask, int32_t ef_search,
                                                         float max_radius, float min_norm) const {
    ReadGuard guard(*this);
    check_query(len);
    return searcher(thread_scratch())
        .hnsw_query(q, k, filter_mask, ef_search, max_radius, min_norm);
}

std::vector<int32_t> HyperbolicIndex::filtered_search(const float* q, int64_t len, int32_t k,
                                                      uint64_t filter_mask, int32_t ef_search,
                                                      float max_radius, float min_norm) const {
    ReadGuard guard(*this);
    check_query(len);
    return searcher(thread_scratch())
        .filtered_query(q, k, filter_mask, ef_search, max_radius, min_norm);
}

std::vector<int32_t> HyperbolicIndex::hardware_flat_search(const float* q, int64_t len, int32_t k,
                                                           uint64_t filter_mask, float max_radius,
                                                           float min_norm_sq) const {
    ReadGuard guard(*this);
    check_query(len);
    return searcher(thread_scratch()).flat_query(q, k, filter_mask, max_radius, min_norm_sq);
}

}  // namespace orv
