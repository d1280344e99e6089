// libFuzzer harness for HyperbolicIndex::load_index. Each input is an index
// file, loaded into an index of every metric. A failed load must throw
// std::runtime_error and leave the index as it was; a successful one must save
// back to the same bytes and survive searches and one linked insertion.
// Anything else aborts, so libFuzzer records the input.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "orv/hyperbolic_index.hpp"
#include "orv/kernels.hpp"

using orv::HyperbolicIndex;

namespace {

// Searches run only for dimensions up to this many components.
constexpr int32_t MAX_QUERY_DIM = 4096;
const char* const METRICS[] = {"poincare", "euclidean", "cosine"};

std::string g_in_path;
std::string g_out_path;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_load: %s\n", what.c_str());
    std::abort();
}

// Deterministic per input, so that a crash reproduces.
struct SplitMix {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int32_t below(int32_t n) { return int32_t(next() % uint64_t(n)); }
    float unit() { return float(next() >> 40) * 0x1p-24f * 2.0f - 1.0f; }
};

uint64_t fnv1a(const uint8_t* data, size_t size) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
    return h;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        fail("cannot write " + path);
}

std::string saved_bytes(const HyperbolicIndex& ix) {
    ix.save_index(g_out_path);
    return read_file(g_out_path);
}

std::unique_ptr<HyperbolicIndex> one_node_index(const char* metric) {
    auto ix = std::make_unique<HyperbolicIndex>(2, 1.0f, 4, metric);
    const float v[2] = {0.125f, -0.25f};
    ix->add_item_flat(v, 2, 1, 5);
    return ix;
}

struct Query {
    std::vector<float> v;
    int32_t k;
    int32_t ef;
    uint64_t mask;
    float max_radius;
    float min_norm;
};

// Random components inside the unit ball, or a stored vector (possibly not finite).
Query make_query(const HyperbolicIndex& ix, SplitMix& rng) {
    Query q;
    const int32_t dim = ix.view().dimension;
    q.v.resize(size_t(dim));
    const float scale = 0.9f / std::sqrt(float(dim));
    for (float& x : q.v) x = rng.unit() * scale;
    if (ix.size() > 0 && rng.below(4) == 0) {
        const float* row = ix.view().nodes.row(rng.below(ix.size()));
        std::copy(row, row + dim, q.v.begin());
    }
    q.k = rng.below(9);
    q.ef = rng.below(65);
    q.mask = rng.below(2) == 0 ? 0 : rng.next() & rng.next() & 0xFF;
    q.max_radius = rng.below(3) == 0 ? rng.unit() * 4.0f + 2.0f : -1.0f;
    q.min_norm = rng.below(3) == 0 ? rng.unit() * 0.5f + 0.25f : -1.0f;
    return q;
}

void check_ids(const HyperbolicIndex& ix, const std::vector<int32_t>& ids, const Query& q,
               const char* search) {
    const std::string where = std::string(search) + " on " + ix.get_metric() + ": ";
    if (int64_t(ids.size()) > std::max<int64_t>(q.k, 1)) fail(where + "more ids than k");
    std::vector<int32_t> seen(ids);
    std::sort(seen.begin(), seen.end());
    if (std::adjacent_find(seen.begin(), seen.end()) != seen.end()) fail(where + "repeated id");
    for (int32_t id : ids) {
        if (id < 0 || id >= ix.size()) fail(where + "id " + std::to_string(id) + " out of range");
        if ((q.mask & ~ix.view().nodes.masks[size_t(id)]) != 0) fail(where + "id fails the mask");
    }
}

using Results = std::vector<std::vector<int32_t>>;

Results run_searches(const HyperbolicIndex& ix, const Query& q) {
    const float* v = q.v.data();
    const int64_t len = int64_t(q.v.size());
    Results r;
    r.push_back(ix.custom_hnsw_search(v, len, q.k, q.mask, q.ef, q.max_radius, q.min_norm));
    check_ids(ix, r.back(), q, "custom_hnsw_search");
    r.push_back(ix.filtered_search(v, len, q.k, q.mask, q.ef, q.max_radius, q.min_norm));
    check_ids(ix, r.back(), q, "filtered_search");
    const float min_sq = q.min_norm >= 0.0f ? q.min_norm * q.min_norm : -1.0f;
    r.push_back(ix.hardware_flat_search(v, len, q.k, q.mask, q.max_radius, min_sq));
    check_ids(ix, r.back(), q, "hardware_flat_search");
    if (ix.size() > 0) {
        const int32_t id = int32_t(uint32_t(q.k * 7919) % uint32_t(ix.size()));
        (void)ix.compute_distance(v, len, id);
        (void)ix.get_stored_norm(id);
    }
    return r;
}

// The three searches run straight on a searcher of the index's graph, its
// distances measured with the kernel set ks.
Results searcher_results(const HyperbolicIndex& ix, const orv::KernelSet& ks, const Query& q) {
    const orv::MetricView v = ix.view();
    orv::SearchScratch& s = orv::thread_scratch();
    orv::GraphSearcher gs({v.nodes, &ks, v.dimension, v.metric_type}, ix.searcher(s).entry(), s);
    const float* p = q.v.data();
    const float min_sq = q.min_norm >= 0.0f ? q.min_norm * q.min_norm : -1.0f;
    return {gs.hnsw_query(p, q.k, q.mask, q.ef, q.max_radius, q.min_norm),
            gs.filtered_query(p, q.k, q.mask, q.ef, q.max_radius, q.min_norm),
            gs.flat_query(p, q.k, q.mask, q.max_radius, min_sq)};
}

