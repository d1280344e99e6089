// The operations on rows: both insertions, the stored norm, the distance to a
// node, and the masks.
#include <cmath>
#include <stdexcept>
#include <string>

#include "orv/guards.hpp"
#include "orv/hyperbolic_index.hpp"

namespace orv {

namespace {

void check_finite(const float* v, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        if (!std::isfinite(v[i]))
            throw std::invalid_argument("vector holds a non-finite value (" + std::to_string(v[i]) +
                                        ") at index " + std::to_string(i));
    }
}

}  // namespace

void HyperbolicIndex::add_item_flat(const float* data, int64_t len, int ndim, uint64_t mask) {
    WriteGuard guard(*this);
    if (ndim != 1 || len != int64_t(dimension))
        throw std::runtime_error("Vector dimension mismatch");
    insert_flat(data, mask);
}

void HyperbolicIndex::add_item_and_link(const float* data, int64_t len, uint64_t mask,
                                        int32_t ef_construction) {
    // The guard comes first: a load on another thread must not change the
    // dimension between the checks and the copy.
    WriteGuard guard(*this);
    check_query(len);
    check_finite(data, dimension);
    insert_linked(data, mask, ef_construction);
}

float HyperbolicIndex::get_stored_norm(int32_t node_id) const {
    ReadGuard guard(*this);
    check_node(node_id);
    return nodes.norms[size_t(node_id)];
}

float HyperbolicIndex::compute_distance(const float* query, int64_t len, int32_t node_id) const {
    ReadGuard guard(*this);
    check_query(len);
    check_node(node_id);
    const MetricView v = view();
    return v.distance(query, v.query_norm(query), node_id);
}

void HyperbolicIndex::update_masks(const uint64_t* new_masks, int64_t count) {
    WriteGuard guard(*this);
    if (count != int64_t(size()))
        throw std::runtime_error("Mask array size does not match graph size!");
    for (int32_t i = 0; i < size(); ++i) nodes.masks[size_t(i)] = new_masks[i];
}

}  // namespace orv
