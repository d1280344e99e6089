// The builder's linked insertion against the reference insertion with the same
// level draws: the same levels, lists and entry point after every few insertions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "reference.hpp"

namespace {

using orv::HyperbolicIndex;

// Mostly a usual beam, sometimes one wide enough to measure ahead, one
// narrower than the cap or one below 1.
int32_t ef_for(int32_t i) {
    static const int32_t efs[] = {24, 40, 1, 24, 5, 40, 0};
    return efs[i % 7];
}

struct Growth {
    int32_t n;
    uint32_t seed;
    int32_t dim = 6;
    int32_t flat = 0;
    bool negative_norms = false;
    bool memo = false;
    const std::vector<float>* points = nullptr;  // n rows of dim; random when null
};

// Inserts the points into both, flat ones first, optionally making stored
// norms negative half-way (as a loaded file may); empty when they agree after
// every tenth insertion and at the end.
std::string grow_both(int32_t metric, int32_t m, const orv::KernelSet& ks, const Growth& gr) {
    ref::Parts ix(gr.dim, m, metric, ks);
    ix.nodes.use_link_memo(gr.memo);
    ix.builder.rng.seed(gr.seed);
    ref::Graph g = ref::empty_graph(gr.dim, metric, m, gr.seed);
    const std::vector<float> pts =
        gr.points != nullptr ? *gr.points : ref::random_points(gr.n, gr.dim, metric, gr.seed + 1);
    for (int32_t i = 0; i < gr.n; ++i) {
        const float* v = pts.data() + size_t(i) * size_t(gr.dim);
        if (i < gr.flat) {
            ix.add_flat(v);
            ref::add_item_flat(g, v);
        } else {
            ix.add_linked(v, 0, ef_for(i));
            ref::add_item_and_link(g, v, ef_for(i));
        }
        if (i == gr.n / 2 && gr.negative_norms) {
            for (int32_t j = 0; j <= i; j += 4)
                ix.nodes.norms[size_t(j)] = g.norms[size_t(j)] = -1.0f;
            // As after loading such a file: the memo turns itself off.
            ix.nodes.use_link_memo(gr.memo);
            if (ix.nodes.memo.on()) return "the memo stayed on with negative norms";
        }
        if (i % 10 != 9 && i != gr.n - 1) continue;
        const std::string d = ref::diff_graphs(ref::copy_of(ix), g);
        if (!d.empty()) return "after node " + std::to_string(i) + ": " + d;
        if (!(ix.builder.rng == g.rng)) return "after node " + std::to_string(i) + ": rng differs";
    }
    return "";
}

using Param = std::tuple<int32_t, int32_t, std::string, bool>;

class InsertionTest : public ::testing::TestWithParam<Param> {
  protected:
    void SetUp() override {
        metric = std::get<0>(GetParam());
        m = std::get<1>(GetParam());
        ks = ref::kernel_set(std::get<2>(GetParam()));
        if (ks == nullptr) GTEST_SKIP() << "this CPU has no AVX2 and FMA";
        memo = std::get<3>(GetParam());
    }
    int32_t metric = 0;
    int32_t m = 0;
    const orv::KernelSet* ks = nullptr;
    bool memo = false;
};

TEST_P(InsertionTest, GraphMatchesReferenceInsertion) {
    EXPECT_EQ(grow_both(metric, m, *ks, {.n = 400, .seed = 100 + uint32_t(m), .memo = memo}), "");
}

// Wide vectors: bounded sums stop early in the AVX2 set (Euclidean from 32
// components, cosine from 64).
TEST_P(InsertionTest, WideVectorsMatchReferenceInsertion) {
    for (int32_t dim : {48, 80})
        EXPECT_EQ(grow_both(metric, m, *ks,
                            {.n = 150, .seed = 300 + uint32_t(m), .dim = dim, .memo = memo}),
                  "")
            << "dim " << dim;
}

// Regular polygons near the rim of the disc: many pairs lie at nearly the same
// distance, and at these distances several arguments of arcosh round to the
// same float, so a candidate's distance often equals a pair's exactly.
TEST_P(InsertionTest, RingsOfEqualDistancesMatchReferenceInsertion) {
    std::vector<float> pts;
    for (float radius : {0.95f, 0.99f, 0.997f})
        for (int32_t i = 0; i < 60; ++i) {
            const double a = 2.0 * 3.141592653589793 * i / 60.0;
            pts.push_back(radius * float(std::cos(a)));
            pts.push_back(radius * float(std::sin(a)));
        }
    EXPECT_EQ(
        grow_both(metric, m, *ks,
                  {.n = 180, .seed = 500 + uint32_t(m), .dim = 2, .memo = memo, .points = &pts}),
        "");
}

TEST_P(InsertionTest, FlatNodesFirstThenLinked) {
    EXPECT_EQ(
        grow_both(metric, m, *ks, {.n = 60, .seed = 200 + uint32_t(m), .flat = 3, .memo = memo}),
        "");
}

std::string param_name(const ::testing::TestParamInfo<Param>& p) {
    return std::string(ref::metric_name(std::get<0>(p.param))) + "_M" +
           std::to_string(std::get<1>(p.param)) + "_" + std::get<2>(p.param) +
           (std::get<3>(p.param) ? "_memo" : "");
}

INSTANTIATE_TEST_SUITE_P(
    MetricsCapsAndSets, InsertionTest,
    ::testing::Combine(::testing::Values(orv::POINCARE, orv::EUCLIDEAN, orv::COSINE),
                       ::testing::Values(2, 4, 16), ::testing::Values("generic", "avx2"),
                       ::testing::Bool()),
    param_name);

// Shrinking a list measures from the neighbour's stored norm as it stands.
// Poincare only: there the norms shape the distances and a negative query
// norm still gives numbers (cosine would give NaN).
class NegativeNormTest : public InsertionTest {};

TEST_P(NegativeNormTest, MatchesReferenceInsertion) {
    EXPECT_EQ(
        grow_both(metric, m, *ks,
                  {.n = 300, .seed = 400 + uint32_t(m), .negative_norms = true, .memo = memo}),
        "");
}

INSTANTIATE_TEST_SUITE_P(CapsAndSets, NegativeNormTest,
                         ::testing::Combine(::testing::Values(orv::POINCARE),
                                            ::testing::Values(2, 4, 16),
                                            ::testing::Values("generic", "avx2"),
                                            ::testing::Bool()),
                         param_name);

TEST(InsertionEdges, FirstNodeIsEntryAndSecondLinksBothWays) {
    ref::Parts ix(2, 4, orv::EUCLIDEAN);
    ix.builder.rng.seed(7);
    const float a[2] = {0.1f, 0.2f}, b[2] = {0.3f, -0.1f};
    ix.add_linked(a, 0, 10);
    EXPECT_EQ(ix.ep_id, 0);
    EXPECT_EQ(ix.ep_layer, ix.nodes.levels[0]);
    ix.add_linked(b, 0, 10);
    const int32_t shared = std::min(ix.nodes.levels[0], ix.nodes.levels[1]);
    for (int32_t l = 0; l <= shared; ++l) {
        EXPECT_EQ(ix.nodes.links(0, l).count, 1);
        EXPECT_EQ(ix.nodes.links(0, l).ids[0], 1);
        EXPECT_EQ(ix.nodes.links(1, l).count, 1);
        EXPECT_EQ(ix.nodes.links(1, l).ids[0], 0);
    }
}

// A loaded index starts with an empty memo: growing it further gives the graph
// of the index it was saved from, whose memo is warm, and of one without memo.
TEST(LinkMemo, LoadedIndexGrowsLikeTheOriginal) {
    const int32_t dim = 40, n = 160;
    const std::vector<float> pts = ref::random_points(n, dim, orv::EUCLIDEAN, 91);
    // The index turns its memo on by default here.
    HyperbolicIndex warm(dim, 1.0f, 4, "euclidean");
    ref::Parts plain(dim, 4, orv::EUCLIDEAN);
    plain.nodes.use_link_memo(false);
    orv::seed_levels(warm, 5);
    plain.builder.rng.seed(5);
    const std::string path =
        (std::filesystem::temp_directory_path() / "orv_memo_load_test.idx").string();
    HyperbolicIndex loaded(dim, 1.0f, 4, "euclidean");
    for (int32_t i = 0; i < n; ++i) {
        const float* v = pts.data() + size_t(i) * size_t(dim);
        if (i == n / 2) {
            warm.save_index(path);
            loaded.load_index(path);
            orv::set_level_state(loaded, orv::get_level_state(warm));
        }
        warm.add_item_and_link(v, dim, 0, 16);
        plain.add_linked(v, 0, 16);
        if (i >= n / 2) loaded.add_item_and_link(v, dim, 0, 16);
    }
    std::filesystem::remove(path);
    ASSERT_TRUE(warm.view().nodes.memo.on());
    ASSERT_TRUE(loaded.view().nodes.memo.on());
    ASSERT_FALSE(plain.nodes.memo.on());
    EXPECT_EQ(ref::diff_graphs(ref::copy_of(warm), ref::copy_of(plain)), "");
    EXPECT_EQ(ref::diff_graphs(ref::copy_of(loaded), ref::copy_of(plain)), "");
}

TEST(LinkMemo, OnByDefaultOnlyWhereItCostsLessThanTheVectors) {
    EXPECT_TRUE(HyperbolicIndex(784, 1.0f, 16, "euclidean").view().nodes.memo.on());
    EXPECT_FALSE(HyperbolicIndex(10, 1.0f, 16, "poincare").view().nodes.memo.on());
    // Rows of 64 bits hold lists of up to 63 links.
    ref::Parts wide(100000, 32, orv::COSINE);
    wide.nodes.use_link_memo(true);
    EXPECT_FALSE(wide.nodes.memo.on());
}

}  // namespace