// Every kernel set must give the same decisions, hence the same ids.
Results searches_on_every_kernel(const HyperbolicIndex& ix, const Query& q) {
    const Results best = run_searches(ix, q);
    if (searcher_results(ix, orv::generic_kernels(), q) != best)
        fail("searches differ between kernel sets on " + ix.get_metric());
    return best;
}

void check_stats(const HyperbolicIndex& ix) {
    const orv::IndexStats st = ix.get_stats();
    const orv::EntryPoint ep = ix.searcher(orv::thread_scratch()).entry();
    if (st.num_nodes != ix.size() || st.dimension != ix.view().dimension || st.ep_id != ep.id ||
        st.max_m_0 != 2 * st.max_m)
        fail("stats disagree with the index");
    if (int64_t(st.layer_distribution.size()) != int64_t(ep.layer) + 2)
        fail("layer distribution has the wrong length");
    if (!(st.avg_degree_layer0 >= 0.0 && st.avg_degree_layer0 <= 2.0 * st.max_m))
        fail("average layer-0 degree out of range");
}

// What the index saves must load back, into a fresh index, to the same bytes.
void check_reload(const HyperbolicIndex& ix, const char* metric) {
    const std::string bytes = saved_bytes(ix);
    HyperbolicIndex fresh(1, 1.0f, 2, metric);
    try {
        fresh.load_index(g_out_path);
    } catch (const std::runtime_error& e) {
        fail(std::string("a saved index does not load: ") + e.what());
    }
    if (saved_bytes(fresh) != bytes) fail("a saved index does not reload byte for byte");
}

void add_and_search(HyperbolicIndex& ix, const char* metric, SplitMix& rng) {
    const int32_t dim = ix.view().dimension;
    std::vector<float> v(static_cast<size_t>(dim));
    for (float& x : v) x = rng.unit() * 0.9f / std::sqrt(float(dim));
    const int32_t n = ix.size();
    // The link memo starts empty after a load; half the runs force it on (where
    // it is sound) so that loaded lists, duplicates and all, go through it.
    ix.use_link_memo(rng.below(2) == 0);
    for (int rep = 0; rep < 2; ++rep) {
        ix.add_item_and_link(v.data(), int64_t(v.size()), rng.next(), 1 + rng.below(32));
        v[0] = -v[0];
    }
    if (ix.size() != n + 2) fail("add_item_and_link did not add one node each time");
    check_stats(ix);
    searches_on_every_kernel(ix, make_query(ix, rng));
    check_reload(ix, metric);
}

void exercise(HyperbolicIndex& ix, const char* metric, const std::string& input, SplitMix& rng) {
    check_stats(ix);
    if (saved_bytes(ix) != input) fail("a loaded file does not save back byte for byte");
    if (ix.view().dimension > MAX_QUERY_DIM) return;
    searches_on_every_kernel(ix, make_query(ix, rng));
    add_and_search(ix, metric, rng);
    // Loading over an index that holds nodes replaces all of them.
    ix.load_index(g_in_path);
    if (saved_bytes(ix) != input) fail("a reload over a changed index does not round-trip");
}

uint32_t bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// Everything a load replaces, compared: the saved bytes hold the header, the
// rows, masks, levels and links; the rest comes from the view, the stats and
// the builder.
bool same_state(const HyperbolicIndex& a, const HyperbolicIndex& b) {
    const orv::MetricView x = a.view(), y = b.view();
    return saved_bytes(a) == saved_bytes(b) && a.get_stats().max_m_0 == b.get_stats().max_m_0 &&
           bits(a.graph_builder().level_mult) == bits(b.graph_builder().level_mult) &&
           x.metric_type == y.metric_type && x.nodes.dim() == y.nodes.dim() &&
           x.nodes.max_list() == y.nodes.max_list();
}

void fuzz_input(const std::string& input, uint64_t seed) {
    for (const char* metric : METRICS) {
        std::unique_ptr<HyperbolicIndex> ix = one_node_index(metric);
        ix->graph_builder().rng.seed(uint32_t(seed));
        try {
            ix->load_index(g_in_path);
        } catch (const std::runtime_error&) {
            if (metric != METRICS[0]) fail(std::string("the load fails only on ") + metric);
            if (!same_state(*ix, *one_node_index(metric))) fail("a failed load changed the index");
            // The loader reads no metric, so the others would fail the same way.
            return;
        }
        SplitMix rng{seed};
        exercise(*ix, metric, input, rng);
    }
}

}  // namespace

extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    const std::string stem = dir + "/orv_fuzz_" + std::to_string(getpid());
    g_in_path = stem + ".in";
    g_out_path = stem + ".out";
    std::atexit([] {
        unlink(g_in_path.c_str());
        unlink(g_out_path.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_file(g_in_path, data, size);
    const std::string input(reinterpret_cast<const char*>(data), size);
    fuzz_input(input, fnv1a(data, size));
    return 0;
}
