// Construction, configuration and metric names.
#include <stdexcept>
#include <string>

#include "orv/hyperbolic_index.hpp"

namespace orv {

namespace {

int32_t metric_from_name(const std::string& name) {
    if (name == "euclidean" || name == "l2") return EUCLIDEAN;
    if (name == "cosine") return COSINE;
    return POINCARE;
}

void check_shape(int32_t dim, int32_t M) {
    if (dim < 1)
        throw std::invalid_argument("dimension must be at least 1, got " + std::to_string(dim));
    if (M < 2) throw std::invalid_argument("M must be at least 2, got " + std::to_string(M));
    if (M > MAX_M)
        throw std::invalid_argument("M must be at most " + std::to_string(MAX_M) + ", got " +
                                    std::to_string(M));
}

}  // namespace

HyperbolicIndex::HyperbolicIndex(int32_t dim, float curv, int32_t M, const std::string& metric,
                                 const KernelSet& ks)
    : curvature(curv), metric_type(metric_from_name(metric)), builder(M), kernels(&ks) {
    check_shape(dim, M);
    configure(dim, M);
    nodes.reset(dim, max_m_0);
    nodes.prepare_derived(metric_type == COSINE);
}

void HyperbolicIndex::configure(int32_t dim, int32_t M) {
    dimension = dim;
    max_m = M;
    max_m_0 = layer0_cap(M);
    builder.configure(M);
}

std::string HyperbolicIndex::get_metric() const {
    switch (metric_type) {
    case EUCLIDEAN:
        return "euclidean";
    case COSINE:
        return "cosine";
    default:
        return "poincare";
    }
}

void HyperbolicIndex::check_query(int64_t size) const {
    if (size < int64_t(dimension)) throw std::runtime_error("Vector dimension mismatch");
}

void HyperbolicIndex::check_node(int32_t node_id) const {
    if (node_id < 0 || node_id >= size())
        throw std::out_of_range("node id " + std::to_string(node_id) +
                                " is out of range for an index of " + std::to_string(size()) +
                                " nodes");
}

}  // namespace orv
