// The distance kernel and its Python-facing form.
#include <stdexcept>

#include "orv/guards.hpp"
#include "orv/metric.hpp"

namespace orv {

float HyperbolicIndex::query_norm_of(const float* q) const {
    // No Euclidean distance reads it, and on long rows it is a chain of
    // dependent steps as long as a whole batch's.
    if (metric_type == EUCLIDEAN) return 0.0f;
    return kernels->sq_norm(q, size_t(dimension));
}

NodeDist HyperbolicIndex::query_start(const float* q, float& q2) const {
    // A cosine query's norm and its first distance are two chains as long as
    // a whole batch's; side by side they take the time of one.
    if (metric_type == COSINE) {
        float dot;
        q2 = kernels->norm_and_dot(q, nodes.row(ep_id), size_t(dimension), &dot);
        return {cosine_from_dot(dot, q2, MetricOps<COSINE>::node_norm(*this, ep_id)), ep_id};
    }
    q2 = query_norm_of(q);
    return {dist_to_node(q, q2, ep_id), ep_id};
}

float HyperbolicIndex::dist_to_node(const float* query, float query_norm, int32_t node_id) const {
    return with_metric(metric_type, [&](auto m) {
        return MetricOps<decltype(m)::value>::one(*this, query, query_norm, node_id);
    });
}

void HyperbolicIndex::dist_batch(const float* query, float query_norm, const int32_t* ids,
                                 int count, float* out) const {
    with_metric(metric_type, [&](auto m) {
        MetricOps<decltype(m)::value>::batch(*this, query, query_norm, ids, count, out);
    });
}

float HyperbolicIndex::compute_distance(const float* query, int64_t len, int32_t node_id) const {
    ReadGuard guard(*this);
    check_query(len);
    check_node(node_id);
    return dist_to_node(query, query_norm_of(query), node_id);
}

}  // namespace orv
