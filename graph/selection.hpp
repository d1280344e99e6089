// Neighbour selection, shared by the new node's layers and the shrinks.
#pragma once

#include <vector>

#include "orv/graph_builder.hpp"

namespace orv {

// Empties the heap into work in ascending order of dist (NaN last). Comparisons
// look at dist alone, so the order depends only on the distances and the
// heap's layout, never on the ids the records carry.
void drain_sorted(std::vector<NodeDist>& heap, std::vector<NodeDist>& work);

// The same for records in the order they would be pushed onto an empty heap:
// the heap is only built where ties make its layout matter.
void drain_pushed(std::vector<NodeDist>& pushed, std::vector<NodeDist>& work);

// Sorts v by dist; true when the distances are distinct and none is NaN, so
// that the order is the only ascending one (false: v is in some order).
bool sort_strictly_ascending(std::vector<NodeDist>& v);

inline uint8_t split_of(int32_t taken) {
    return taken >= 0 && taken < SPLIT_UNKNOWN ? uint8_t(taken) : SPLIT_UNKNOWN;
}

// The neighbour heuristic over the builder's scratch: its candidates in
// s.work, nearest first; the distances of the ids it returns in s.out_dist,
// and how many it took outright in s.taken.
class GraphBuilder::Selector {
  public:
    Selector(const MetricView& v, BuildScratch& s) : v_(v), s_(s) {}

    // base: the vector the candidates' distances were measured from, when each
    // is exactly the distance of its node to it (lets Poincaré skip logarithms).
    void select_into(std::vector<NodeDist>& heap, int32_t cap, std::vector<int32_t>& out,
                     const float* base = nullptr, float base_norm = 0.0f);
    // select_into over the candidates already in s.work, in drained order.
    void select_sorted(int32_t cap, std::vector<int32_t>& out, const float* base, float base_norm);

  private:
    bool pruned_by_selected(const NodeDist& c, const std::vector<int32_t>& selected) const;
    void heuristic_sequential(int32_t cap, std::vector<int32_t>& out);
    void heuristic_by_rows(int32_t cap, std::vector<int32_t>& out, const float* base,
                           float base_norm);
    void extend_pair_row(const std::vector<int32_t>& out, size_t r, size_t k, float top,
                         float x_cut, bool x_rows);
    void fill_pair_row(int32_t sid, const int32_t* ids, int count, float* row, float last,
                       float top, float x_cut, bool x_rows) const;

    const MetricView& v_;
    BuildScratch& s_;
};

}  // namespace orv
