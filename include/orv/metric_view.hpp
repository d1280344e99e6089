// What every distance needs, and nothing else: the stored rows and norms, the
// kernel set, the dimension and the metric.
#pragma once

#include <cstdint>

#include "orv/kernels.hpp"
#include "orv/node_store.hpp"
#include "orv/records.hpp"

namespace orv {

struct MetricView {
    const NodeStore& nodes;
    const KernelSet* kernels;
    int32_t dimension;
    int32_t metric_type;

    // The squared norm every distance from q is measured with.
    float query_norm(const float* q) const;
    // The distance from q (of squared norm qn) to a node.
    float distance(const float* q, float qn, int32_t id) const;
    // The same for count nodes at once, into out.
    void distances(const float* q, float qn, const int32_t* ids, int count, float* out) const;
};

}  // namespace orv
