// Slow reference model of the graph internals, written plainly from their rules:
// one distance at a time, plain heaps and a plain visited set, no batching and
// no early exits. The tests compare the index against it bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tuple>

#include "orv/batch.hpp"
#include "orv/hyperbolic_index.hpp"

namespace ref {

using orv::NodeDist;

// Max-heap and min-heap orders on dist alone, spelled out rather than taken
// from NodeDist so that the reference does not lean on the code under test.
inline bool further(const NodeDist& a, const NodeDist& b) { return a.dist < b.dist; }
inline bool nearer(const NodeDist& a, const NodeDist& b) { return a.dist > b.dist; }

// Pushes r onto a max-heap, then drops its largest record while it holds more than cap.
inline void push_capped(std::vector<NodeDist>& heap, NodeDist r, int64_t cap) {
    heap.push_back(r);
    std::push_heap(heap.begin(), heap.end(), further);
    if (int64_t(heap.size()) > cap) {
        std::pop_heap(heap.begin(), heap.end(), further);
        heap.pop_back();
    }
}

inline float sq_norm(const float* x, int n) {
    float s = 0.0f;
    for (int i = 0; i < n; ++i) s = std::fma(x[i], x[i], s);
    return s;
}

inline float sq_l2(const float* q, const float* v, int n) {
    float s = 0.0f;
    for (int i = 0; i < n; ++i) {
        const float d = q[i] - v[i];
        s = std::fma(d, d, s);
    }
    return s;
}

inline float dot(const float* q, const float* v, int n) {
    float s = 0.0f;
    for (int i = 0; i < n; ++i) s = std::fma(q[i], v[i], s);
    return s;
}

// 1 - x, or the smallest factor when x lies on or outside the unit sphere.
inline float ball_factor(float x) { return x > 0.999999f ? 1.0132789611816406e-06f : 1.0f - x; }

// The argument of arcosh.
inline float poincare_x(const float* q, float qn, const float* v, float vn, int n) {
    const float s = sq_l2(q, v, n);
    const float num = s + s;
    float den = ball_factor(qn) * ball_factor(vn);
    if (den < 1e-6f) den = 1e-6f;
    return num / den + 1.0f;
}

inline float poincare(const float* q, float qn, const float* v, float vn, int n) {
    const float x = poincare_x(q, qn, v, vn, n);
    if (x < 1.000001f) return std::log(1.000001f + std::sqrt(1.9073486328125e-06f));
    return std::log(x + std::sqrt(std::fma(x, x, -1.0f)));
}

inline float cosine(const float* q, float qn, const float* v, float vn, int n) {
    const float d = dot(q, v, n);
    const float p = std::sqrt(qn) * std::sqrt(vn);
    if (p < 1e-8f) return 1.0f;
    return 1.0f - d / p;
}

// Distance from a query with squared norm qn to a vector whose stored squared
// norm is stored_vn (negative: recompute it from the vector).
inline float distance(int32_t metric, const float* q, float qn, const float* v, float stored_vn,
                      int n) {
    if (metric == orv::EUCLIDEAN) return sq_l2(q, v, n);
    const float vn = stored_vn < 0.0f ? sq_norm(v, n) : stored_vn;
    if (metric == orv::COSINE) return cosine(q, qn, v, vn, n);
    return poincare(q, qn, v, vn, n);
}

struct Graph {
    int32_t dim = 0;
    int32_t metric = orv::POINCARE;
    int32_t max_m = 0;
    int32_t max_m_0 = 0;
    int32_t ep_id = -1;
    int32_t ep_layer = -1;
    float level_mult = 0.0f;
    std::vector<std::vector<float>> vectors;
    std::vector<float> norms;
    std::vector<int32_t> levels;
    std::vector<std::vector<std::vector<int32_t>>> links;
    std::mt19937 rng;

