// The index record shared by every subsystem.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "orv/kernels.hpp"
#include "orv/node_store.hpp"

namespace orv {

enum MetricType : int32_t { POINCARE = 0, EUCLIDEAN = 1, COSINE = 2 };

// Element of every candidate queue, beam and result heap; ordered by dist alone.
struct NodeDist {
    float dist;
    int32_t id;
    bool operator<(const NodeDist& o) const { return dist < o.dist; }
    bool operator>(const NodeDist& o) const { return dist > o.dist; }
};

// What a caller may ask of a beam search: whether any distance measured was
// NaN, and the smallest distance of a record that left the beam or never
// entered it.
struct BeamWatch {
    bool nan = false;
    float min_out = INFINITY;
    void saw(float d) { nan = nan || std::isnan(d); }
    void left(float d) { min_out = std::min(min_out, d); }
};

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

// Largest table of selected-to-candidate distances the neighbour heuristic keeps;
// past it the heuristic measures one candidate at a time.
constexpr size_t MAX_PAIR_TABLE = size_t(1) << 16;

// poincare_x_above of the last bound asked for: a search asks again and again
// while its bound stays the same.
struct XAboveCache {
    bool known = false;
    uint32_t last_bits = 0;
    float last_x = 0.0f;
    float get(float bound);
};

// Per-thread working memory of the searches, reused from call to call so that
// the hot paths allocate nothing once it has grown.
struct SearchScratch {
    std::vector<NodeDist> cand;
    std::vector<NodeDist> beam;
    std::vector<NodeDist> result;
    std::vector<NodeDist> work;
    std::vector<NodeDist> pruned;
    std::vector<int32_t> ids;
    std::vector<float> dists;
    // A batch measured with nodes ahead: the ids measured, their distances,
    // and the position in ids of each of the first.
    std::vector<int32_t> todo_ids;
    std::vector<float> todo_dists;
    std::vector<int32_t> todo_pos;
    std::vector<int32_t> selected;
    // Neighbour selection: distances from each selected node to later candidates.
    std::vector<float> pair_dist;
    std::vector<int32_t> row_end;
    std::vector<int32_t> cand_ids;
    // Poincaré: each candidate's argument x of arcosh from the base.
    std::vector<float> cand_x;
    // Distances of the ids a selection returned, in the same order.
    std::vector<float> out_dist;
    // How many of them the selection took outright, before filling in.
    int32_t taken = 0;
    // A memo shrink: distances, pruning rows and ids by slot, the slot of each
    // list position, and the slots kept.
    std::vector<float> slot_dist;
    std::vector<uint64_t> rows;
    std::vector<int32_t> slot_ids;
    std::vector<int32_t> pos_slot;
    std::vector<int32_t> slots;
    // The query's tail norm bounds, worked out once per search.
    float q_tails[MAX_TAIL_CHECKS];
    XAboveCache x_above;
    // The sorted beam: distances ascending, ids (bitwise not once expanded).
    std::vector<float> sorted_dist;
    std::vector<int32_t> sorted_id;
};

SearchScratch& thread_scratch();

// Versioned visited marks: a node is visited when its mark equals the version,
// so starting a search costs one increment instead of a clear.
struct VisitedMarks {
    BigVector<uint16_t> marks;
    uint16_t version = 0;
    uint16_t begin(size_t n);
};

// Marks of the layer search, shared by every index searched on this thread.
VisitedMarks& layer_search_marks();

// Distances measured by the latest layer search on this thread that kept
// them, by node id, for the linked insertion that ran it.
struct DistanceCache {
    VisitedMarks stamps;
    BigVector<float> dist;
    uint16_t begin(size_t n) {
        if (dist.size() < n) dist.resize(n);
        return stamps.begin(n);
    }
};
DistanceCache& layer_search_cache();
// Distances the latest layer search on this thread measured ahead of need.
DistanceCache& layer_search_ahead();

// Query limits shared by the graph searches.
struct QueryLimits {
    uint64_t filter_mask = 0;
    float max_radius = -1.0f;
    float min_norm = -1.0f;
};

class HyperbolicIndex {
  public:
    HyperbolicIndex(int32_t dimension, float curvature = 1.0f, int32_t M = 16,
                    const std::string& metric = "poincare");
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
    // The two insertions without their guard and argument checks, for a
    // caller that holds the write guard and has checked the row (batches).
    void insert_flat(const float* data, uint64_t mask);
    void insert_linked(const float* data, uint64_t mask, int32_t ef_construction);
    // The three searches likewise, for a caller that holds a read guard and
    // passes queries of `dimension` values.
    std::vector<int32_t> hnsw_query(const float* q, int32_t k, uint64_t filter_mask,
                                    int32_t ef_search, float max_radius, float min_norm) const;
    std::vector<int32_t> filtered_query(const float* q, int32_t k, uint64_t filter_mask,
                                        int32_t ef_search, float max_radius, float min_norm) const;
    std::vector<int32_t> flat_query(const float* q, int32_t k, uint64_t filter_mask,
                                    float max_radius, float min_norm_sq) const;
    // The squared norm every distance from q is measured with.
    float query_norm_of(const float* q) const;

