// The index: its record, the guard against changes during use, and the
// operations reached from Python, each of which checks its arguments, takes
// its guard and hands the work to the searcher or the builder.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "orv/graph_builder.hpp"
#include "orv/graph_searcher.hpp"
#include "orv/kernels.hpp"
#include "orv/metric_view.hpp"
#include "orv/node_store.hpp"

namespace orv {

// Layer-0 lists have a fixed stride of 2 M + 2 ids, so M is bounded to keep a
// node's record reasonable.
constexpr int32_t MAX_M = 1 << 16;

struct IndexStats {
    int32_t num_nodes = 0;
    int32_t ep_id = -1;
    int32_t ep_layer = -1;
    int32_t max_m = 0;
    int32_t max_m_0 = 0;
    int32_t dimension = 0;
    double avg_degree_layer0 = 0.0;
    std::vector<int64_t> layer_distribution;
};

// Readers count up, a writer claims the whole counter (see guards.hpp).
class UseCount {
  public:
    // False when a writer holds the index.
    bool enter_read() const;
    void leave_read() const;
    // False when anyone else is inside.
    bool enter_write() const;
    void leave_write() const;

  private:
    mutable std::atomic<int32_t> count_{0};
};

// The cap of a layer-0 list for lists capped at m above it.
constexpr int32_t layer0_cap(int32_t m) { return int32_t(uint32_t(m) << 1); }

class HyperbolicIndex {
  public:
    // kernels: the sum kernels every distance uses (the fastest by default).
    HyperbolicIndex(int32_t dimension, float curvature = 1.0f, int32_t M = 16,
                    const std::string& metric = "poincare",
                    const KernelSet& kernels = best_kernels());
    HyperbolicIndex(const HyperbolicIndex&) = delete;
    HyperbolicIndex& operator=(const HyperbolicIndex&) = delete;

    // Operations reached from Python. Arrays come as (data, element count);
    // the binding owns the buffers and the interpreter lock.
    void add_item_flat(const float* data, int64_t len, int ndim, uint64_t mask);
    void add_item_and_link(const float* data, int64_t len, uint64_t mask, int32_t ef_construction);
    std::vector<int32_t> custom_hnsw_search(const float* query, int64_t len, int32_t k,
                                            uint64_t filter_mask, int32_t ef_search,
                                            float max_radius, float min_norm) const;
    std::vector<int32_t> filtered_search(const float* query, int64_t len, int32_t k,
                                         uint64_t filter_mask, int32_t ef_search, float max_radius,
                                         float min_norm) const;
    std::vector<int32_t> hardware_flat_search(const float* query, int64_t len, int32_t k,
                                              uint64_t filter_mask, float max_radius,
                                              float min_norm_sq) const;
    void save_index(const std::string& filename) const;
    void load_index(const std::string& filename);
    IndexStats get_stats() const;
    std::string get_metric() const;
    float compute_distance(const float* query, int64_t len, int32_t node_id) const;
    float get_stored_norm(int32_t node_id) const;
    void update_masks(const uint64_t* new_masks, int64_t len);

    // For callers that hold the guard themselves, as the batch calls do for
    // a whole batch: the parts, without guard or argument checks.
    int32_t size() const { return nodes.count(); }
    MetricView view() const { return {nodes, kernels, dimension, metric_type}; }
    GraphSearcher searcher(SearchScratch& s) const { return {view(), {ep_id, ep_layer}, s}; }
    // Inserts a row of `dimension` values (finite, for a linked one).
    void insert_flat(const float* row, uint64_t mask) { builder.insert_flat(target(), row, mask); }
    void insert_linked(const float* row, uint64_t mask, int32_t ef_construction) {
        builder.insert_linked(target(), row, mask, ef_construction);
    }
    // Turns the layer-0 link memo on (where it is sound) or off; either way it
    // starts empty. By default it is on where it costs less memory than the vectors.
    void use_link_memo(bool wanted) { nodes.use_link_memo(wanted); }
    // What an insertion works on, for builders other than the index's own.
    BuildTarget target() { return {nodes, ep_id, ep_layer, max_m, max_m_0, view()}; }
    // The builder, which holds the level generator.
    GraphBuilder& graph_builder() { return builder; }
    const GraphBuilder& graph_builder() const { return builder; }
    const UseCount& use_count() const { return in_use; }

  private:
    // The dimension, M and what follows from them: the layer-0 cap and the
    // level multiplier. The constructor and load_index both end with it.
    void configure(int32_t dimension, int32_t M);
    void check_query(int64_t len) const;
    void check_node(int32_t node_id) const;

    int32_t dimension = 0;
    float curvature;
    int32_t max_m = 0;
    int32_t max_m_0 = 0;
    int32_t ep_id = -1;
    int32_t ep_layer = -1;
    int32_t metric_type;
    NodeStore nodes;
    // Holds level_mult, rng and unit_dist.
    GraphBuilder builder;
    const KernelSet* kernels;
    UseCount in_use;
};

}  // namespace orv
