// filtered_search against a plain model of its traversal: one exact distance
// at a time, a plain visited set, the same heaps and the gap cut-off.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <utility>
#include <vector>

#include "reference.hpp"

namespace {

using ref::Graph;
using ref::NodeDist;

struct Limits {
    uint64_t mask;
    float radius;
    float min_norm;
};

bool passes(const Graph& g, const std::vector<uint64_t>& masks, const Limits& lim, int32_t n,
            float d) {
    if ((lim.mask & ~masks[size_t(n)]) != 0) return false;
    if (lim.min_norm >= 0.0f && !(g.norms[size_t(n)] >= lim.min_norm)) return false;
    return !(lim.radius >= 0.0f && !(lim.radius >= d));
}

std::vector<int32_t> gap_cut(std::vector<NodeDist> result) {
    const std::vector<NodeDist> ord = ref::ascending(std::move(result));
    std::vector<int32_t> out;
    for (size_t j = 0; j < ord.size(); ++j) {
        if (j > 0 && ((ord[j - 1].dist > 0.01f && ord[j].dist - ord[j - 1].dist > 0.6f) ||
                      ord[j].dist > 2.0f))
            break;
        out.push_back(ord[j].id);
    }
    return out;
}

int32_t descend(const Graph& g, const float* q, float qn) {
    int32_t cur = g.ep_id;
    for (int32_t layer = g.ep_layer; layer >= 1; --layer)
        cur = ref::search_layer(g, q, qn, cur, 1, layer)[0].id;
    return cur;
}

// custom_hnsw_search without limits: the layer-0 beam in ascending order, k
// ids at most (one when k is 0).
std::vector<int32_t> plain_reference(const Graph& g, const float* q, int32_t k, int32_t ef) {
    const float qn = ref::sq_norm(q, g.dim);
    const std::vector<NodeDist> ord =
        ref::ascending(ref::search_layer(g, q, qn, descend(g, q, qn), k >= ef ? k : ef, 0));
    std::vector<int32_t> out;
    for (const NodeDist& r : ord) {
        out.push_back(r.id);
        if (int32_t(out.size()) >= std::max(k, 1)) break;
    }
    return out;
}

std::vector<int32_t> filtered_reference(const Graph& g, const std::vector<uint64_t>& masks,
                                        const float* q, int32_t k, int32_t ef, const Limits& lim) {
    const float qn = ref::sq_norm(q, g.dim);
    const int32_t cur = descend(g, q, qn);
    const int32_t maxef = std::max(k >= ef ? k : ef, 1);
    std::vector<bool> visited(size_t(g.size()), false);
    std::vector<NodeDist> cand, beam, result;
    const float d0 = g.dist_to_node(q, qn, cur);
    cand.push_back({d0, cur});
    beam.push_back({d0, cur});
    visited[size_t(cur)] = true;
    if (passes(g, masks, lim, cur, d0)) result.push_back({d0, cur});
    while (!cand.empty()) {
        std::pop_heap(cand.begin(), cand.end(), ref::nearer);
        const NodeDist c = cand.back();
        cand.pop_back();
        if (c.dist > beam.front().dist && int64_t(result.size()) >= k) break;
        for (int32_t n : g.links[size_t(c.id)][0]) {
            if (visited[size_t(n)]) continue;
            visited[size_t(n)] = true;
            if (g.metric == orv::POINCARE && g.norms[size_t(n)] >= 0.995f) continue;
            const float d = g.dist_to_node(q, qn, n);
            if (int32_t(beam.size()) < maxef || d < beam.front().dist) {
                cand.push_back({d, n});
                std::push_heap(cand.begin(), cand.end(), ref::nearer);
                ref::push_capped(beam, {d, n}, maxef);
            }
            if (passes(g, masks, lim, n, d)) ref::push_capped(result, {d, n}, k);
        }
    }
    return gap_cut(result);
}

// Tight clusters far apart: links between clusters give sums that pass the
// bound half-way, so the bounded Euclidean kernel stops early.
std::vector<float> clustered_points(int32_t n, int32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::vector<float> centres(size_t(8 * dim)), out(size_t(n) * size_t(dim));
    for (float& c : centres) c = 0.1f * gauss(rng);
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < dim; ++j)
            out[size_t(i * dim + j)] = centres[size_t((i % 8) * dim + j)] + 0.02f * gauss(rng);
    return out;
}

