// Per-metric distance formulas on top of the sum kernels. Every caller goes
// through these, so inline and batched distances equal the kernel bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "orv/metric_view.hpp"
#include "orv/scratch.hpp"

namespace orv {

constexpr float BOUNDARY_SQ_NORM = 0.995f;
constexpr float POINCARE_NORM_LIMIT = 0.999999f;
// A squared norm past the limit counts as the limit itself: its factor
// 1 - norm is the one of the limit, rounded to float (exact here).
constexpr float POINCARE_MIN_FACTOR = 1.0f - POINCARE_NORM_LIMIT;
constexpr float POINCARE_MIN_DEN = 1e-6f;
constexpr float POINCARE_MIN_X = 1.000001f;
constexpr float COSINE_MIN_PRODUCT = 1e-8f;

// The smallest distance: arcosh of POINCARE_MIN_X, with x * x - 1 rounded in
// float, as every distance below that argument is reported.
inline float poincare_floor() {
    return std::log(POINCARE_MIN_X + std::sqrt(POINCARE_MIN_X * POINCARE_MIN_X - 1.0f));
}

// The argument of arcosh; the distance is a non-decreasing function of it.
inline float poincare_x(float s, float qn, float vn) {
    float num = s + s;
    float a = qn > POINCARE_NORM_LIMIT ? POINCARE_MIN_FACTOR : 1.0f - qn;
    float b = vn > POINCARE_NORM_LIMIT ? POINCARE_MIN_FACTOR : 1.0f - vn;
    float den = a * b;
    if (den < POINCARE_MIN_DEN) den = POINCARE_MIN_DEN;
    return num / den + 1.0f;
}

// x * x - 1 rounded once, as fmaf gives it, for x >= 1: the double product
// and difference are then exact (checked for every float from 1 up), and this
// portable code has no fused instruction, only a call to fmaf.
inline float sq_minus_one(float x) { return float(double(x) * double(x) - 1.0); }

inline float poincare_from_x(float x) {
    if (x < POINCARE_MIN_X) return poincare_floor();
    return std::log(x + std::sqrt(sq_minus_one(x)));
}

// The floats next to a positive x, from its bits (no call to nextafterf).
inline float float_below(float x) {
    uint32_t u;
    std::memcpy(&u, &x, 4);
    --u;
    std::memcpy(&x, &u, 4);
    return x;
}
// The next float up from x, as nextafter(x, inf) gives it, for any x.
inline float float_above(float x) {
    if (!(x < INFINITY)) return x;
    if (x == 0.0f) return std::numeric_limits<float>::denorm_min();
    uint32_t u;
    std::memcpy(&u, &x, 4);
    if (x > 0.0f)
        ++u;
    else
        --u;
    std::memcpy(&x, &u, 4);
    return x;
}

inline float poincare_from_sum(float s, float qn, float vn) {
    return poincare_from_x(poincare_x(s, qn, vn));
}

inline float poincare_x_bisect(float bound) {
    uint32_t lo, hi;
    const float one = 1.0f, inf = INFINITY;
    std::memcpy(&lo, &one, 4);
    std::memcpy(&hi, &inf, 4);
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        float x;
        std::memcpy(&x, &mid, 4);
        if (poincare_from_x(x) > bound)
            hi = mid;
        else
            lo = mid + 1;
    }
    float x;
    std::memcpy(&x, &lo, 4);
    return x;
}

// Smallest x whose distance exceeds bound (-inf when every distance does, +inf
// when none can be told apart from it). The distance is a non-decreasing
// function of x, so the answer is found by stepping from cosh(bound), which
// is a few floats away from it, or by bisection over the float bits.
inline float poincare_x_above(float bound) {
    if (!(bound < INFINITY)) return INFINITY;
    if (poincare_from_x(1.0f) > bound) return -INFINITY;
    constexpr int MAX_STEPS = 16;
    float x = std::max(float(std::cosh(double(bound))), 1.0f);
    if (poincare_from_x(x) > bound) {
        for (int i = 0; i < MAX_STEPS; ++i) {
            const float below = float_below(x);
            if (!(poincare_from_x(below) > bound)) return x;
            x = below;
        }
    } else {
        for (int i = 0; i < MAX_STEPS; ++i) {
            x = float_above(x);
            if (poincare_from_x(x) > bound) return x;
        }
    }
    return poincare_x_bisect(bound);
}

// Batches this long pay for the search of poincare_x_above.
constexpr int POINCARE_CUT_MIN_BATCH = 64;