    int32_t size() const { return int32_t(vectors.size()); }
    float dist_to_node(const float* q, float qn, int32_t id) const {
        return distance(metric, q, qn, vectors[size_t(id)].data(), norms[size_t(id)], dim);
    }
};

inline Graph empty_graph(int32_t dim, int32_t metric, int32_t m, uint32_t seed) {
    Graph g;
    g.dim = dim;
    g.metric = metric;
    g.max_m = m;
    g.max_m_0 = 2 * m;
    g.level_mult = float(1.0 / std::log(double(m)));
    g.rng.seed(seed);
    return g;
}

// An index's parts held in the open and wired as the index wires them, for
// tests that reach the builder, the searcher and the stored rows directly.
struct Parts {
    Parts(int32_t dim, int32_t m, int32_t metric, const orv::KernelSet& ks = orv::best_kernels())
        : dimension(dim), max_m(m), max_m_0(orv::layer0_cap(m)), metric_type(metric), kernels(&ks),
          builder(m) {
        nodes.reset(dim, max_m_0);
        nodes.prepare_derived(metric == orv::COSINE);
    }
    int32_t dimension;
    int32_t max_m;
    int32_t max_m_0;
    int32_t metric_type;
    const orv::KernelSet* kernels;
    int32_t ep_id = -1;
    int32_t ep_layer = -1;
    orv::NodeStore nodes;
    orv::GraphBuilder builder;

