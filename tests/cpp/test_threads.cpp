// Several threads searching the same indexes at once get what sequential
// calls get.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "reference.hpp"

namespace {

using orv::HyperbolicIndex;
using orv::NodeDist;

constexpr int32_t DIM = 12;
constexpr size_t QUERIES = 150;

struct Answers {
    std::vector<std::vector<NodeDist>> layer;
    std::vector<std::vector<int32_t>> hnsw;
    std::vector<std::vector<int32_t>> filtered;
};

// Every query in turn, starting at query `first`, each stored at its own slot.
void answer_all(const HyperbolicIndex& ix, const std::vector<float>& qs, size_t first,
                Answers& out) {
    out.layer.assign(QUERIES, {});
    out.hnsw.assign(QUERIES, {});
    out.filtered.assign(QUERIES, {});
    for (size_t k = 0; k < QUERIES; ++k) {
        const size_t i = (first + k) % QUERIES;
        const float* q = qs.data() + i * DIM;
        const float qn = ref::sq_norm(q, DIM);
        out.layer[i] = ref::beam_of(ix, q, qn, ref::entry_of(ix).id, 40, 0);
        out.hnsw[i] = ix.custom_hnsw_search(q, DIM, 10, 0, 50, -1.0f, -1.0f);
        out.filtered[i] = ix.filtered_search(q, DIM, 10, 1, 100, -1.0f, -1.0f);
    }
}

bool same(const Answers& a, const Answers& b) {
    if (a.hnsw != b.hnsw || a.filtered != b.filtered) return false;
    for (size_t i = 0; i < QUERIES; ++i)
        if (!ref::diff_records(a.layer[i], b.layer[i]).empty()) return false;
    return true;
}

TEST(Threads, ConcurrentSearchesMatchSequentialOnes) {
    auto big = ref::linked_index(orv::POINCARE, DIM, 8, 3000, 61, 32);
    auto small = ref::linked_index(orv::POINCARE, DIM, 8, 50, 62, 32);
    for (auto* ix : {big.get(), small.get()}) {
        std::vector<uint64_t> masks(size_t(ix->size()));
        for (size_t i = 0; i < masks.size(); ++i) masks[i] = uint64_t(i % 3);
        ix->update_masks(masks.data(), int64_t(masks.size()));
    }
    const std::vector<float> qs = ref::random_points(QUERIES, DIM, orv::POINCARE, 63);
    Answers want_big, want_small;
    answer_all(*big, qs, 0, want_big);
    answer_all(*small, qs, 0, want_small);
    constexpr int THREADS = 4;
    std::vector<Answers> got_big(THREADS), got_small(THREADS);
    std::vector<std::thread> pool;
    for (int t = 0; t < THREADS; ++t) {
        pool.emplace_back([&, t] {
            // Two of the threads switch between the indexes, sharing their marks.
            for (int round = 0; round < 2; ++round) {
                answer_all(*big, qs, size_t(t) * 37, got_big[size_t(t)]);
                if (t % 2 == 1) answer_all(*small, qs, size_t(t) * 11, got_small[size_t(t)]);
            }
        });
    }
    for (std::thread& th : pool) th.join();
    for (int t = 0; t < THREADS; ++t) {
        EXPECT_TRUE(same(got_big[size_t(t)], want_big)) << "thread " << t;
        if (t % 2 == 1) EXPECT_TRUE(same(got_small[size_t(t)], want_small)) << "thread " << t;
    }
}

}  // namespace
