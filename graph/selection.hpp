// Shared by the two ways of selecting neighbours.
#pragma once

#include <vector>

#include "orv/hyperbolic_index.hpp"

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

}  // namespace orv
