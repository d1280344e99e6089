// The view's distances, one at a time and in batches, against the reference
// formulas, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "orv/metric.hpp"
#include "reference.hpp"

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// Zero, ordinary, unit, outside the unit ball, denormal, huge, NaN and inf.
std::vector<std::vector<float>> edge_vectors(int32_t dim, std::mt19937& gen) {
    std::normal_distribution<float> normal(0.0f, 0.3f);
    std::vector<std::vector<float>> out;
    auto filled = [&](float x) { return std::vector<float>(size_t(dim), x); };
    out.push_back(filled(0.0f));
    out.push_back(filled(1e-40f));
    out.push_back(filled(3e19f));
    out.push_back(filled(1.0f / std::sqrt(float(dim))));
    out.push_back(filled(2.0f));
    std::vector<float> e1 = filled(0.0f);
    e1[0] = 1.0f;
    out.push_back(e1);
    for (int i = 0; i < 8; ++i) {
        std::vector<float> v(static_cast<size_t>(dim));
        for (float& x : v) x = normal(gen);
        out.push_back(v);
    }
    std::vector<float> with_nan = out.back(), with_inf = out.back();
    with_nan[size_t(dim - 1)] = NaN;
    with_inf[0] = INFINITY;
    out.push_back(with_nan);
    out.push_back(with_inf);
    return out;
}

// Stored norms to try on top of the true one: negative (recomputed), -0,
// NaN, at and past the ball's limit.
const std::vector<float> NORM_OVERRIDES = {-1.0f, -0.0f, NaN, 0.999999f, 0.9999991f, 1.5f};

struct Node {
    std::vector<float> v;
    float norm;
};

// An index holding every edge vector with its true norm, then each of a few
// vectors again under every overridden norm.
std::vector<Node> fill_index(ref::Parts& ix, std::mt19937& gen) {
    const int32_t dim = ix.dimension;
    std::vector<Node> nodes;
    const std::vector<std::vector<float>> vs = edge_vectors(dim, gen);
    for (const auto& v : vs) nodes.push_back({v, ref::sq_norm(v.data(), dim)});
    for (size_t k : {size_t(0), size_t(6), size_t(9), vs.size() - 2})
        for (float n : NORM_OVERRIDES) nodes.push_back({vs[k], n});
    for (const Node& n : nodes) {
        ix.add_flat(n.v.data());
        ix.nodes.norms.back() = n.norm;
    }
    return nodes;
}

class DistanceTest : public ref::MetricKernelTest {};

TEST_P(DistanceTest, DistToNodeEqualsReferenceOnEdgeInputs) {
    std::mt19937 gen(21);
    for (int32_t dim : {1, 2, 3, 8, 33, 64}) {
        ref::Parts ix(dim, 16, metric, *ks);
        const std::vector<Node> nodes = fill_index(ix, gen);
        for (const auto& q : edge_vectors(dim, gen)) {
            const float true_norm = ref::sq_norm(q.data(), dim);
            for (float qn : {true_norm, 0.999999f, 0.9999991f, 1.0f, 2.0f, NaN}) {
                for (int32_t id = 0; id < ix.size(); ++id) {
                    const Node& n = nodes[size_t(id)];
                    const float want = ref::distance(metric, q.data(), qn, n.v.data(), n.norm, dim);
                    const float got = ix.view().distance(q.data(), qn, id);
                    ASSERT_TRUE(ref::same_float(got, want))
                        << "dim " << dim << " node " << id << " qn " << qn << ": " << got
                        << " != " << want;
                }
            }
        }
        for (int32_t id = 0; id < ix.size(); ++id)
            ASSERT_TRUE(ref::same_float(ix.nodes.norms[size_t(id)], nodes[size_t(id)].norm))
                << "the kernel changed a stored norm";
    }
}

