// The index's parts driven directly: the builder one row at a time, searchers
// with scratches of their own on several threads over one graph, and the
// configuration that construction and loading share.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orv/metric.hpp"
#include "reference.hpp"

namespace {

using orv::HyperbolicIndex;

class PartsTest : public ::testing::TestWithParam<int32_t> {};

// Rows handed to the builder one by one grow the graph the index's own
// insertions grow, flat rows among them, and leave the generator alike.
TEST_P(PartsTest, BuilderRowByRowGrowsTheIndexGraph) {
    const int32_t metric = GetParam(), dim = 12, n = 300;
    const std::vector<float> pts = ref::random_points(n, dim, metric, 71);
    HyperbolicIndex ix(dim, 1.0f, 4, ref::metric_name(metric));
    ref::Parts parts(dim, 4, metric);
    orv::seed_levels(ix, 72);
    parts.builder.rng.seed(72);
    for (int32_t i = 0; i < n; ++i) {
        const float* v = pts.data() + size_t(i) * size_t(dim);
        if (i % 11 == 4) {
            ix.add_item_flat(v, dim, 1, uint64_t(i));
            parts.add_flat(v, uint64_t(i));
        } else {
            ix.add_item_and_link(v, dim, uint64_t(i), 20);
            parts.add_linked(v, uint64_t(i), 20);
        }
    }
    EXPECT_EQ(ref::diff_graphs(ref::copy_of(parts), ref::copy_of(ix)), "");
    std::ostringstream state;
    state << parts.builder.rng;
    EXPECT_EQ(state.str(), orv::get_level_state(ix));
}

// Each thread brings its own scratch; every answer equals the index's own.
TEST_P(PartsTest, SearchersWithTheirOwnScratchShareOneGraph) {
    const int32_t metric = GetParam(), dim = 16;
    auto ix = ref::linked_index(metric, dim, 6, 1500, 73, 32);
    const std::vector<float> qs = ref::random_points(60, dim, metric, 74);
    std::vector<std::vector<int32_t>> want;
    for (size_t at = 0; at < qs.size(); at += size_t(dim)) {
        want.push_back(ix->custom_hnsw_search(qs.data() + at, dim, 10, 0, 40, -1.0f, -1.0f));
        want.push_back(ix->filtered_search(qs.data() + at, dim, 10, 0, 40, -1.0f, -1.0f));
        want.push_back(ix->hardware_flat_search(qs.data() + at, dim, 10, 0, -1.0f, -1.0f));
    }
    std::vector<std::vector<std::vector<int32_t>>> got(3);
    std::vector<std::thread> pool;
    for (size_t t = 0; t < got.size(); ++t) {
        pool.emplace_back([&, t] {
            orv::SearchScratch own;
            orv::GraphSearcher gs = ix->searcher(own);
            for (size_t at = 0; at < qs.size(); at += size_t(dim)) {
                const float* q = qs.data() + at;
                got[t].push_back(gs.hnsw_query(q, 10, 0, 40, -1.0f, -1.0f));
                got[t].push_back(gs.filtered_query(q, 10, 0, 40, -1.0f, -1.0f));
                got[t].push_back(gs.flat_query(q, 10, 0, -1.0f, -1.0f));
            }
        });
    }
    for (std::thread& th : pool) th.join();
    for (size_t t = 0; t < got.size(); ++t) EXPECT_EQ(got[t], want) << "thread " << t;
}

INSTANTIATE_TEST_SUITE_P(Metrics, PartsTest,
                         ::testing::Values(orv::POINCARE, orv::EUCLIDEAN, orv::COSINE),
                         [](const auto& p) { return std::string(ref::metric_name(p.param)); });

TEST(GraphSearcher, NegativeCountFailsAsAReservation) {
    auto ix = ref::linked_index(orv::EUCLIDEAN, 4, 4, 30, 75, 16);
    orv::GraphSearcher gs = ix->searcher(orv::thread_scratch());
    const float q[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    for (int which = 0; which < 2; ++which) {
        try {
            if (which == 0)
                gs.hnsw_query(q, -1, 0, 10, -1.0f, -1.0f);
            else
                gs.flat_query(q, -1, 0, -1.0f, -1.0f);
            ADD_FAILURE() << "no error for k -1";
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "vector::reserve");
        }
    }
}

// A load configures the index as its constructor would with the file's
// dimension and M: caps, level multiplier, tail bounds and link memo.
TEST(Configuration, LoadMatchesConstruction) {
    const int32_t dim = 96, m = 5;
    auto built = ref::linked_index(orv::COSINE, dim, m, 120, 76, 24);
    const std::string path =
        (std::filesystem::temp_directory_path() / "orv_configuration_test.idx").string();
    built->save_index(path);
    HyperbolicIndex loaded(3, 1.0f, 40, "cosine");
    loaded.load_index(path);
    std::filesystem::remove(path);
    const HyperbolicIndex fresh(dim, 1.0f, m, "cosine");
    const orv::NodeStore &a = loaded.view().nodes, &b = fresh.view().nodes;
    EXPECT_EQ(loaded.view().dimension, dim);
    EXPECT_EQ(loaded.get_stats().max_m_0, fresh.get_stats().max_m_0);
    EXPECT_EQ(loaded.graph_builder().level_mult, fresh.graph_builder().level_mult);
    EXPECT_EQ(a.max_list(), b.max_list());
    EXPECT_EQ(a.tails.count, b.tails.count);
    EXPECT_EQ(a.tails.stride, b.tails.stride);
    EXPECT_EQ(a.tails.bounds.size(), size_t(120 * a.tails.count));
    EXPECT_EQ(a.memo.slots, b.memo.slots);
}

uint32_t bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// The constants written as expressions keep the values they had as literals.
TEST(PoincareConstants, ExpressionsGiveTheLiteralValues) {
    EXPECT_EQ(bits(orv::POINCARE_MIN_FACTOR), bits(1.0132789611816406e-06f));
    EXPECT_EQ(bits(orv::poincare_floor()),
              bits(std::log(1.000001f + std::sqrt(1.9073486328125e-06f))));
}

}  // namespace