class FilteredSearchTest : public ref::MetricKernelTest {};

TEST_P(FilteredSearchTest, MatchesPlainTraversal) {
    const int32_t dim = 64, n = 480, nq = 48;
    orv::HyperbolicIndex ix(dim, 1.0f, 6, ref::metric_name(metric), *ks);
    orv::seed_levels(ix, 17);
    const std::vector<float> pts = clustered_points(n + nq, dim, 23);
    std::mt19937 rng(29);
    for (int32_t i = 0; i < n; ++i)
        ix.add_item_and_link(pts.data() + size_t(i) * size_t(dim), dim, rng() & 7u, 40);
    const Graph g = ref::copy_of(ix);
    const orv::NodeStore& nodes = ix.view().nodes;
    const std::vector<uint64_t> masks(nodes.masks.begin(), nodes.masks.end());
    const Limits limits[] = {{0, -1.0f, -1.0f}, {1, -1.0f, -1.0f}, {6, -1.0f, -1.0f},
                             {0, 0.2f, -1.0f},  {1, 0.15f, -1.0f}, {0, -1.0f, 0.6f}};
    int compared = 0;
    for (int32_t qi = n; qi < n + nq; ++qi) {
        const float* q = pts.data() + size_t(qi) * size_t(dim);
        for (const Limits& lim : limits)
            for (int32_t k : {0, 1, 10})
                for (int32_t ef : {1, 12, 48}) {
                    const auto got =
                        ix.filtered_search(q, dim, k, lim.mask, ef, lim.radius, lim.min_norm);
                    const auto want = filtered_reference(g, masks, q, k, ef, lim);
                    ASSERT_EQ(got, want) << "query " << qi << " k " << k << " ef " << ef << " mask "
                                         << lim.mask << " radius " << lim.radius;
                    compared += int(got.size());
                }
    }
    EXPECT_GT(compared, 3000);
}

// Empty when filtered_search with a mask of 0 and no radius or norm limit
// matches the filtered traversal, over an index of rows[i / copies] (rows
// named in huge replaced by +-3e38) and queries scaled by q_scale.
std::string compare_pass_all(int32_t metric, const orv::KernelSet& ks, int32_t copies, bool huge,
                             float q_scale, bool plain = false, int32_t dim = 16) {
    const int32_t n = 300, nq = 30;
    orv::HyperbolicIndex ix(dim, 1.0f, 6, ref::metric_name(metric), ks);
    orv::seed_levels(ix, 31);
    const std::vector<float> pts = clustered_points(n + nq, dim, 37);
    for (int32_t i = 0; i < n; ++i) {
        std::vector<float> v(pts.begin() + (i / copies) * dim,
                             pts.begin() + (i / copies + 1) * dim);
        if (huge && i % 50 == 7)
            for (int32_t j = 0; j < dim; ++j) v[size_t(j)] = j % 2 ? -3e38f : 3e38f;
        ix.add_item_and_link(v.data(), dim, 0, 24);
    }
    const Graph g = ref::copy_of(ix);
    const orv::NodeStore& nodes = ix.view().nodes;
    const std::vector<uint64_t> masks(nodes.masks.begin(), nodes.masks.end());
    for (int32_t qi = 0; qi < nq; ++qi) {
        std::vector<float> q(pts.begin() + (n + qi) * dim, pts.begin() + (n + qi + 1) * dim);
        for (float& x : q) x *= q_scale;
        for (int32_t k : {plain ? 0 : 1, 3, 10})
            for (int32_t ef : {1, 12, 48}) {
                const auto got = plain
                                     ? ix.custom_hnsw_search(q.data(), dim, k, 0, ef, -1.0f, -1.0f)
                                     : ix.filtered_search(q.data(), dim, k, 0, ef, -1.0f, -1.0f);
                const auto want =
                    plain ? plain_reference(g, q.data(), k, ef)
                          : filtered_reference(g, masks, q.data(), k, ef, {0, -1.0f, -1.0f});
                if (got != want)
                    return "query " + std::to_string(qi) + " k " + std::to_string(k) + " ef " +
                           std::to_string(ef);
            }
    }
    return "";
}

