// The layer search against the reference beam search: same records in the same
// heap order, on grown and on hand-made graphs; the queries' layer-0 beam in
// the order its heap drains to.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "reference.hpp"

namespace {

using orv::HyperbolicIndex;
using orv::NodeDist;

const std::vector<int32_t> EFS = {1, 2, 10, 50, 256, 257, 0, -5, INT_MIN};

// Random lists within the caps (self links and repeats included), random
// levels, and some stored norms replaced: at the Poincare boundary, just below
// it, negative (recomputed by the kernel) and NaN.
std::unique_ptr<ref::Parts> crafted_index(int32_t metric, int32_t dim, int32_t m, int32_t n,
                                          uint32_t seed,
                                          const orv::KernelSet& ks = orv::best_kernels()) {
    auto ix = std::make_unique<ref::Parts>(dim, m, metric, ks);
    const std::vector<float> pts = ref::random_points(n, dim, metric, seed);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<std::vector<int32_t>> by_level(5);
    for (int32_t i = 0; i < n; ++i) {
        ix->add_flat(pts.data() + size_t(i) * size_t(dim));
        int32_t level = 0;
        while (level < 4 && unit(gen) < 0.35f) ++level;
        ix->nodes.levels[size_t(i)] = level;
        ix->nodes.init_upper(i, level);
        for (int32_t l = 0; l <= level; ++l) by_level[size_t(l)].push_back(i);
    }
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t l = 0; l <= ix->nodes.levels[size_t(i)]; ++l) {
            const std::vector<int32_t>& pool = by_level[size_t(l)];
            std::uniform_int_distribution<size_t> pick(0, pool.size() - 1);
            std::uniform_int_distribution<int32_t> len(0, l == 0 ? 2 * m : m);
            std::vector<int32_t> list(static_cast<size_t>(len(gen)));
            for (int32_t& id : list) id = pool[pick(gen)];
            if (!list.empty()) ix->nodes.set_links(i, l, list.data(), int32_t(list.size()));
        }
    }
    const float odd_norms[] = {0.995f, 0.99499994f, -1.0f, std::numeric_limits<float>::quiet_NaN()};
    for (int32_t i = 7; i < n; i += 29) ix->nodes.norms[size_t(i)] = odd_norms[size_t(i) % 4];
    // As storing a norm at the boundary would have raised it.
    ix->nodes.max_norm = std::max(ix->nodes.max_norm, 0.995f);
    return ix;
}

// Empty when every search from a random entry on every layer, for every ef,
// matches the reference.
template <class Index>
std::string compare_searches(const Index& ix, int32_t queries, uint32_t seed) {
    const ref::Graph g = ref::copy_of(ix);
    const int32_t top = *std::max_element(g.levels.begin(), g.levels.end());
    std::vector<float> qs = ref::random_points(queries, g.dim, g.metric, seed);
    // Stored vectors as queries too: zero and floor distances, equal distances.
    for (int32_t i = 0; i < queries; i += 3)
        qs.insert(qs.end(), g.vectors[size_t(i)].begin(), g.vectors[size_t(i)].end());
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int32_t> pick(0, g.size() - 1);
    for (size_t at = 0; at < qs.size(); at += size_t(g.dim)) {
        const float* q = qs.data() + at;
        const float qn = ref::sq_norm(q, g.dim);
        for (int32_t layer = 0; layer <= top; ++layer) {
            int32_t entry = pick(gen);
            while (g.levels[size_t(entry)] < layer) entry = pick(gen);
            for (int32_t ef : EFS) {
                const std::vector<NodeDist> want = ref::search_layer(g, q, qn, entry, ef, layer);
                std::string d = ref::diff_records(ref::beam_of(ix, q, qn, entry, ef, layer), want);
                if (d.empty() && layer == 0) {
                    // The layer-0 beam of the queries, sorted where its records are distinct.
                    orv::GraphSearcher gs = ix.searcher(orv::thread_scratch());
                    gs.layer0_ascending(q, qn, {gs.view().distance(q, qn, entry), entry}, ef);
                    d = ref::diff_records(gs.scratch().work, ref::ascending(want));
                }
                if (!d.empty())
                    return "query " + std::to_string(at / size_t(g.dim)) + " layer " +
                           std::to_string(layer) + " entry " + std::to_string(entry) + " ef " +
                           std::to_string(ef) + ": " + d;
            }
        }
    }
    return "";
}

class LayerSearchTest : public ref::MetricKernelTest {};

