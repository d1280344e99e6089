// Distances through the view, for callers outside the searches' loops.
#include "orv/metric_view.hpp"

#include "orv/metric.hpp"

namespace orv {

float MetricView::query_norm(const float* q) const {
    // No Euclidean distance reads it, and on long rows it is a chain of
    // dependent steps as long as a whole batch's.
    if (metric_type == EUCLIDEAN) return 0.0f;
    return kernels->sq_norm(q, size_t(dimension));
}

float MetricView::distance(const float* q, float qn, int32_t id) const {
    return with_metric(
        metric_type, [&](auto m) { return MetricOps<decltype(m)::value>::one(*this, q, qn, id); });
}

void MetricView::distances(const float* q, float qn, const int32_t* ids, int count,
                           float* out) const {
    with_metric(metric_type, [&](auto m) {
        MetricOps<decltype(m)::value>::batch(*this, q, qn, ids, count, out);
    });
}

}  // namespace orv