TEST_P(DistanceTest, BatchEqualsOneAtATime) {
    std::mt19937 gen(22);
    for (int32_t dim : {1, 7, 8, 40}) {
        ref::Parts ix(dim, 16, metric, *ks);
        fill_index(ix, gen);
        std::uniform_int_distribution<int32_t> pick(0, ix.size() - 1);
        const std::vector<float> q = edge_vectors(dim, gen)[7];
        const float qn = ref::sq_norm(q.data(), dim);
        for (int count = 1; count <= 20; ++count) {
            std::vector<int32_t> ids(static_cast<size_t>(count));
            for (int32_t& id : ids) id = pick(gen);
            std::vector<float> out(ids.size());
            ix.view().distances(q.data(), qn, ids.data(), count, out.data());
            for (int i = 0; i < count; ++i)
                ASSERT_TRUE(ref::same_float(out[size_t(i)],
                                            ix.view().distance(q.data(), qn, ids[size_t(i)])))
                    << "dim " << dim << " count " << count << " lane " << i;
        }
    }
}

// Runs of consecutive nodes, scattered nodes and nodes named again; some
// longer than the batch size from which the metric epilogue is vectorised,
// some past the size from which Poincaré distances above a bound are cut.
std::vector<std::vector<int32_t>> batch_ids(int32_t n, std::mt19937& gen) {
    std::uniform_int_distribution<int32_t> pick(0, n - 1);
    std::vector<std::vector<int32_t>> out;
    for (int32_t first : {0, 5}) {
        std::vector<int32_t> run(size_t(n - first));
        std::iota(run.begin(), run.end(), first);
        out.push_back(run);
    }
    for (int count : {9, 16, 23, 70}) {
        std::vector<int32_t> ids(static_cast<size_t>(count));
        for (int32_t& id : ids) id = pick(gen);
        out.push_back(ids);
    }
    out.push_back(std::vector<int32_t>(12, n - 1));
    return out;
}

TEST_P(DistanceTest, BatchEqualsReferenceOnEdgeInputs) {
    std::mt19937 gen(23);
    for (int32_t dim : {1, 2, 7, 8, 10, 33, 784}) {
        ref::Parts ix(dim, 16, metric, *ks);
        const std::vector<Node> nodes = fill_index(ix, gen);
        const std::vector<std::vector<int32_t>> id_lists = batch_ids(ix.size(), gen);
        for (const auto& q : edge_vectors(dim, gen)) {
            const float true_norm = ref::sq_norm(q.data(), dim);
            for (float qn : {true_norm, 0.9999991f, 2.0f, NaN}) {
                for (const std::vector<int32_t>& ids : id_lists) {
                    std::vector<float> out(ids.size());
                    ix.view().distances(q.data(), qn, ids.data(), int(ids.size()), out.data());
                    for (size_t i = 0; i < ids.size(); ++i) {
                        const Node& n = nodes[size_t(ids[i])];
                        const float want =
                            ref::distance(metric, q.data(), qn, n.v.data(), n.norm, dim);
                        ASSERT_TRUE(ref::same_float(out[i], want))
                            << "dim " << dim << " node " << ids[i] << " qn " << qn << ": " << out[i]
                            << " != " << want;
                    }
                }
            }
        }
    }
}

// With a bound, values at or below it are exact and the others above it,
// whatever bounds came before on this thread.
TEST_P(DistanceTest, BoundedBatchExactUpToBound) {
    std::mt19937 gen(24);
    const int32_t dim = 10;
    ref::Parts ix(dim, 16, metric, *ks);
    const std::vector<float> pts = ref::random_points(300, dim, metric, 7);
    for (int32_t i = 0; i < 300; ++i) ix.add_flat(pts.data() + size_t(i) * dim);
    std::vector<int32_t> ids(300);
    std::iota(ids.begin(), ids.end(), 0);
    const float* q = pts.data() + 17 * dim;
    const float qn = ref::sq_norm(q, dim);
    std::vector<float> want(ids.size()), got(ids.size());
    for (size_t i = 0; i < ids.size(); ++i)
        want[i] = ref::distance(metric, q, qn, pts.data() + i * dim, ix.nodes.norms[i], dim);
    std::vector<float> sorted = want;
    std::sort(sorted.begin(), sorted.end());
    for (float bound : {sorted[10], sorted[10], sorted[150], sorted[10], sorted[0], INFINITY,
                        std::nextafter(sorted[40], 0.0f), sorted[299]}) {
        orv::with_metric(metric, [&](auto m) {
            orv::MetricOps<decltype(m)::value>::batch(ix.view(), q, qn, ids.data(), int(ids.size()),
                                                      got.data(), bound);
        });
        for (size_t i = 0; i < ids.size(); ++i) {
            if (want[i] <= bound)
                ASSERT_TRUE(ref::same_float(got[i], want[i])) << "node " << i << " bound " << bound;
            else
                ASSERT_GT(got[i], bound) << "node " << i;
        }
    }
}

