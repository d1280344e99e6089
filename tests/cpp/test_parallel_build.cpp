// The parallel build against the one-by-one insertion: the same graph and the
// same generator state, with plans both reused and replayed, memo on and off.
#include <gtest/gtest.h>

#include "orv/batch.hpp"
#include "orv/parallel_build.hpp"
#include "reference.hpp"

namespace {

using orv::HyperbolicIndex;

struct Case {
    int32_t dim;
    int32_t m;
    bool memo;
};

class ParallelBuild : public ::testing::TestWithParam<std::tuple<int32_t, std::string, Case>> {};

TEST_P(ParallelBuild, BuildsTheOneByOneGraph) {
    const auto [metric, set_name, c] = GetParam();
    const orv::KernelSet* ks = ref::kernel_set(set_name);
    if (ks == nullptr) GTEST_SKIP() << "no " << set_name << " on this CPU";
    constexpr int32_t n = 700, ef = 48;
    const std::vector<float> pts = ref::random_points(n, c.dim, metric, 21);
    HyperbolicIndex one(c.dim, 1.0f, c.m, ref::metric_name(metric), *ks);
    HyperbolicIndex many(c.dim, 1.0f, c.m, ref::metric_name(metric), *ks);
    one.use_link_memo(c.memo);
    many.use_link_memo(c.memo);
    orv::seed_levels(one, 21);
    orv::seed_levels(many, 21);
    const uint64_t mask[1] = {3};
    const orv::MaskBlock masks{mask, 1, false};
    // A flat start, then linked rows, as callers mix them.
    orv::add_batch(one, {pts.data(), 20, c.dim}, masks, ef, false, nullptr);
    orv::add_batch(many, {pts.data(), 20, c.dim}, masks, ef, false, nullptr, 3);
    const orv::RowBlock rest{pts.data() + 20 * c.dim, n - 20, c.dim};
    for (int64_t i = 0; i < rest.rows; ++i) one.add_item_and_link(rest.row(i), c.dim, 3, ef);
    orv::ParallelBuildStats st;
    EXPECT_EQ(orv::add_batch(many, rest, masks, ef, true, nullptr, 3, &st), rest.rows);
    EXPECT_EQ(ref::diff_graphs(ref::copy_of(many), ref::copy_of(one)), "");
    EXPECT_EQ(orv::get_level_state(many), orv::get_level_state(one));
    // Both ways of committing were taken.
    EXPECT_EQ(st.rows, rest.rows);
    EXPECT_GT(st.reused, 0);
    EXPECT_LT(st.reused, st.rows);
}

INSTANTIATE_TEST_SUITE_P(
    MetricsSetsAndShapes, ParallelBuild,
    ::testing::Combine(::testing::Values(orv::POINCARE, orv::EUCLIDEAN, orv::COSINE),
                       ::testing::Values("generic", "avx2"),
                       ::testing::Values(Case{6, 4, true}, Case{72, 8, true}, Case{72, 8, false},
                                         Case{130, 16, true})),
    [](const auto& p) {
        const Case c = std::get<2>(p.param);
        return std::string(ref::metric_name(std::get<0>(p.param))) + "_" + std::get<1>(p.param) +
               "_d" + std::to_string(c.dim) + "_m" + std::to_string(c.m) +
               (c.memo ? "_memo" : "_nomemo");
    });

TEST(ParallelBuild, StopsWhereProgressSays) {
    const std::vector<float> pts = ref::random_points(300, 8, orv::COSINE, 4);
    auto whole = ref::linked_index(orv::COSINE, 8, 4, 123, 4, 32);
    HyperbolicIndex ix(8, 1.0f, 4, "cosine");
    orv::seed_levels(ix, 4);
    const uint64_t mask[1] = {0};
    const int64_t done = orv::add_batch(
        ix, {pts.data(), 300, 8}, {mask, 1, false}, 32, true, [](int64_t k) { return k < 123; }, 2);
    EXPECT_EQ(done, 123);
    EXPECT_EQ(ref::diff_graphs(ref::copy_of(ix), ref::copy_of(*whole)), "");
    EXPECT_EQ(orv::get_level_state(ix), orv::get_level_state(*whole));
}

// A batch into a graph that has an entry point already, on more threads than
// the machine has cores: plans then wait their turn, and many go stale.
TEST(ParallelBuild, ContinuesALinkedGraphOnManyThreads) {
    constexpr int32_t dim = 24, n = 500, ef = 40;
    const std::vector<float> pts = ref::random_points(n, dim, orv::EUCLIDEAN, 8);
    HyperbolicIndex one(dim, 1.0f, 6, "euclidean");
    HyperbolicIndex many(dim, 1.0f, 6, "euclidean");
    orv::seed_levels(one, 8);
    orv::seed_levels(many, 8);
    const uint64_t mask[1] = {1};
    for (int32_t i = 0; i < n; ++i) one.add_item_and_link(pts.data() + size_t(i) * dim, dim, 1, ef);
    for (int32_t i = 0; i < 200; ++i)
        many.add_item_and_link(pts.data() + size_t(i) * dim, dim, 1, ef);
    orv::ParallelBuildStats st;
    const orv::RowBlock rest{pts.data() + 200 * dim, n - 200, dim};
    EXPECT_EQ(orv::add_batch(many, rest, {mask, 1, false}, ef, true, nullptr, 8, &st), rest.rows);
    EXPECT_EQ(ref::diff_graphs(ref::copy_of(many), ref::copy_of(one)), "");
    EXPECT_EQ(orv::get_level_state(many), orv::get_level_state(one));
    EXPECT_LT(st.reused, st.rows);
}

}  // namespace
