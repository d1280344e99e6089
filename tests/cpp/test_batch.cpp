// The batch calls' core: the thread pool, the batch checks, the stop between
// rows, and threaded batch searches equal to per-query calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <stdexcept>

#include "orv/batch.hpp"
#include "reference.hpp"

namespace {

using orv::HyperbolicIndex;

TEST(Batch, ParallelForRunsEveryTaskOnceAndRethrows) {
    std::vector<std::atomic<int>> seen(1000);
    orv::parallel_for(1000, 3, [&](int64_t t) { seen[size_t(t)]++; });
    for (auto& s : seen) EXPECT_EQ(s.load(), 1);
    EXPECT_THROW(orv::parallel_for(100, 2,
                                   [](int64_t t) {
                                       if (t == 37) throw std::length_error("task 37");
                                   }),
                 std::length_error);
    orv::parallel_for(0, 4, [](int64_t) { FAIL(); });
}

TEST(Batch, ChecksNameTheFirstFault) {
    HyperbolicIndex ix(3, 1.0f, 4, "euclidean");
    std::vector<float> v = {0, 1, 2, 3, 4, INFINITY};
    const orv::MaskBlock none;
    auto message = [&](const orv::RowBlock& r, const orv::MaskBlock& m, bool linked) {
        try {
            orv::check_batch(ix, r, m, linked);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(message({v.data(), 2, 3}, none, true), "row 1 holds inf at column 2");
    EXPECT_EQ(message({v.data(), 2, 3}, none, false), "");
    EXPECT_EQ(message({v.data(), 3, 2}, none, false), "expected 3 columns, got 2");
    const uint64_t masks[1] = {7};
    EXPECT_EQ(message({v.data(), 2, 3}, {masks, 1, true}, false),
              "expected 2 masks, one per row, got 1");
}

TEST(Batch, StopsAtTheRowProgressRefuses) {
    const std::vector<float> pts = ref::random_points(50, 4, orv::COSINE, 5);
    auto whole = ref::linked_index(orv::COSINE, 4, 4, 20, 5, 16);
    HyperbolicIndex ix(4, 1.0f, 4, "cosine");
    orv::seed_levels(ix, 5);
    const uint64_t mask[1] = {0};
    const int64_t done = orv::add_batch(ix, {pts.data(), 50, 4}, {mask, 1, false}, 16, true,
                                        [](int64_t n) { return n < 20; });
    EXPECT_EQ(done, 20);
    EXPECT_EQ(ref::diff_graphs(ref::copy_of(ix), ref::copy_of(*whole)), "");
}

class BatchSearch : public ::testing::TestWithParam<int32_t> {};

TEST_P(BatchSearch, ThreadsAnswerAsPerQueryCalls) {
    const int32_t metric = GetParam();
    constexpr int32_t D = 8, K = 6, Q = 300;
    auto ix = ref::linked_index(metric, D, 6, 2000, 17, 32);
    std::vector<uint64_t> masks(size_t(ix->size()));
    for (size_t i = 0; i < masks.size(); ++i) masks[i] = uint64_t(i % 3);
    ix->update_masks(masks.data(), int64_t(masks.size()));
    const std::vector<float> qs = ref::random_points(Q, D, metric, 18);
    std::vector<uint64_t> filters(Q);
    for (int32_t i = 0; i < Q; ++i) filters[size_t(i)] = uint64_t(i % 4);
    for (auto method :
         {orv::SearchMethod::HNSW, orv::SearchMethod::FILTERED, orv::SearchMethod::FLAT}) {
        orv::BatchQuery opt{method, K, 24, -1.0f, -1.0f};
        std::vector<int64_t> ids(size_t(Q * K));
        std::vector<float> dists(size_t(Q * K));
        orv::search_batch(*ix, {qs.data(), Q, D}, {filters.data(), Q, true}, opt, 4, ids.data(),
                          dists.data());
        for (int32_t i = 0; i < Q; ++i) {
            const float* q = qs.data() + size_t(i) * D;
            std::vector<int32_t> want =
                method == orv::SearchMethod::FLAT
                    ? ix->hardware_flat_search(q, D, K, filters[size_t(i)], -1.0f, -1.0f)
                : method == orv::SearchMethod::HNSW
                    ? ix->custom_hnsw_search(q, D, K, filters[size_t(i)], 24, -1.0f, -1.0f)
                    : ix->filtered_search(q, D, K, filters[size_t(i)], 24, -1.0f, -1.0f);
            for (int32_t j = 0; j < K; ++j) {
                const size_t at = size_t(i * K + j);
                if (j >= int32_t(want.size())) {
                    EXPECT_EQ(ids[at], -1);
                    EXPECT_TRUE(std::isinf(dists[at]));
                    continue;
                }
                ASSERT_EQ(ids[at], want[size_t(j)]) << "query " << i << " rank " << j;
                EXPECT_TRUE(
                    ref::same_float(dists[at], ix->compute_distance(q, D, want[size_t(j)])));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Metrics, BatchSearch,
                         ::testing::Values(orv::POINCARE, orv::EUCLIDEAN, orv::COSINE),
                         [](const auto& p) { return std::string(ref::metric_name(p.param)); });

TEST(Batch, LevelStateRoundTripsAndRefusesGarbage) {
    HyperbolicIndex a(4), b(4);
    orv::seed_levels(a, 99);
    for (int i = 0; i < 10; ++i) a.graph_builder().rng();
    orv::set_level_state(b, orv::get_level_state(a));
    EXPECT_EQ(a.graph_builder().rng(), b.graph_builder().rng());
    std::string wide = orv::get_level_state(a);
    wide.replace(0, wide.find(' '), "4294967296");
    EXPECT_THROW(orv::set_level_state(b, wide), std::invalid_argument);
    EXPECT_THROW(orv::set_level_state(b, orv::get_level_state(a) + " 5"), std::invalid_argument);
    EXPECT_THROW(orv::set_level_state(b, ""), std::invalid_argument);
}

}  // namespace