    int32_t size() const { return nodes.count(); }
    orv::MetricView view() const { return {nodes, kernels, dimension, metric_type}; }
    orv::GraphSearcher searcher(orv::SearchScratch& s = orv::thread_scratch()) const {
        return {view(), {ep_id, ep_layer}, s};
    }
    orv::BuildTarget target() { return {nodes, ep_id, ep_layer, max_m, max_m_0, view()}; }
    void add_flat(const float* v, uint64_t mask = 0) { builder.insert_flat(target(), v, mask); }
    void add_linked(const float* v, uint64_t mask, int32_t ef) {
        builder.insert_linked(target(), v, mask, ef);
    }
};

// The layer search's beam (a max-heap) from the node entry.
inline std::vector<NodeDist> beam_from(orv::GraphSearcher gs, const float* q, float qn,
                                       int32_t entry, int32_t ef, int32_t layer) {
    gs.search_layer(q, qn, {gs.view().distance(q, qn, entry), entry}, ef, layer);
    return gs.scratch().beam;
}

// The same for an index or its parts, on this thread's scratch.
template <class Index>
std::vector<NodeDist> beam_of(const Index& ix, const float* q, float qn, int32_t entry, int32_t ef,
                              int32_t layer) {
    return beam_from(ix.searcher(orv::thread_scratch()), q, qn, entry, ef, layer);
}

template <class Index>
orv::EntryPoint entry_of(const Index& ix) {
    return ix.searcher(orv::thread_scratch()).entry();
}

// The whole state of a graph, read through its view.
inline Graph copy_of(const orv::MetricView& v, orv::EntryPoint ep, int32_t max_m,
                     float level_mult) {
    Graph g;
    g.dim = v.dimension;
    g.metric = v.metric_type;
    g.max_m = max_m;
    g.max_m_0 = orv::layer0_cap(max_m);
    g.ep_id = ep.id;
    g.ep_layer = ep.layer;
    g.level_mult = level_mult;
    const orv::NodeStore& nodes = v.nodes;
    for (int32_t i = 0; i < nodes.count(); ++i) {
        const float* row = nodes.row(i);
        g.vectors.emplace_back(row, row + v.dimension);
        g.norms.push_back(nodes.norms[size_t(i)]);
        const int32_t level = nodes.levels[size_t(i)];
        g.levels.push_back(level);
        g.links.emplace_back();
        for (int32_t l = 0; l <= level; ++l) {
            const orv::LinkSpan s = nodes.links(i, l);
            g.links.back().emplace_back(s.ids, s.ids + s.count);
        }
    }
    return g;
}

inline Graph copy_of(const orv::HyperbolicIndex& ix) {
    const int32_t m = ix.get_stats().max_m;
    return copy_of(ix.view(), ix.searcher(orv::thread_scratch()).entry(), m,
                   ix.graph_builder().level_mult);
}

inline Graph copy_of(const Parts& p) {
    return copy_of(p.view(), {p.ep_id, p.ep_layer}, p.max_m, p.builder.level_mult);
}

inline std::vector<NodeDist> search_layer(const Graph& g, const float* q, float qn, int32_t entry,
                                          int32_t ef, int32_t layer) {
    if (ef < 1) ef = 1;
    std::vector<bool> visited(size_t(g.size()), false);
    std::vector<NodeDist> cand, beam;
    const float d0 = g.dist_to_node(q, qn, entry);
    cand.push_back({d0, entry});
    visited[size_t(entry)] = true;
    beam.push_back({d0, entry});
    while (!cand.empty()) {
        std::pop_heap(cand.begin(), cand.end(), nearer);
        const NodeDist c = cand.back();
        cand.pop_back();
        if (int64_t(beam.size()) >= ef && c.dist > beam.front().dist) break;
        for (int32_t nb : g.links[size_t(c.id)][size_t(layer)]) {
            if (visited[size_t(nb)]) continue;
            visited[size_t(nb)] = true;
            const bool poincare_metric = g.metric != orv::EUCLIDEAN && g.metric != orv::COSINE;
            if (poincare_metric && g.norms[size_t(nb)] >= 0.995f) continue;
            const float d = g.dist_to_node(q, qn, nb);
            if (int64_t(beam.size()) < ef || d < beam.front().dist) {
                cand.push_back({d, nb});
                std::push_heap(cand.begin(), cand.end(), nearer);
                push_capped(beam, {d, nb}, ef);
            }
        }
    }
    return beam;
}

// True when a node already selected lies strictly nearer to c than the base.
inline bool pruned(const Graph& g, const NodeDist& c, const std::vector<int32_t>& selected) {
    const float* cv = g.vectors[size_t(c.id)].data();
    const float cn = g.norms[size_t(c.id)];
    for (int32_t s : selected)
        if (c.dist > g.dist_to_node(cv, cn, s)) return true;
    return false;
}

// Not for NaN distances: the plain sort needs a strict weak order.
inline std::vector<int32_t> select_neighbours(const Graph& g, std::vector<NodeDist>& heap,
                                              int32_t cap) {
    std::vector<NodeDist> work;
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), further);
        work.push_back(heap.back());
        heap.pop_back();
    }
    std::sort(work.begin(), work.end(), further);
    std::vector<int32_t> result;
    result.reserve(size_t(cap));
    std::vector<NodeDist> passed_over;
    for (const NodeDist& c : work) {
        if (int64_t(result.size()) >= cap) break;
        if (!result.empty() && pruned(g, c, result)) {
            passed_over.push_back(c);
            continue;
        }
        result.push_back(c.id);
    }
    for (const NodeDist& c : passed_over) {
        if (int64_t(result.size()) >= cap) break;
        result.push_back(c.id);
    }
    return result;
}

inline int32_t draw_level(Graph& g) {
    const double y1 = double(g.rng());
    const double y2 = double(g.rng());
    double u = (y1 + y2 * 4294967296.0) / 18446744073709551616.0;
    if (u >= 1.0) u = 0.9999999999999999;
    const double r = std::max(u, 1e-10);
    return int32_t(-(std::log(r) * double(g.level_mult)));
}

// Adds new_id to n's list on layer lc and cuts the list back to cap if needed.
inline void link_back(Graph& g, int32_t n, int32_t new_id, int32_t lc, int32_t cap) {
    std::vector<int32_t>& list = g.links[size_t(n)][size_t(lc)];
    list.push_back(new_id);
    if (int64_t(list.size()) <= cap) return;
    const float* nv = g.vectors[size_t(n)].data();
    const float nn = g.norms[size_t(n)];
    std::vector<NodeDist> heap;
    for (int32_t m : list) {
        heap.push_back({g.dist_to_node(nv, nn, m), m});
        std::push_heap(heap.begin(), heap.end(), further);
    }
    list = select_neighbours(g, heap, cap);
}

