// Construction, metric names and the guard against changes during use.
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>

#include "orv/guards.hpp"
#include "orv/hyperbolic_index.hpp"

namespace orv {

namespace {

int32_t metric_from_name(const std::string& name) {
    if (name == "euclidean" || name == "l2") return EUCLIDEAN;
    if (name == "cosine") return COSINE;
    return POINCARE;
}

uint32_t os_seed() {
    std::random_device dev("default");
    return dev();
}

}  // namespace

float level_mult_for(int32_t m) { return static_cast<float>(1.0 / std::log(double(m))); }

HyperbolicIndex::HyperbolicIndex(int32_t dim, float curv, int32_t M, const std::string& metric)
    : dimension(dim), curvature(curv), max_m(M), max_m_0(int32_t(uint32_t(M) << 1)),
      level_mult(level_mult_for(M)), metric_type(metric_from_name(metric)), rng(os_seed()),
      kernels(&best_kernels()) {
    if (dim < 1)
        throw std::invalid_argument("dimension must be at least 1, got " + std::to_string(dim));
    if (M < 2) throw std::invalid_argument("M must be at least 2, got " + std::to_string(M));
    if (M > MAX_M)
        throw std::invalid_argument("M must be at most " + std::to_string(MAX_M) + ", got " +
                                    std::to_string(M));
    nodes.reset(dim, max_m_0);
    nodes.use_tail_norms(metric_type == COSINE);
    use_link_memo(link_memo_pays(dim, max_m_0));
}

void HyperbolicIndex::use_link_memo(bool wanted) {
    nodes.memo.configure(link_memo_slots(nodes, max_m_0, wanted), size());
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

ReadGuard::ReadGuard(const HyperbolicIndex& ix) : ix_(ix) {
    if (ix_.in_flight_.fetch_add(1, std::memory_order_acquire) < 0) {
        ix_.in_flight_.fetch_sub(1, std::memory_order_release);
        throw std::runtime_error("index is being changed by another thread");
    }
}

ReadGuard::~ReadGuard() { ix_.in_flight_.fetch_sub(1, std::memory_order_release); }

WriteGuard::WriteGuard(const HyperbolicIndex& ix) : ix_(ix) {
    int32_t expected = 0;
    if (!ix_.in_flight_.compare_exchange_strong(expected, INT_MIN / 2, std::memory_order_acquire)) {
        throw std::runtime_error("index is in use by another thread and cannot be changed now");
    }
}

WriteGuard::~WriteGuard() { ix_.in_flight_.fetch_sub(INT_MIN / 2, std::memory_order_release); }

}  // namespace orv