TEST_P(LayerSearchTest, GrownGraphsMatchReference) {
    // 96 components: cosine sums may stop at their checkpoints.
    const std::pair<int32_t, int32_t> dims_and_caps[] = {
        {8, 2}, {8, 4}, {40, 4}, {24, 12}, {96, 6}};
    for (auto [dim, m] : dims_and_caps) {
        auto ix = ref::linked_index(metric, dim, m, 500, uint32_t(dim + m), 16, *ks);
        EXPECT_EQ(compare_searches(*ix, 50, uint32_t(dim) + 1), "") << "dim " << dim << " M " << m;
    }
}

TEST_P(LayerSearchTest, CraftedGraphsMatchReference) {
    for (int32_t dim : {3, 36}) {
        auto ix = crafted_index(metric, dim, 5, 400, uint32_t(dim) + 2, *ks);
        EXPECT_EQ(compare_searches(*ix, 50, uint32_t(dim) + 3), "") << "dim " << dim;
    }
}

// The sorted beam from an entry whose distance is NaN (its stored norm is):
// the heaps order it as they will, and the sorted beam must leave it to them.
TEST_P(LayerSearchTest, Layer0BeamFromNaNEntryMatchesReference) {
    auto ix = crafted_index(metric, 3, 5, 400, 21, *ks);
    const ref::Graph g = ref::copy_of(*ix);
    const std::vector<float> qs = ref::random_points(20, 3, metric, 22);
    const int32_t entry = 7;
    ASSERT_TRUE(metric == orv::EUCLIDEAN || std::isnan(ix->nodes.norms[size_t(entry)]));
    orv::GraphSearcher gs = ix->searcher();
    for (size_t at = 0; at < qs.size(); at += 3) {
        const float* q = qs.data() + at;
        const float qn = ref::sq_norm(q, 3);
        for (int32_t ef : {2, 3, 10, 256}) {
            gs.layer0_ascending(q, qn, {gs.view().distance(q, qn, entry), entry}, ef);
            const std::vector<NodeDist> want = ref::search_layer(g, q, qn, entry, ef, 0);
            EXPECT_EQ(ref::diff_records(gs.scratch().work, ref::ascending(want)), "")
                << "ef " << ef;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(MetricsAndSets, LayerSearchTest, ref::all_metrics_and_sets(),
                         ref::metric_and_set_name);

// Points given by hand, with hand-made layer-0 lists.
std::unique_ptr<ref::Parts> hand_graph(int32_t metric, const std::vector<std::vector<float>>& pts,
                                       const std::vector<std::vector<int32_t>>& lists) {
    auto ix = std::make_unique<ref::Parts>(int32_t(pts[0].size()), 4, metric);
    for (const auto& p : pts) ix->add_flat(p.data());
    for (size_t i = 0; i < lists.size(); ++i)
        if (!lists[i].empty())
            ix->nodes.set_links(int32_t(i), 0, lists[i].data(), int32_t(lists[i].size()));
    return ix;
}

std::vector<int32_t> ids_of(std::vector<NodeDist> r) {
    std::vector<int32_t> ids;
    for (const NodeDist& x : r) ids.push_back(x.id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

TEST(LayerSearchEdges, GreedyWalkStopsAtLocalMinimum) {
    // Query 0. Entry 5 leads to 4 (a dead end) and to 10, which alone leads to 0.1.
    auto ix = hand_graph(orv::EUCLIDEAN, {{5.0f}, {4.0f}, {10.0f}, {0.1f}}, {{1, 2}, {}, {3}, {}});
    const float q[1] = {0.0f};
    const std::vector<NodeDist> greedy = ref::beam_of(*ix, q, 0.0f, 0, 1, 0);
    ASSERT_EQ(greedy.size(), 1u);
    EXPECT_EQ(greedy[0].id, 1);
    EXPECT_EQ(greedy[0].dist, 16.0f);
    // ef 3: the candidate at 10 is exactly as far as the beam's furthest record
    // (itself), so it is still expanded and 0.1 is found behind it.
    const std::vector<NodeDist> wide = ref::beam_of(*ix, q, 0.0f, 0, 3, 0);
    EXPECT_EQ(ids_of(wide), (std::vector<int32_t>{0, 1, 3}));
    EXPECT_EQ(wide[0].id, 0);
}

TEST(LayerSearchEdges, ResultIsHeapNotAscending) {
    auto ix = hand_graph(orv::EUCLIDEAN, {{1.0f}, {2.0f}, {3.0f}}, {{1, 2}, {}, {}});
    const float q[1] = {0.0f};
    const std::vector<NodeDist> r = ref::beam_of(*ix, q, 0.0f, 0, 3, 0);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].id, 2);
    EXPECT_EQ(r[0].dist, 9.0f);
    EXPECT_TRUE(std::is_heap(r.begin(), r.end(), ref::further));
}

TEST(LayerSearchEdges, LoneNodeGivesEntryAlone) {
    const float q[2] = {0.3f, -0.2f}, v[2] = {0.1f, 0.1f};
    for (int32_t m : {orv::POINCARE, orv::EUCLIDEAN, orv::COSINE}) {
        HyperbolicIndex one(2, 1.0f, 4, ref::metric_name(m));
        one.add_item_flat(v, 2, 1, 0);
        const float qn = ref::sq_norm(q, 2);
        const std::vector<NodeDist> r = ref::beam_of(one, q, qn, 0, 10, 0);
        ASSERT_EQ(r.size(), 1u) << m;
        EXPECT_EQ(r[0].id, 0);
        EXPECT_EQ(r[0].dist, one.view().distance(q, qn, 0));
        auto ix = hand_graph(m, {{0.1f, 0.1f}, {0.2f, 0.1f}, {0.3f, 0.1f}}, {{}, {0}, {1}});
        const std::vector<NodeDist> dead_end = ref::beam_of(*ix, q, qn, 0, 10, 0);
        ASSERT_EQ(dead_end.size(), 1u) << m;
        EXPECT_EQ(dead_end[0].id, 0);
    }
}

TEST(LayerSearchEdges, EfBelowOneActsAsOne) {
    auto ix = ref::linked_index(orv::EUCLIDEAN, 6, 4, 300, 5, 16);
    const std::vector<float> qs = ref::random_points(20, 6, orv::EUCLIDEAN, 6);
    for (size_t at = 0; at < qs.size(); at += 6) {
        const float qn = ref::sq_norm(qs.data() + at, 6);
        const int32_t ep = ref::entry_of(*ix).id;
        const auto one = ref::beam_of(*ix, qs.data() + at, qn, ep, 1, 0);
        for (int32_t ef : {0, -1, INT_MIN})
            EXPECT_EQ(ref::diff_records(ref::beam_of(*ix, qs.data() + at, qn, ep, ef, 0), one), "")
                << "ef " << ef;
    }
}

TEST(LayerSearchEdges, PoincareSkipsBoundaryNeighboursButNotTheEntry) {
    // 1 lies past the 0.995 boundary and alone leads to 2; 3's stored norm is
    // exactly 0.995.
    const std::vector<std::vector<float>> pts = {
        {0.1f, 0.0f}, {0.9976f, 0.0f}, {0.5f, 0.1f}, {0.2f, 0.05f}};
    const std::vector<std::vector<int32_t>> lists = {{1, 3}, {2}, {}, {}};
    for (int32_t m : {orv::POINCARE, orv::EUCLIDEAN, orv::COSINE}) {
        auto ix = hand_graph(m, pts, lists);
        ix->nodes.norms[3] = 0.995f;
        ASSERT_GE(ix->nodes.norms[1], 0.995f);
        const float q[2] = {0.3f, 0.0f};
        const float qn = ref::sq_norm(q, 2);
        const std::vector<int32_t> want =
            m == orv::POINCARE ? std::vector<int32_t>{0} : std::vector<int32_t>{0, 1, 2, 3};
        EXPECT_EQ(ids_of(ref::beam_of(*ix, q, qn, 0, 10, 0)), want) << m;
        EXPECT_EQ(ids_of(ref::beam_of(*ix, q, qn, 1, 10, 0)), (std::vector<int32_t>{1, 2})) << m;
    }
}

TEST(LayerSearchMarks, VersionWrapsAfter65535CallsAndClears) {
    auto big = ref::linked_index(orv::COSINE, 4, 4, 400, 9, 16);
    const ref::Graph g = ref::copy_of(*big);
    HyperbolicIndex lone(4, 1.0f, 4, "cosine");
    const float q[4] = {0.5f, -0.5f, 0.25f, 0.0f};
    const float qn = ref::sq_norm(q, 4);
    lone.add_item_flat(q, 4, 1, 0);
    std::vector<uint16_t> versions;
    std::vector<std::vector<NodeDist>> results;
    const int32_t ep = ref::entry_of(*big).id;
    std::thread([&] {
        orv::VisitedMarks& marks = orv::thread_scratch().marks;
        versions.push_back(marks.version);
        // Call 1 marks every node it reaches with version 1; calls 2..65535
        // touch node 0 only. Without the clear, call 65536 would see them all
        // as visited again.
        results.push_back(ref::beam_of(*big, q, qn, ep, 400, 0));
        for (int call = 2; call <= 65535; ++call) ref::beam_of(lone, q, qn, 0, 1, 0);
        versions.push_back(marks.version);
        results.push_back(ref::beam_of(*big, q, qn, ep, 400, 0));
        versions.push_back(marks.version);
        results.push_back(ref::beam_of(*big, q, qn, ep, 10, 0));
        versions.push_back(marks.version);
    }).join();
    EXPECT_EQ(versions, (std::vector<uint16_t>{0, 65535, 1, 2}));
    const auto want = ref::search_layer(g, q, qn, ep, 400, 0);
    EXPECT_GT(want.size(), 300u);
    EXPECT_EQ(ref::diff_records(results[0], want), "");
    EXPECT_EQ(ref::diff_records(results[1], want), "");
    EXPECT_EQ(ref::diff_records(results[2], ref::search_layer(g, q, qn, ep, 10, 0)), "");
}

TEST(LayerSearchMarks, MarksKeepTheLargestSize) {
    auto big = crafted_index(orv::EUCLIDEAN, 3, 4, 1000, 31);
    auto small = crafted_index(orv::EUCLIDEAN, 3, 4, 10, 32);
    const ref::Graph g = ref::copy_of(*small);
    const float q[3] = {0.1f, 0.2f, -0.3f};
    const float qn = ref::sq_norm(q, 3);
    std::vector<size_t> sizes;
    std::vector<std::vector<NodeDist>> got;
    std::thread([&] {
        ref::beam_of(*big, q, qn, 0, 50, 0);
        sizes.push_back(orv::thread_scratch().marks.marks.size());
        for (int32_t entry = 0; entry < 10; ++entry)
            got.push_back(ref::beam_of(*small, q, qn, entry, 4, 0));
        sizes.push_back(orv::thread_scratch().marks.marks.size());
    }).join();
    EXPECT_EQ(sizes, (std::vector<size_t>{1000, 1000}));
    for (int32_t entry = 0; entry < 10; ++entry)
        EXPECT_EQ(ref::diff_records(got[size_t(entry)], ref::search_layer(g, q, qn, entry, 4, 0)),
                  "");
}

// Rows scaled to a squared norm.
void scale_to(std::vector<float>& v, float sq) {
    const float f = std::sqrt(sq / ref::sq_norm(v.data(), int32_t(v.size())));
    for (float& x : v) x *= f;
}

// Far from a tight cluster by the boundary, distinct arguments x of arcosh
// round to the same distance. The Poincaré descent compares x first, and must
// still move only to strictly nearer nodes, as the reference's beam of one does.
TEST(GreedyDescent, PoincareEqualDistancesFromDistinctArguments) {
    constexpr int32_t DIM = 10, N = 400;
    std::mt19937 gen(61);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> u(DIM);
    for (float& x : u) x = normal(gen);
    HyperbolicIndex ix(DIM, 1.0f, 4, "poincare");
    orv::seed_levels(ix, 62);
    for (int32_t i = 0; i < N; ++i) {
        std::vector<float> v(u);
        for (float& x : v) x += 2e-4f * normal(gen);
        scale_to(v, 0.99f);
        ix.add_item_and_link(v.data(), DIM, 0, 16);
    }
    const ref::Graph g = ref::copy_of(ix);
    for (int32_t t = 0; t < 300; ++t) {
        std::vector<float> q(DIM);
        for (int32_t j = 0; j < DIM; ++j) q[size_t(j)] = -u[size_t(j)] + 0.3f * normal(gen);
        scale_to(q, 0.999998f);
        const float qn = ref::sq_norm(q.data(), DIM);
        // The descent to layer 1, then a beam of one on layer 0.
        int32_t want = g.ep_id;
        for (int32_t l = g.ep_layer; l >= 0; --l)
            want = ref::search_layer(g, q.data(), qn, want, 1, l)[0].id;
        EXPECT_EQ(ix.custom_hnsw_search(q.data(), DIM, 1, 0, 1, -1.0f, -1.0f),
                  std::vector<int32_t>{want})
            << "query " << t;
    }
}

}  // namespace