// A node without links that never becomes the entry point.
inline void add_item_flat(Graph& g, const float* data) {
    g.vectors.emplace_back(data, data + g.dim);
    g.norms.push_back(sq_norm(g.vectors.back().data(), g.dim));
    g.levels.push_back(0);
    g.links.emplace_back(1);
}

inline void add_item_and_link(Graph& g, const float* data, int32_t ef) {
    const int32_t new_id = g.size();
    g.vectors.emplace_back(data, data + g.dim);
    const float sq = sq_norm(g.vectors.back().data(), g.dim);
    g.norms.push_back(sq);
    const int32_t level = draw_level(g);
    g.levels.push_back(level);
    g.links.emplace_back(size_t(level) + 1);
    if (new_id == 0) {
        g.ep_id = 0;
        g.ep_layer = level;
        return;
    }
    int32_t cur = g.ep_id;
    for (int32_t l = g.ep_layer; l > level; --l) {
        const std::vector<NodeDist> r = search_layer(g, data, sq, cur, 1, l);
        if (!r.empty()) cur = r[0].id;
    }
    for (int32_t lc = std::min(level, g.ep_layer); lc >= 0; --lc) {
        const int32_t cap = lc != 0 ? g.max_m : g.max_m_0;
        std::vector<NodeDist> w = search_layer(g, data, sq, cur, ef, lc);
        const std::vector<int32_t> sel = select_neighbours(g, w, cap);
        g.links[size_t(new_id)][size_t(lc)] = sel;
        for (int32_t n : sel) link_back(g, n, new_id, lc, cap);
        if (!sel.empty()) cur = sel[0];
    }
    if (level > g.ep_layer) {
        g.ep_id = new_id;
        g.ep_layer = level;
    }
}

// Test inputs and comparisons shared by the test files.

inline const char* metric_name(int32_t metric) {
    return metric == orv::EUCLIDEAN ? "euclidean" : metric == orv::COSINE ? "cosine" : "poincare";
}

// Equal bit patterns, or both NaN (the payload of a NaN is not fixed).
inline bool same_float(float a, float b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    uint32_t x, y;
    std::memcpy(&x, &a, 4);
    std::memcpy(&y, &b, 4);
    return x == y;
}

// Empty when the arrays are equal record for record, else the first difference.
// The records of a max-heap in ascending order, as popping it leaves them.
inline std::vector<NodeDist> ascending(std::vector<NodeDist> heap) {
    std::vector<NodeDist> ord;
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), ref::further);
        ord.push_back(heap.back());
        heap.pop_back();
    }
    std::reverse(ord.begin(), ord.end());
    return ord;
}

inline std::string diff_records(const std::vector<NodeDist>& got,
                                const std::vector<NodeDist>& want) {
    if (got.size() != want.size())
        return "size " + std::to_string(got.size()) + " != " + std::to_string(want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].id != want[i].id || !same_float(got[i].dist, want[i].dist))
            return "record " + std::to_string(i) + ": (" + std::to_string(got[i].dist) + ", " +
                   std::to_string(got[i].id) + ") != (" + std::to_string(want[i].dist) + ", " +
                   std::to_string(want[i].id) + ")";
    }
    return "";
}