TEST_P(DistanceTest, NanAnywhereGivesNan) {
    ref::Parts ix(3, 16, metric, *ks);
    const float v[3] = {0.1f, 0.2f, 0.3f}, bad[3] = {0.1f, NaN, 0.3f};
    ix.add_flat(v);
    ix.add_flat(bad);
    const float qn = ref::sq_norm(v, 3);
    EXPECT_TRUE(std::isnan(ix.view().distance(bad, qn, 0)));
    EXPECT_TRUE(std::isnan(ix.view().distance(v, qn, 1)));
    if (metric != orv::EUCLIDEAN) {
        EXPECT_TRUE(std::isnan(ix.view().distance(v, NaN, 0)));
        ix.nodes.norms[0] = NaN;
        EXPECT_TRUE(std::isnan(ix.view().distance(v, qn, 0)));
    }
}

INSTANTIATE_TEST_SUITE_P(MetricsAndSets, DistanceTest, ref::all_metrics_and_sets(),
                         ref::metric_and_set_name);

// Known values, which also pin down the reference formulas themselves.
TEST(DistanceValues, KnownCases) {
    const float origin[2] = {0.0f, 0.0f}, p34[2] = {3.0f, 4.0f}, half[2] = {0.5f, 0.0f};
    ref::Parts eu(2, 16, orv::EUCLIDEAN), co(2, 16, orv::COSINE), po(2, 16, orv::POINCARE);
    for (auto* ix : {&eu, &co, &po}) {
        ix->add_flat(p34);
        ix->add_flat(origin);
        ix->add_flat(half);
    }
    EXPECT_EQ(eu.view().distance(origin, 0.0f, 0), 25.0f);
    EXPECT_EQ(eu.view().distance(p34, 25.0f, 0), 0.0f);
    EXPECT_EQ(co.view().distance(origin, 0.0f, 0), 1.0f);
    EXPECT_EQ(co.view().distance(p34, 25.0f, 1), 1.0f);
    EXPECT_NEAR(co.view().distance(p34, 25.0f, 0), 0.0f, 1e-6f);
    const float floor = po.view().distance(half, 0.25f, 2);
    EXPECT_NEAR(floor, 0.0013810393f, 1e-9f);
    EXPECT_EQ(ref::distance(orv::POINCARE, half, 0.25f, half, 0.25f, 2), floor);
    EXPECT_NEAR(po.view().distance(origin, 0.0f, 2), std::log(3.0f), 1e-6f);
    EXPECT_TRUE(std::isfinite(po.view().distance(p34, 25.0f, 2)));
    EXPECT_TRUE(std::isfinite(po.view().distance(p34, 25.0f, 0)));
}

TEST(DistanceValues, NegativeStoredNormIsRecomputedAndKept) {
    const float v[2] = {0.3f, 0.4f}, q[2] = {-0.2f, 0.1f};
    const float qn = ref::sq_norm(q, 2);
    for (int32_t m : {orv::POINCARE, orv::COSINE}) {
        ref::Parts ix(2, 16, m);
        ix.add_flat(v);
        const float with_true_norm = ix.view().distance(q, qn, 0);
        ix.nodes.norms[0] = -3.0f;
        EXPECT_EQ(ix.view().distance(q, qn, 0), with_true_norm) << m;
        EXPECT_EQ(ix.nodes.norms[0], -3.0f) << m;
    }
}

