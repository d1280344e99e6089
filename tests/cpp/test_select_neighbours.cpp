// select_neighbours against the reference heuristic, and its fixed examples.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "reference.hpp"

namespace {

using orv::NodeDist;

constexpr int32_t DIM = 5;
constexpr int32_t NODES = 120;
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// Flat nodes from random_points; a few stored norms negative, which the
// heuristic passes on unchanged as the candidate's query norm.
std::unique_ptr<ref::Parts> candidate_pool(int32_t metric, uint32_t seed,
                                           const orv::KernelSet& ks) {
    auto ix = std::make_unique<ref::Parts>(DIM, 16, metric, ks);
    const std::vector<float> pts = ref::random_points(NODES, DIM, metric, seed);
    for (int32_t i = 0; i < NODES; ++i) ix->add_flat(pts.data() + size_t(i) * DIM);
    for (int32_t i = 3; i < NODES; i += 23) ix->nodes.norms[size_t(i)] = -1.0f;
    return ix;
}

// A heap of distinct candidates with distinct distances: measured from base
// (duplicate distances dropped) or drawn at random.
std::vector<NodeDist> candidate_heap(const ref::Graph& g, const float* base, std::mt19937& gen) {
    std::vector<int32_t> ids(static_cast<size_t>(g.size()));
    for (int32_t i = 0; i < g.size(); ++i) ids[size_t(i)] = i;
    std::shuffle(ids.begin(), ids.end(), gen);
    ids.resize(std::uniform_int_distribution<size_t>(0, 60)(gen));
    const bool measured = gen() % 2 == 0;
    std::uniform_real_distribution<float> any(0.0f, 3.0f);
    std::vector<NodeDist> heap;
    std::set<float> seen;
    const float bn = ref::sq_norm(base, g.dim);
    for (int32_t id : ids) {
        const float d = measured ? g.dist_to_node(base, bn, id) : any(gen);
        if (!seen.insert(d).second) continue;
        heap.push_back({d, id});
        std::push_heap(heap.begin(), heap.end(), ref::further);
    }
    return heap;
}

class SelectTest : public ref::MetricKernelTest {};

TEST_P(SelectTest, MatchesReferenceForEveryCap) {
    auto ix = candidate_pool(metric, 41, *ks);
    const ref::Graph g = ref::copy_of(*ix);
    const std::vector<float> bases = ref::random_points(100, DIM, metric, 42);
    std::mt19937 gen(43);
    for (int32_t t = 0; t < 100; ++t) {
        const float* base = bases.data() + size_t(t) * DIM;
        const std::vector<NodeDist> heap = candidate_heap(g, base, gen);
        for (int32_t cap = 0; cap <= 40; ++cap) {
            std::vector<NodeDist> mine = heap, theirs = heap;
            const std::vector<int32_t> got = ix->builder.select_neighbours(ix->view(), mine, cap);
            ASSERT_EQ(got, ref::select_neighbours(g, theirs, cap))
                << "trial " << t << " cap " << cap << " candidates " << heap.size();
            ASSERT_TRUE(mine.empty());
            ASSERT_EQ(got.size(), std::min(size_t(cap), heap.size()));
        }
    }
}

// Rows of 72 components near a 3-d subspace, so that the heuristic prunes
// often: the pair table's rows skip the candidates an earlier row prunes, and
// must still decide as the reference does, over stale entries left by earlier
// selections on this thread.
TEST_P(SelectTest, WideRowsNearASubspaceMatchReference) {
    constexpr int32_t WIDE = 72, POOL = 260;
    std::mt19937 gen(46);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> axes(3 * WIDE), pts(size_t(POOL + 40) * WIDE);
    for (float& a : axes) a = normal(gen) * 0.05f;
    for (int32_t i = 0; i < POOL + 40; ++i) {
        const float z[3] = {normal(gen), normal(gen), normal(gen)};
        for (int32_t j = 0; j < WIDE; ++j)
            pts[size_t(i) * WIDE + j] = z[0] * axes[size_t(j)] + z[1] * axes[size_t(WIDE + j)] +
                                        z[2] * axes[size_t(2 * WIDE + j)] + normal(gen) * 0.002f;
    }
    ref::Parts ix(WIDE, 16, metric, *ks);
    for (int32_t i = 0; i < POOL; ++i) ix.add_flat(pts.data() + size_t(i) * WIDE);
    const ref::Graph g = ref::copy_of(ix);
    for (int32_t t = 0; t < 40; ++t) {
        const float* base = pts.data() + size_t(POOL + t) * WIDE;
        const float bn = ref::sq_norm(base, WIDE);
        std::vector<NodeDist> heap;
        std::set<float> seen;
        for (int32_t id = 0; id < POOL; ++id) {
            const float d = g.dist_to_node(base, bn, id);
            if (gen() % 4 == 0 || !seen.insert(d).second) continue;
            heap.push_back({d, id});
            std::push_heap(heap.begin(), heap.end(), ref::further);
        }
        for (int32_t cap : {1, 3, 8, 16, 32, 64, 200}) {
            std::vector<NodeDist> mine = heap, theirs = heap;
            ASSERT_EQ(ix.builder.select_neighbours(ix.view(), mine, cap),
                      ref::select_neighbours(g, theirs, cap))
                << "trial " << t << " cap " << cap << " candidates " << heap.size();
        }
    }
}

TEST_P(SelectTest, NanDistancesKeepTheCount) {
    auto ix = candidate_pool(metric, 44, *ks);
    const float bad[DIM] = {NaN, 0.1f, 0.1f, 0.1f, 0.1f};
    for (int i = 0; i < 10; ++i) ix->add_flat(bad);
    ix->nodes.norms[5] = NaN;
    std::mt19937 gen(45);
    std::uniform_real_distribution<float> any(0.0f, 2.0f);
    for (int32_t t = 0; t < 50; ++t) {
        std::vector<int32_t> ids(static_cast<size_t>(ix->size()));
        for (int32_t i = 0; i < ix->size(); ++i) ids[size_t(i)] = i;
        std::shuffle(ids.begin(), ids.end(), gen);
        ids.resize(size_t(t) + 1);
        std::vector<NodeDist> heap;
        for (int32_t id : ids) {
            heap.push_back({gen() % 3 == 0 ? NaN : any(gen), id});
            std::push_heap(heap.begin(), heap.end(), ref::further);
        }
        for (int32_t cap = 0; cap <= 40; ++cap) {
            std::vector<NodeDist> h = heap;
            std::vector<int32_t> got = ix->builder.select_neighbours(ix->view(), h, cap);
            ASSERT_EQ(got.size(), std::min(size_t(cap), ids.size()));
            std::sort(got.begin(), got.end());
            ASSERT_TRUE(std::adjacent_find(got.begin(), got.end()) == got.end());
            for (int32_t id : got) ASSERT_NE(std::find(ids.begin(), ids.end(), id), ids.end());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(MetricsAndSets, SelectTest, ref::all_metrics_and_sets(),
                         ref::metric_and_set_name);

// Euclidean (squared) points: |A-B|^2 = 1.5, |A-C|^2 = 2, D is at least 3 from
// A, B and C, E repeats A.
class SelectExamples : public ::testing::Test {
  protected:
    void SetUp() override {
        const float pts[5][3] = {{0, 0, 0}, {1, 0.5f, 0.5f}, {1, 1, 0}, {0, 0, 2}, {0, 0, 0}};
        for (const auto& p : pts) ix.add_flat(p);
    }
    std::vector<int32_t> select(std::vector<NodeDist> recs, int32_t cap) {
        std::vector<NodeDist> heap;
        for (const NodeDist& r : recs) {
            heap.push_back(r);
            std::push_heap(heap.begin(), heap.end(), ref::further);
        }
        std::vector<int32_t> out = ix.builder.select_neighbours(ix.view(), heap, cap);
        EXPECT_TRUE(heap.empty());
        return out;
    }
    ref::Parts ix{3, 16, orv::EUCLIDEAN};
    const float base[3] = {5, 5, 5};
    static constexpr int32_t A = 0, B = 1, C = 2, D = 3, E = 4;
};

TEST_F(SelectExamples, NearerNeighbourPrunesTheFurtherOne) {
    EXPECT_EQ(select({{1.0f, A}, {2.0f, B}}, 1), (std::vector<int32_t>{A}));
    EXPECT_EQ(select({{2.0f, B}, {1.0f, A}}, 2), (std::vector<int32_t>{A, B}));
    // Pruned ids come after the taken ones.
    EXPECT_EQ(select({{1.0f, A}, {2.0f, B}, {3.0f, D}}, 3), (std::vector<int32_t>{A, D, B}));
    EXPECT_EQ(select({{1.0f, A}, {2.0f, B}, {3.0f, D}}, 10), (std::vector<int32_t>{A, D, B}));
    EXPECT_EQ(select({{1.0f, A}, {1.5f, E}, {3.0f, D}}, 3), (std::vector<int32_t>{A, D, E}));
}

TEST_F(SelectExamples, EqualDistanceDoesNotPrune) {
    EXPECT_EQ(select({{1.0f, A}, {2.0f, C}, {3.0f, D}}, 3), (std::vector<int32_t>{A, C, D}));
}

TEST_F(SelectExamples, CapZeroAndEmptyQueue) {
    EXPECT_TRUE(select({{1.0f, A}, {2.0f, B}}, 0).empty());
    EXPECT_TRUE(select({}, 5).empty());
}

TEST_F(SelectExamples, NegativeCapThrowsLengthErrorAfterEmptyingTheQueue) {
    std::vector<NodeDist> heap = {{2.0f, B}, {1.0f, A}};
    EXPECT_THROW(ix.builder.select_neighbours(ix.view(), heap, -1), std::length_error);
    EXPECT_TRUE(heap.empty());
}

}  // namespace