    // Internals, reached from the C++ tests.
    float dist_to_node(const float* query, float query_norm, int32_t node_id) const;
    void dist_batch(const float* query, float query_norm, const int32_t* ids, int count,
                    float* out) const;
    std::vector<NodeDist> search_layer(const float* query, float query_norm, int32_t entry_id,
                                       int32_t ef, int32_t layer) const;
    // The layer-0 beam of ef from entry, nearest first, into s.work: what the
    // layer search leaves, drained. watch as for the layer search.
    void layer0_ascending(const float* query, float query_norm, NodeDist entry, int32_t ef,
                          SearchScratch& s, BeamWatch* watch = nullptr) const;
    std::vector<int32_t> select_neighbours(const float* query, float query_norm,
                                           std::vector<NodeDist>& candidates, int32_t cap) const;
    int32_t size() const { return nodes.count(); }
    void use_kernels(const KernelSet& k) { kernels = &k; }
    // Turns the layer-0 link memo on (where it is sound) or off; either way it
    // starts empty. By default it is on when it costs less memory than the vectors.
    void use_link_memo(bool wanted);

    int32_t dimension;
    float curvature;
    int32_t max_m;
    int32_t max_m_0;
    int32_t ep_id = -1;
    int32_t ep_layer = -1;
    float level_mult;
    int32_t metric_type;
    NodeStore nodes;
    std::mt19937 rng;
    std::uniform_real_distribution<double> unit_dist{0.0, 1.0};

  private:
    template <int M>
    friend struct MetricOps;