// Empty when the graphs hold the same nodes, lists and entry point.
inline std::string diff_graphs(const Graph& got, const Graph& want) {
    if (got.ep_id != want.ep_id || got.ep_layer != want.ep_layer)
        return "entry point " + std::to_string(got.ep_id) + "@" + std::to_string(got.ep_layer) +
               " != " + std::to_string(want.ep_id) + "@" + std::to_string(want.ep_layer);
    if (got.size() != want.size()) return "node count differs";
    for (size_t i = 0; i < size_t(got.size()); ++i) {
        const std::string node = "node " + std::to_string(i);
        if (got.vectors[i] != want.vectors[i]) return node + ": vector differs";
        if (!same_float(got.norms[i], want.norms[i])) return node + ": norm differs";
        if (got.levels[i] != want.levels[i]) return node + ": level differs";
        for (size_t l = 0; l < got.links[i].size(); ++l)
            if (got.links[i][l] != want.links[i][l])
                return node + ": list on layer " + std::to_string(l) + " differs";
    }
    return "";
}

// Points suited to a metric: inside the unit ball for the Poincare metric,
// with some near or past the boundary; Gaussian otherwise, with some zero and
// repeated vectors so that equal distances occur.
inline std::vector<float> random_points(int32_t n, int32_t dim, int32_t metric, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> out(size_t(n) * size_t(dim));
    for (int32_t i = 0; i < n; ++i) {
        float* v = out.data() + size_t(i) * size_t(dim);
        for (int32_t j = 0; j < dim; ++j) v[j] = normal(gen);
        if (metric == orv::EUCLIDEAN || metric == orv::COSINE) {
            if (i % 17 == 5) std::fill(v, v + dim, 0.0f);
            if (i % 13 == 7) std::copy(v - dim, v, v);
            continue;
        }
        const float u = unit(gen);
        const float r2 = u < 0.85f   ? 0.95f * unit(gen)
                         : u < 0.95f ? 0.95f + 0.045f * unit(gen)
                                     : 0.995f + 0.06f * unit(gen);
        const float scale = std::sqrt(r2 / std::max(sq_norm(v, dim), 1e-30f));
        for (int32_t j = 0; j < dim; ++j) v[j] *= scale;
    }
    return out;
}

// An index grown by linked insertion from random_points, its levels drawn
// from the given seed.
inline std::unique_ptr<orv::HyperbolicIndex>
linked_index(int32_t metric, int32_t dim, int32_t m, int32_t n, uint32_t seed,
             int32_t ef_construction, const orv::KernelSet& ks = orv::best_kernels()) {
    auto ix = std::make_unique<orv::HyperbolicIndex>(dim, 1.0f, m, metric_name(metric), ks);
    orv::seed_levels(*ix, seed);
    const std::vector<float> pts = random_points(n, dim, metric, seed);
    for (int32_t i = 0; i < n; ++i)
        ix->add_item_and_link(pts.data() + size_t(i) * size_t(dim), dim, 0, ef_construction);
    return ix;
}

// nullptr when this CPU lacks the set.
inline const orv::KernelSet* kernel_set(const std::string& name) {
    return name == "avx2" ? orv::avx2_kernels() : &orv::generic_kernels();
}

// Every metric with every kernel set, and a test name for each pair.
inline auto all_metrics_and_sets() {
    return ::testing::Combine(::testing::Values(orv::POINCARE, orv::EUCLIDEAN, orv::COSINE),
                              ::testing::Values("generic", "avx2"));
}

inline std::string
metric_and_set_name(const ::testing::TestParamInfo<std::tuple<int32_t, std::string>>& p) {
    return std::string(metric_name(std::get<0>(p.param))) + "_" + std::get<1>(p.param);
}

// Parameterised by (metric, kernel set name); skips when the CPU lacks the set.
class MetricKernelTest : public ::testing::TestWithParam<std::tuple<int32_t, std::string>> {
  protected:
    void SetUp() override {
        metric = std::get<0>(GetParam());
        ks = kernel_set(std::get<1>(GetParam()));
        if (ks == nullptr) GTEST_SKIP() << "this CPU has no AVX2 and FMA";
    }
    int32_t metric = 0;
    const orv::KernelSet* ks = nullptr;
};

}  // namespace ref