inline float XAboveCache::get(float bound) {
    uint32_t bits;
    std::memcpy(&bits, &bound, 4);
    if (!known || bits != last_bits) {
        last_x = poincare_x_above(bound);
        last_bits = bits;
        known = true;
    }
    return last_x;
}

// The cut of the last bound asked for on this thread, for callers without a
// scratch of their own.
inline float cached_x_above(float bound) {
    thread_local XAboveCache cache;
    return cache.get(bound);
}

// Below this many nodes the scalar epilogue beats the call to the kernel's.
constexpr int EPILOGUE_KERNEL_MIN_BATCH = 8;

inline float cosine_from_dot(float dot, float qn, float vn) {
    float p = std::sqrt(qn) * std::sqrt(vn);
    if (p < COSINE_MIN_PRODUCT) return 1.0f;
    return 1.0f - dot / p;
}

template <int M>
struct MetricOps {
    // Stored squared norm, recomputed from the vector when a loaded file held a
    // negative value; the stored value is left as it is.
    static float node_norm(const MetricView& view, int32_t id) {
        float vn = view.nodes.norms[size_t(id)];
        if (vn < 0.0f) vn = view.kernels->sq_norm(view.nodes.row(id), size_t(view.dimension));
        return vn;
    }

    // Values above bound may come back as any number still above it (the
    // Euclidean kernel stops early; Poincaré skips the logarithm).
    // q_tails: the query's tail norm bounds (see query_tails), or null to work
    // them out here when needed.
    static void batch(const MetricView& view, const float* q, float qn, const int32_t* ids,
                      int count, float* out, float bound = INFINITY,
                      const float* q_tails = nullptr) {
        const size_t dim = size_t(view.dimension);
        if constexpr (M == COSINE) {
            CosineCut cut;
            view.kernels->dot_batch(q, view.nodes.base(), dim, ids, count, out,
                                    cosine_cut(view, q, qn, count, bound, q_tails, cut));
            if (count >= EPILOGUE_KERNEL_MIN_BATCH) {
                view.kernels->cosine_batch(out, view.nodes.base(), dim, view.nodes.norms.data(),
                                           ids, count, qn);
            } else {
                for (int i = 0; i < count; ++i)
                    out[i] = cosine_from_dot(out[i], qn, node_norm(view, ids[i]));
            }
        } else {
            // A stored row with inf or NaN could make a stopped sum hide a NaN.
            const bool may_stop = M == EUCLIDEAN && view.nodes.all_finite;
            view.kernels->sq_l2_batch(q, view.nodes.base(), dim, ids, count, out,
                                      may_stop ? bound : INFINITY);
            if constexpr (M == POINCARE) poincare_epilogue(view, qn, ids, count, out, bound);
        }
    }

    // As batch, with the Poincaré cut-off for bound supplied by a caller that
    // uses one bound over many small batches (x_cut = poincare_x_above(bound),
    // or +inf for none); the other metrics take bound as batch does.
    static void batch_cut(const MetricView& view, const float* q, float qn, const int32_t* ids,
                          int count, float* out, float bound, float x_cut,
                          const float* q_tails = nullptr) {
        if constexpr (M == POINCARE) {
            view.kernels->sq_l2_batch(q, view.nodes.base(), size_t(view.dimension), ids, count, out,
                                      INFINITY);
            poincare_epilogue(view, qn, ids, count, out, bound, x_cut);
        } else {
            batch(view, q, qn, ids, count, out, bound, q_tails);
        }
    }

    // Poincaré: the arguments x of arcosh, without the logarithm; the distance
    // is poincare_from_x(x), a non-decreasing function of x.
    static void x_batch(const MetricView& view, const float* q, float qn, const int32_t* ids,
                        int count, float* out) {
        static_assert(M == POINCARE);
        view.kernels->sq_l2_batch(q, view.nodes.base(), size_t(view.dimension), ids, count, out,
                                  INFINITY);
        if (count >= EPILOGUE_KERNEL_MIN_BATCH) {
            view.kernels->poincare_batch(out, view.nodes.base(), size_t(view.dimension),
                                         view.nodes.norms.data(), ids, count, qn, INFINITY,
                                         INFINITY, nullptr);
            return;
        }
        for (int i = 0; i < count; ++i) out[i] = poincare_x(out[i], qn, node_norm(view, ids[i]));
    }

