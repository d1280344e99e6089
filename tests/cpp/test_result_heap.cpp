// The flat search's result heap against the plain push-then-pop heap: the
// same records in the same positions after every push, ties and NaN included.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../../search/order.hpp"
#include "reference.hpp"

namespace {

using orv::NodeDist;

// Distances drawn from a few values (many ties), spread values, or either
// with NaN mixed in; each stream ends with a long tail of records that mostly
// lie above a full heap's top.
std::vector<float> stream(int kind, std::mt19937& gen) {
    std::uniform_int_distribution<int> few(0, 5);
    std::uniform_real_distribution<float> spread(0.0f, 10.0f);
    std::uniform_int_distribution<int> one_in(0, 40);
    std::vector<float> out;
    for (int i = 0; i < 600; ++i) {
        float d = kind % 2 == 0 ? float(few(gen)) : spread(gen);
        if (i > 200) d += 8.0f;
        if (kind >= 2 && one_in(gen) == 0) d = std::numeric_limits<float>::quiet_NaN();
        if (kind >= 2 && one_in(gen) == 0) d = i % 2 ? -0.0f : 0.0f;
        out.push_back(d);
    }
    return out;
}

TEST(ResultHeap, SameHeapAsPushThenPop) {
    std::mt19937 gen(31);
    for (int64_t k : {-1, 0, 1, 2, 3, 10, 63, 64, 65, 100}) {
        for (int kind = 0; kind < 4; ++kind) {
            const std::vector<float> ds = stream(kind, gen);
            std::vector<NodeDist> got_store, want;
            orv::ResultHeap got(got_store, k);
            for (size_t i = 0; i < ds.size(); ++i) {
                const NodeDist r{ds[i], int32_t(i)};
                got.push(r);
                ref::push_capped(want, r, k);
                ASSERT_EQ(ref::diff_records(got_store, want), "")
                    << "k " << k << " kind " << kind << " after record " << i;
            }
        }
    }
}

TEST(ResultHeap, BoundIsTheTopOfAFullHeap) {
    std::vector<NodeDist> store;
    orv::ResultHeap heap(store, 2);
    EXPECT_EQ(heap.bound(), INFINITY);
    heap.push({3.0f, 0});
    EXPECT_EQ(heap.bound(), INFINITY);
    heap.push({1.0f, 1});
    EXPECT_EQ(heap.bound(), 3.0f);
    heap.push({2.0f, 2});
    EXPECT_EQ(heap.bound(), 2.0f);
    std::vector<NodeDist> none_store;
    EXPECT_EQ(orv::ResultHeap(none_store, 0).bound(), INFINITY);
}

}  // namespace
