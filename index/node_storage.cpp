// Flat insertion, stored norms and masks.
#include <cmath>
#include <stdexcept>
#include <string>

#include "orv/guards.hpp"
#include "orv/hyperbolic_index.hpp"

namespace orv {

void HyperbolicIndex::add_item_flat(const float* data, int64_t len, int ndim, uint64_t mask) {
    WriteGuard guard(*this);
    if (ndim != 1 || len != int64_t(dimension))
        throw std::runtime_error("Vector dimension mismatch");
    insert_flat(data, mask);
}

void HyperbolicIndex::insert_flat(const float* data, uint64_t mask) {
    if (size() == INT32_MAX) throw std::length_error("index is full: node ids are 32-bit");
    float sq = kernels->sq_norm(data, size_t(dimension));
    nodes.reserve_one();
    nodes.append(data, sq, mask, 0, max_m);
}

float HyperbolicIndex::get_stored_norm(int32_t node_id) const {
    ReadGuard guard(*this);
    check_node(node_id);
    return nodes.norms[size_t(node_id)];
}

void HyperbolicIndex::update_masks(const uint64_t* new_masks, int64_t count) {
    WriteGuard guard(*this);
    if (count != int64_t(size()))
        throw std::runtime_error("Mask array size does not match graph size!");
    for (int32_t i = 0; i < size(); ++i) nodes.masks[size_t(i)] = new_masks[i];
}

}  // namespace orv