    // The tail norm bounds of a query for the cosine cut, written to buf, or
    // null where no cut is made.
    static const float* query_tails(const MetricView& view, const float* q, float* buf) {
        const TailNorms& t = view.nodes.tails;
        if (M != COSINE || !t.on()) return nullptr;
        tail_norm_bounds(q, size_t(view.dimension), t.stride, t.count, buf);
        return buf;
    }

    // Those of a stored row, kept beside it.
    static const float* row_tails(const MetricView& view, int32_t id) {
        const TailNorms& t = view.nodes.tails;
        if (M != COSINE || !t.on()) return nullptr;
        return t.bounds.data() + size_t(id) * size_t(t.count);
    }

    static void poincare_epilogue(const MetricView& view, float qn, const int32_t* ids, int count,
                                  float* out, float bound) {
        const float x_cut = count >= POINCARE_CUT_MIN_BATCH ? cached_x_above(bound) : INFINITY;
        poincare_epilogue(view, qn, ids, count, out, bound, x_cut);
    }

    // Past x_cut the distance is above bound, so the logarithm is skipped and
    // a value just above bound stands in for it.
    static void poincare_epilogue(const MetricView& view, float qn, const int32_t* ids, int count,
                                  float* out, float bound, float x_cut) {
        const float above = float_above(bound);
        if (count >= EPILOGUE_KERNEL_MIN_BATCH) {
            view.kernels->poincare_batch(out, view.nodes.base(), size_t(view.dimension),
                                         view.nodes.norms.data(), ids, count, qn, x_cut, above,
                                         &poincare_from_x);
            return;
        }
        for (int i = 0; i < count; ++i) {
            const float x = poincare_x(out[i], qn, node_norm(view, ids[i]));
            out[i] = x >= x_cut ? above : poincare_from_x(x);
        }
    }

    // The cut for a cosine batch against bound, or null where it cannot pay
    // (no bound, no tail bounds kept). Without q_tails, a batch this short
    // does without: working them out costs about one distance.
    static const CosineCut* cosine_cut(const MetricView& view, const float* q, float qn, int count,
                                       float bound, const float* q_tails, CosineCut& cut) {
        constexpr int MIN_BATCH = 8;
        thread_local float buf[MAX_TAIL_CHECKS];
        const TailNorms& t = view.nodes.tails;
        if (!t.on() || count < 1 || !(bound < INFINITY)) return nullptr;
        // The kernels gather the bounds with 32-bit offsets. The capacity, not
        // the size, which a parallel build's commits change while plans read.
        if (t.bounds.capacity() >= size_t(INT32_MAX)) return nullptr;
        if (q_tails == nullptr) {
            if (count < MIN_BATCH) return nullptr;
            q_tails = query_tails(view, q, buf);
        }
        cut.norms = view.nodes.norms.data();
        cut.tails = t.bounds.data();
        cut.q_tails = q_tails;
        cut.stride = t.stride;
        cut.count = t.count;
        cut.q_root = std::sqrt(qn);
        cut.bound = bound;
        cut.slack = cosine_cut_slack(size_t(view.dimension));
        return &cut;
    }

    static float one(const MetricView& view, const float* q, float qn, int32_t id) {
        float d;
        batch(view, q, qn, &id, 1, &d);
        return d;
    }

    // Whether any node may lie on the boundary; if not, skips_boundary is
    // false for every node and its read of a norm (a cache miss) is saved.
    static bool any_boundary(const MetricView& view) {
        if constexpr (M == POINCARE) return view.nodes.max_norm >= BOUNDARY_SQ_NORM;
        return false;
    }

    static bool skips_boundary(const MetricView& view, int32_t id) {
        if constexpr (M == POINCARE) return view.nodes.norms[size_t(id)] >= BOUNDARY_SQ_NORM;
        return false;
    }
};

// Calls f with the metric as a compile-time constant, so the loops inline it.
template <class F>
decltype(auto) with_metric(int32_t metric_type, F&& f) {
    switch (metric_type) {
    case EUCLIDEAN:
        return f(std::integral_constant<int, EUCLIDEAN>{});
    case COSINE:
        return f(std::integral_constant<int, COSINE>{});
    default:
        return f(std::integral_constant<int, POINCARE>{});
    }
}

// Orders NaN after every number, so sorts stay well defined whatever the
// distances; for numbers it is the plain strict less-than on dist.
struct DistLessNanLast {
    bool operator()(const NodeDist& a, const NodeDist& b) const {
        if (std::isnan(b.dist)) return !std::isnan(a.dist);
        return a.dist < b.dist;
    }
};

}  // namespace orv
