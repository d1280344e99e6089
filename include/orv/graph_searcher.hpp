// The searches over a graph: the greedy descent, the beam search on one layer
// and the plain, filtered and flat query loops. A searcher only reads the
// rows and links; its working memory is the scratch it is given, so that
// searchers with scratches of their own run side by side over one graph.
#pragma once

#include <cstdint>
#include <vector>

#include "orv/metric_view.hpp"
#include "orv/scratch.hpp"

namespace orv {

// Where searches enter the graph: a node and its top layer, -1 for none.
struct EntryPoint {
    int32_t id = -1;
    int32_t layer = -1;
};

class GraphSearcher {
  public:
    GraphSearcher(const MetricView& view, EntryPoint entry, SearchScratch& s)
        : view_(view), entry_(entry), s_(s) {}

    const MetricView& view() const { return view_; }
    EntryPoint entry() const { return entry_; }
    SearchScratch& scratch() const { return s_; }

    // The query loops; queries hold `dimension` values. k < 0 fails as a
    // reservation would; limits below 0 are off.
    std::vector<int32_t> hnsw_query(const float* q, int32_t k, uint64_t filter_mask,
                                    int32_t ef_search, float max_radius, float min_norm);
    std::vector<int32_t> filtered_query(const float* q, int32_t k, uint64_t filter_mask,
                                        int32_t ef_search, float max_radius, float min_norm);
    std::vector<int32_t> flat_query(const float* q, int32_t k, uint64_t filter_mask,
                                    float max_radius, float min_norm_sq);

    // The query's squared norm (into q2) and the entry point with its distance.
    NodeDist query_start(const float* q, float& q2) const;
    // From entry (with its distance), the nearest node a greedy walk down
    // layers top .. bottom finds, with its distance.
    NodeDist descend(const float* q, float qn, NodeDist entry, int32_t top, int32_t bottom);
    // The beam of ef from entry (with its distance) on one layer, as a max-heap
    // in scratch().beam. keep, when given, gets every distance measured by node
    // id (values above the bound of their moment are stand-ins above it);
    // watch, when given, follows the records measured (see BeamWatch).
    void search_layer(const float* q, float qn, NodeDist entry, int32_t ef, int32_t layer,
                      DistanceCache* keep = nullptr, BeamWatch* watch = nullptr);
    // The layer-0 beam of ef from entry, nearest first, into scratch().work:
    // what search_layer leaves, drained. watch as for search_layer.
    void layer0_ascending(const float* q, float qn, NodeDist entry, int32_t ef,
                          BeamWatch* watch = nullptr);

  private:
    template <int M, bool WATCH, bool PLAN>
    void search_layer_into(const float* q, float qn, NodeDist entry, int32_t ef, int32_t layer,
                           DistanceCache* keep, BeamWatch* watch);
    // The layer-0 search with its beam as a sorted array: false, with work
    // unusable, where two records met in the beam are equal or one is NaN.
    template <int M, bool WATCH>
    bool sorted_beam_into(const float* q, float qn, NodeDist entry, int32_t ef, BeamWatch* watch);
    // sorted_beam_into for this metric; false also for beams too wide for it.
    bool sorted_beam(const float* q, float qn, NodeDist entry, int32_t ef, BeamWatch* watch);
    template <int M>
    NodeDist greedy_walk(const float* q, float qn, NodeDist entry, int32_t top, int32_t bottom);
    bool pass_all_from_beam(const float* q, float q2, NodeDist entry, int32_t k, int32_t maxef,
                            std::vector<int32_t>& out);
    template <int M>
    std::vector<int32_t> filtered_layer0(const float* q, float q2, NodeDist entry, int32_t k,
                                         int32_t maxef, const QueryLimits& lim);
    template <int M>
    void flat_scan(const float* q, float q2, int32_t k, const QueryLimits& lim);

    MetricView view_;
    EntryPoint entry_;
    SearchScratch& s_;
};

}  // namespace orv
