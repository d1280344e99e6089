// NodeDist ordering, and the per-thread scratch reused across indexes of
// different sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../../graph/selection.hpp"
#include "orv/metric.hpp"
#include "reference.hpp"

namespace {

using orv::NodeDist;

TEST(NodeDistOrder, ComparesDistanceAlone) {
    const NodeDist near{1.0f, 9}, far{2.0f, 0}, near_other{1.0f, 3};
    EXPECT_TRUE(near < far);
    EXPECT_FALSE(far < near);
    EXPECT_TRUE(far > near);
    EXPECT_FALSE(near > far);
    EXPECT_FALSE(near < near_other);
    EXPECT_FALSE(near_other < near);
    EXPECT_FALSE(near > near_other);
    EXPECT_FALSE(near_other > near);
    EXPECT_FALSE((NodeDist{-0.0f, 1} < NodeDist{0.0f, 0}));
    const NodeDist nan{std::numeric_limits<float>::quiet_NaN(), 0};
    EXPECT_FALSE(nan < near);
    EXPECT_FALSE(near < nan);
    EXPECT_FALSE(nan > near);
    EXPECT_FALSE(near > nan);
    EXPECT_TRUE(std::less<NodeDist>{}(near, far));
    EXPECT_TRUE(std::greater<NodeDist>{}(far, near));
}

struct Pair {
    std::unique_ptr<ref::Parts> ix;
    ref::Graph g;
};

// Two indexes of very different list caps and dimensions, grown in turns on a
// fresh thread (so its scratch starts empty and must grow), then searched and
// selected in turns. Empty when everything matches the reference.
std::string run_interleaved() {
    Pair small{std::make_unique<ref::Parts>(3, 2, orv::EUCLIDEAN),
               ref::empty_graph(3, orv::EUCLIDEAN, 2, 1)};
    Pair large{std::make_unique<ref::Parts>(20, 16, orv::COSINE),
               ref::empty_graph(20, orv::COSINE, 16, 2)};
    small.ix->builder.rng.seed(1);
    large.ix->builder.rng.seed(2);
    const std::vector<float> ps = ref::random_points(100, 3, orv::EUCLIDEAN, 3);
    const std::vector<float> pl = ref::random_points(200, 20, orv::COSINE, 4);
    for (size_t i = 0; i < 100; ++i) {
        small.ix->add_linked(ps.data() + i * 3, 0, 8);
        ref::add_item_and_link(small.g, ps.data() + i * 3, 8);
        for (size_t j = 2 * i; j < 2 * i + 2; ++j) {
            large.ix->add_linked(pl.data() + j * 20, 0, 40);
            ref::add_item_and_link(large.g, pl.data() + j * 20, 40);
        }
    }
    std::string d = ref::diff_graphs(ref::copy_of(*small.ix), small.g) +
                    ref::diff_graphs(ref::copy_of(*large.ix), large.g);
    for (size_t i = 0; i < 40 && d.empty(); ++i) {
        for (Pair* p : {&large, &small, &small, &large}) {
            const float* q = p->g.vectors[i * 2].data();
            const float qn = p->g.norms[i * 2];
            const int32_t ef = p == &large ? 64 : 3;
            std::vector<NodeDist> got = ref::beam_of(*p->ix, q, qn, p->ix->ep_id, ef, 0);
            std::vector<NodeDist> want = ref::search_layer(p->g, q, qn, p->ix->ep_id, ef, 0);
            d += ref::diff_records(got, want);
            if (p->ix->builder.select_neighbours(p->ix->view(), got, 6) !=
                ref::select_neighbours(p->g, want, 6))
                d += "selection differs";
        }
    }
    return d;
}

TEST(ScratchReuse, IndexesOfDifferentSizesInTurns) {
    std::string d;
    std::thread([&] { d = run_interleaved(); }).join();
    EXPECT_EQ(d, "");
}

// The drains of the selections against popping a heap built push by push and
// sorting: with ties, -0 and NaN the order of equal records must stay the one
// the heap layout gives, and with distinct distances the shortcut must agree.
TEST(SelectionDrain, SameOrderAsPoppingAndSortingWithTiesAndNaN) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::vector<float>> pools = {{0.0f, 1.0f, 2.0f},
                                                   {0.5f, 0.5f, -0.0f, 0.0f},
                                                   {1.0f, nan, 3.0f},
                                                   {-1.5f, 2.0f, INFINITY, -0.0f, -INFINITY},
                                                   {}};
    std::mt19937 gen(5);
    for (const auto& pool : pools) {
        for (int round = 0; round < 200; ++round) {
            // Short lists and the long ones of a layer search are ordered differently.
            const int n = round % 2 == 0 ? int(gen() % 40) : 64 + int(gen() % 300);
            std::vector<NodeDist> pushed;
            for (int i = 0; i < n; ++i) {
                // An empty pool gives mostly distinct distances of both signs
                // and many magnitudes.
                const float wide = std::ldexp(float(gen() % 100000 + 1), int(gen() % 40) - 20);
                const float d =
                    pool.empty() ? (gen() % 4 == 0 ? -wide : wide) : pool[gen() % pool.size()];
                pushed.push_back({d, i});
            }
            std::vector<NodeDist> heap;
            for (const NodeDist& r : pushed) {
                heap.push_back(r);
                std::push_heap(heap.begin(), heap.end(), std::less<NodeDist>{});
            }
            std::vector<NodeDist> want, h = heap;
            while (!h.empty()) {
                std::pop_heap(h.begin(), h.end(), std::less<NodeDist>{});
                want.push_back(h.back());
                h.pop_back();
            }
            std::sort(want.begin(), want.end(), orv::DistLessNanLast{});
            std::vector<NodeDist> a, b;
            orv::drain_sorted(heap, a);
            orv::drain_pushed(pushed, b);
            ASSERT_EQ(a.size(), want.size());
            ASSERT_EQ(b.size(), want.size());
            EXPECT_TRUE(heap.empty());
            EXPECT_TRUE(pushed.empty());
            for (size_t i = 0; i < want.size(); ++i) {
                ASSERT_EQ(a[i].id, want[i].id) << "drain_sorted, position " << i;
                ASSERT_EQ(b[i].id, want[i].id) << "drain_pushed, position " << i;
            }
        }
    }
}

}  // namespace