// The Poincaré cut-off found from cosh(bound) equals the smallest x over the
// float bits whose distance exceeds the bound, for bounds near the floor, far
// out, exactly at distance values, between them, and degenerate.
TEST(PoincareCutOff, StepsFromTheGuessToTheSmallestX) {
    std::mt19937 gen(41);
    std::vector<float> bounds = {-1.0f,
                                 0.0f,
                                 orv::poincare_floor(),
                                 std::nextafter(orv::poincare_floor(), 1.0f),
                                 1e-3f,
                                 88.0f,
                                 89.5f,
                                 200.0f,
                                 3.4e38f,
                                 INFINITY,
                                 NaN};
    std::uniform_real_distribution<float> d(0.0f, 30.0f), lx(0.0f, 30.0f);
    for (int i = 0; i < 3000; ++i) {
        bounds.push_back(d(gen));
        const float at = orv::poincare_from_x(std::exp(lx(gen)));
        bounds.push_back(at);
        bounds.push_back(std::nextafter(at, 0.0f));
    }
    for (float b : bounds) {
        const float got = orv::poincare_x_above(b);
        float want;
        if (!(b < INFINITY))
            want = INFINITY;
        else if (orv::poincare_from_x(1.0f) > b)
            want = -INFINITY;
        else
            want = orv::poincare_x_bisect(b);
        ASSERT_EQ(got, want) << "bound " << b;
        if (std::isfinite(got)) {
            EXPECT_GT(orv::poincare_from_x(got), b);
            EXPECT_FALSE(orv::poincare_from_x(std::nextafter(got, 0.0f)) > b);
        }
    }
}

// The inline replacements of fmaf and nextafterf on the arcosh path give the
// library's bits for arguments from 1 up (sampled over the whole float range).
TEST(PoincareArgument, InlineFmaAndNeighboursMatchTheLibrary) {
    uint32_t lo, hi;
    const float one = 1.0f, inf = INFINITY;
    std::memcpy(&lo, &one, 4);
    std::memcpy(&hi, &inf, 4);
    auto same = [](float a, float b) { return std::memcmp(&a, &b, 4) == 0; };
    for (uint64_t u = lo; u <= hi; u += 4093) {
        float x;
        const uint32_t bits = uint32_t(std::min<uint64_t>(u, hi));
        std::memcpy(&x, &bits, 4);
        ASSERT_TRUE(same(orv::sq_minus_one(x), std::fma(x, x, -1.0f))) << x;
        ASSERT_TRUE(same(orv::float_below(x), std::nextafter(x, 0.0f))) << x;
        ASSERT_TRUE(same(orv::float_above(x), std::nextafter(x, INFINITY))) << x;
    }
    for (float x : {1.0f, 1.000001f, std::numeric_limits<float>::max(), INFINITY}) {
        EXPECT_TRUE(same(orv::sq_minus_one(x), std::fma(x, x, -1.0f))) << x;
        EXPECT_TRUE(same(orv::float_above(x), std::nextafter(x, INFINITY))) << x;
        EXPECT_TRUE(same(orv::float_below(x), std::nextafter(x, 0.0f))) << x;
    }
    EXPECT_TRUE(std::isnan(orv::poincare_from_x(NaN)));
}

// float_above also stands in for a value just above a search's bound, which
// may be of any sign or zero.
TEST(PoincareArgument, NextFloatUpMatchesTheLibraryForEveryKind) {
    const float big = std::numeric_limits<float>::max(),
                tiny = std::numeric_limits<float>::denorm_min();
    auto same = [](float a, float b) { return std::memcmp(&a, &b, 4) == 0; };
    for (float x : {-INFINITY, -big, -2.5f, -1e-40f, -tiny, -0.0f, 0.0f, tiny, 1e-40f,
                    std::numeric_limits<float>::min(), 0.5f, 3.0f, big, INFINITY})
        EXPECT_TRUE(same(orv::float_above(x), std::nextafter(x, INFINITY))) << x;
    EXPECT_TRUE(std::isnan(orv::float_above(NaN)));
}

}  // namespace