    template <int M, bool WATCH>
    // keep: leave the distances measured in layer_search_cache() (for linking).
    // watch, when given, follows the records measured (see BeamWatch).
    // entry comes with its distance, which the caller has measured already.
    void search_layer_into(const float* query, float query_norm, NodeDist entry, int32_t ef,
                           int32_t layer, SearchScratch& s, bool keep, BeamWatch* watch) const;
    void search_layer_dispatch(const float* query, float query_norm, NodeDist entry, int32_t ef,
                               int32_t layer, SearchScratch& s, bool keep = false,
                               BeamWatch* watch = nullptr) const;
    // The layer-0 search with its beam as a sorted array: false, with s.work
    // unusable, where two records met in the beam are equal or one is NaN.
    template <int M, bool WATCH>
    bool sorted_beam_into(const float* query, float query_norm, NodeDist entry, int32_t ef,
                          SearchScratch& s, BeamWatch* watch) const;
    // sorted_beam_into for this metric; false also for beams too wide for it.
    bool sorted_beam_dispatch(const float* query, float query_norm, NodeDist entry, int32_t ef,
                              SearchScratch& s, BeamWatch* watch) const;
    // From entry (with its distance), the nearest node the walk finds, with its distance.
    NodeDist greedy_descent(const float* query, float query_norm, NodeDist entry, int32_t top,
                            int32_t bottom, SearchScratch& s) const;
    template <int M>
    NodeDist greedy_walk(const float* query, float query_norm, NodeDist entry, int32_t top,
                         int32_t bottom, SearchScratch& s) const;
    // base: the vector the candidates' distances were measured from, when each
    // is exactly the distance of its node to it (lets Poincaré skip logarithms).
    void select_into(std::vector<NodeDist>& heap, int32_t cap, SearchScratch& s,
                     std::vector<int32_t>& out, const float* base = nullptr,
                     float base_norm = 0.0f) const;
    bool pruned_by_selected(const NodeDist& c, const std::vector<int32_t>& selected) const;
    void heuristic_sequential(int32_t cap, SearchScratch& s, std::vector<int32_t>& out) const;
    // select_into over the candidates already in s.work, in drained order.
    void select_sorted(int32_t cap, SearchScratch& s, std::vector<int32_t>& out, const float* base,
                       float base_norm) const;
    void heuristic_by_rows(int32_t cap, SearchScratch& s, std::vector<int32_t>& out,
                           const float* base, float base_norm) const;
    void extend_pair_row(const std::vector<int32_t>& out, size_t r, size_t k, SearchScratch& s,
                         float top, float x_cut, bool x_rows) const;
    void fill_pair_row(int32_t sid, const int32_t* ids, int count, float* row, float last,
                       float top, float x_cut, bool x_rows) const;
    int32_t draw_level();
    void plan_links(const float* v, float sq, int32_t level, int32_t ef,
                    std::vector<std::vector<int32_t>>& plan, std::vector<float>& dist0,
                    float& worst0, int32_t& taken0);
    void link_reverse(int32_t new_id, int32_t n, int32_t layer, int32_t cap, SearchScratch& s);
    bool shrink_by_split(int32_t n, const LinkSpan& l, int32_t split, int32_t cap,
                         SearchScratch& s);
    void link_reverse_memo(int32_t new_id, int32_t n, float d_new, float worst, int32_t cap,
                           SearchScratch& s);
    template <int M>
    void memo_pairs(const int32_t* ids, int32_t from, int32_t lo, int32_t hi, float bound,
                    SearchScratch& s) const;
    template <int M>
    void memo_extend(int32_t last, float worst, float bound, SearchScratch& s) const;
    template <int M>
    void memo_table(int32_t n, const int32_t* ids, int32_t cnt, float d_new, float worst,
                    bool known, SearchScratch& s) const;
    void memo_select(int32_t cnt, int32_t cap, SearchScratch& s) const;
    void memo_store(int32_t n, int32_t cnt, SearchScratch& s);
    void check_query(int64_t len) const;
    void check_node(int32_t node_id) const;
    // The query's squared norm (into q2) and the entry point with its distance.
    NodeDist query_start(const float* q, float& q2) const;

    bool pass_all_from_beam(const float* q, float q2, NodeDist entry, int32_t k, int32_t maxef,
                            SearchScratch& s, std::vector<int32_t>& out) const;
    template <int M>
    std::vector<int32_t> filtered_layer0(const float* q, float q2, NodeDist entry, int32_t k,
                                         int32_t maxef, const QueryLimits& lim,
                                         SearchScratch& s) const;
    template <int M>
    void flat_scan(const float* q, float q2, int32_t k, const QueryLimits& lim,
                   SearchScratch& s) const;

    const KernelSet* kernels;

    // Guards the rule that an index is not changed while it is in use: readers
    // count up, a writer claims the whole counter. No lock on the search path.
    mutable std::atomic<int32_t> in_flight_{0};
    friend class ReadGuard;
    friend class WriteGuard;
};

}  // namespace orv