// Such a search takes the plain beam where that gives the same answer. Rows
// stored twice make equal distances common; rows of +-3e38 against queries of
// components near 2 make cosine products overflow into NaN distances.
TEST_P(FilteredSearchTest, PassAllMatchesWithTiesAndNaN) {
    EXPECT_EQ(compare_pass_all(metric, *ks, 2, false, 1.0f), "") << "ties";
    EXPECT_EQ(compare_pass_all(metric, *ks, 1, true, 20.0f), "") << "NaN";
}

// The descent's greedy walk and the layer-0 beam of custom_hnsw_search, on the
// same ties and NaN distances.
// At 72 components the layer search also measures nodes ahead of need.
TEST_P(FilteredSearchTest, PlainSearchMatchesWithTiesAndNaN) {
    for (int32_t dim : {16, 72}) {
        EXPECT_EQ(compare_pass_all(metric, *ks, 2, false, 1.0f, true, dim), "") << "ties " << dim;
        EXPECT_EQ(compare_pass_all(metric, *ks, 1, true, 20.0f, true, dim), "") << "NaN " << dim;
        EXPECT_EQ(compare_pass_all(metric, *ks, 1, false, 1.0f, true, dim), "") << "plain " << dim;
    }
    EXPECT_EQ(compare_pass_all(metric, *ks, 2, false, 1.0f, false, 72), "") << "pass-all ties";
}

// A stored row holding NaN (or inf, met by an inf in the query) past the first
// checkpoint sums to NaN; a Euclidean sum stopped early there would hide it
// from the flat scan's heap. Every search must give what sums run to the end
// give (the generic set never stops a sum).
TEST(EuclideanNonFinite, SearchesMatchSumsRunToTheEnd) {
    const orv::KernelSet* avx2 = ref::kernel_set("avx2");
    if (avx2 == nullptr) GTEST_SKIP() << "this CPU has no AVX2 and FMA";
    const int32_t dim = 48, n = 700;
    const std::vector<float> pts = clustered_points(n + 8, dim, 43);
    orv::HyperbolicIndex fast(dim, 1.0f, 6, "euclidean", *avx2);
    orv::HyperbolicIndex full(dim, 1.0f, 6, "euclidean", orv::generic_kernels());
    orv::seed_levels(fast, 47);
    orv::seed_levels(full, 47);
    for (int32_t i = 0; i < n; ++i) {
        std::vector<float> v(pts.begin() + i * dim, pts.begin() + (i + 1) * dim);
        // Far rows after the scan's first chunk, whose sums pass its bound early.
        if (i >= 300 && i % 25 == 0) {
            for (float& x : v) x += 5.0f;
            v[40] = i % 50 == 0 ? NAN : INFINITY;
            fast.add_item_flat(v.data(), dim, 1, 0);
            full.add_item_flat(v.data(), dim, 1, 0);
            continue;
        }
        fast.add_item_and_link(v.data(), dim, 0, 24);
        full.add_item_and_link(v.data(), dim, 0, 24);
    }
    // The same rows brought in by a file.
    const std::string path =
        (std::filesystem::temp_directory_path() / "orv_non_finite_test.idx").string();
    fast.save_index(path);
    orv::HyperbolicIndex loaded(dim, 1.0f, 6, "euclidean", *avx2);
    loaded.load_index(path);
    std::filesystem::remove(path);
    for (int32_t qi = 0; qi < 8; ++qi) {
        std::vector<float> q(pts.begin() + (n + qi) * dim, pts.begin() + (n + qi + 1) * dim);
        if (qi % 2 == 1) q[40] = INFINITY;
        for (int32_t k : {1, 10}) {
            const auto want = full.hardware_flat_search(q.data(), dim, k, 0, -1.0f, -1.0f);
            EXPECT_EQ(fast.hardware_flat_search(q.data(), dim, k, 0, -1.0f, -1.0f), want)
                << "query " << qi << " k " << k;
            EXPECT_EQ(loaded.hardware_flat_search(q.data(), dim, k, 0, -1.0f, -1.0f), want)
                << "loaded, query " << qi << " k " << k;
        }
        EXPECT_EQ(fast.filtered_search(q.data(), dim, 10, 0, 20, -1.0f, -1.0f),
                  full.filtered_search(q.data(), dim, 10, 0, 20, -1.0f, -1.0f))
            << "query " << qi;
    }
}

INSTANTIATE_TEST_SUITE_P(MetricsAndSets, FilteredSearchTest, ref::all_metrics_and_sets(),
                         ref::metric_and_set_name);

}  // namespace
