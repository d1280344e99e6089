// The searcher's beam search on one layer of the graph, its sorted beam, and the
// greedy descent.
#include <algorithm>
#include <cmath>
#include <climits>
#include <functional>

#include "orv/expand.hpp"
#include "orv/graph_searcher.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orv {

SearchScratch& thread_scratch() {
    thread_local SearchScratch s;
    return s;
}

void KnownDistances::load(const std::vector<MeasuredRecord>& records, size_t n) {
    if (dist.size() < n) {
        dist.resize(n);
        bound.resize(n);
    }
    const uint16_t ver = stamps.begin(n);
    for (const MeasuredRecord& r : records) {
        stamps.marks[size_t(r.id)] = ver;
        dist[size_t(r.id)] = r.dist;
        bound[size_t(r.id)] = r.bound;
    }
}

uint16_t VisitedMarks::begin(size_t n) {
    if (marks.size() < n) marks.resize(n, 0);
    ++version;
    if (version == 0) {
        std::fill(marks.begin(), marks.end(), uint16_t(0));
        version = 1;
    }
    return version;
}

// Shows the watch a whole batch before the beam sees it: its NaN, and its
// least value at or above bound (the records the beam drops unseen). Four
// lanes at a time, where the admission loop would take two tests per record;
// the last lanes of a short step hold +inf, which changes neither.
static void watch_batch(BeamWatch& w, const float* d, int m, float bound) {
    float lo = INFINITY;
    bool any_nan = false;
#if defined(__SSE2__)
    const __m128 b = _mm_set1_ps(bound), inf = _mm_set1_ps(INFINITY);
    __m128 nanv = _mm_setzero_ps(), lov = inf;
    auto step = [&](__m128 x) {
        nanv = _mm_or_ps(nanv, _mm_cmpunord_ps(x, x));
        const __m128 ge = _mm_cmpge_ps(x, b);
        lov = _mm_min_ps(lov, _mm_or_ps(_mm_and_ps(ge, x), _mm_andnot_ps(ge, inf)));
    };
    int j = 0;
    for (; j + 4 <= m; j += 4) step(_mm_loadu_ps(d + j));
    if (j < m) {
        alignas(16) float part[4] = {INFINITY, INFINITY, INFINITY, INFINITY};
        for (int i = 0; j + i < m; ++i) part[i] = d[j + i];
        step(_mm_load_ps(part));
    }
    alignas(16) float l[4];
    _mm_store_ps(l, lov);
    lo = std::min(std::min(l[0], l[1]), std::min(l[2], l[3]));
    any_nan = _mm_movemask_ps(nanv) != 0;
#else
    for (int j = 0; j < m; ++j) {
        any_nan = any_nan || std::isnan(d[j]);
        if (d[j] >= bound) lo = std::min(lo, d[j]);
    }
#endif
    w.nan = w.nan || any_nan;
    w.left(lo);
}

// Keeps, in order, the records of the batch whose distance is below bound;
// returns their count.
static int keep_below(SearchScratch& s, int m, float bound) {
    int32_t* ids = s.ids.data();
    float* dists = s.dists.data();
    int n = 0;
    for (int j = 0; j < m; ++j) {
        const float d = dists[j];
        ids[n] = ids[j];
        dists[n] = d;
        n += d < bound;
    }
    return n;
}

// Leaves the batch's distances in `kept` by node id (and, planning ahead, in the log).
template <bool PLAN>
static void keep_batch(const SearchScratch& s, int m, DistanceCache& kept, uint16_t kver) {
    for (int j = 0; j < m; ++j) {
        const int32_t id = s.ids[size_t(j)];
        kept.stamps.marks[size_t(id)] = kver;
        kept.dist[size_t(id)] = s.dists[size_t(j)];
    }
    if constexpr (PLAN)
        if (s.keep_log != nullptr)
            for (int j = 0; j < m; ++j)
                s.keep_log->push_back({s.dists[size_t(j)], s.ids[size_t(j)]});
}

// Admits the batch's records in list order: each enters the candidates and
// the beam of ef when the beam has room or it is nearer than the beam's top.
template <bool WATCH>
static void admit_batch(SearchScratch& s, int m, int32_t ef, BeamWatch* watch) {
    auto& cand = s.cand;
    auto& beam = s.beam;
    for (int j = 0; j < m; ++j) {
        const NodeDist r{s.dists[size_t(j)], s.ids[size_t(j)]};
        if (int32_t(beam.size()) < ef || r.dist < beam.front().dist) {
            cand.push_back(r);
            std::push_heap(cand.begin(), cand.end(), std::greater<NodeDist>{});
            beam.push_back(r);
            std::push_heap(beam.begin(), beam.end(), std::less<NodeDist>{});
            if (int32_t(beam.size()) > ef) {
                std::pop_heap(beam.begin(), beam.end(), std::less<NodeDist>{});
                if constexpr (WATCH) watch->left(beam.back().dist);
                beam.pop_back();
            }
        } else if constexpr (WATCH) {
            watch->left(r.dist);
        }
    }
}

template <int M, bool WATCH, bool PLAN>
void GraphSearcher::search_layer_into(const float* q, float qn, NodeDist entry, int32_t ef,
                                      int32_t layer, DistanceCache* keep, BeamWatch* watch) {
    using Ops = MetricOps<M>;
    const MetricView v = view_;
    SearchScratch& s = s_;
    if (ef < 1) ef = 1;
    ensure_batch_room(s, v.nodes.max_list());
    const uint16_t ver = s.marks.begin(size_t(v.nodes.id_room()));
    uint16_t* vis = s.marks.marks.data();
    // With keep, every distance measured is kept by node id: a linked
    // insertion reads them back when it links the new node (values above the
    // bound of their moment are stand-ins, as the batch allows).
    const uint16_t kver = keep != nullptr ? keep->begin(size_t(v.nodes.id_room())) : 0;
    const bool ahead_on = measures_ahead(v.dimension, ef);
    DistanceCache& ahead = s.ahead;
    const uint16_t aver = ahead_on ? ahead.begin(size_t(v.nodes.id_room())) : 0;
    auto& cand = s.cand;
    auto& beam = s.beam;
    cand.clear();
    beam.clear();
    const float* q_tails = Ops::query_tails(v, q, s.q_tails);
    if constexpr (WATCH) watch->saw(entry.dist);
    cand.push_back(entry);
    vis[entry.id] = ver;
    beam.push_back(entry);
    while (!cand.empty()) {
        std::pop_heap(cand.begin(), cand.end(), std::greater<NodeDist>{});
        const NodeDist c = cand.back();
        cand.pop_back();
        if (int32_t(beam.size()) >= ef && c.dist > beam.front().dist) break;
        // The next expansion is likely the nearest candidate left: start its
        // list while this one is measured.
        const int32_t guess = cand.empty() ? -1 : cand.front().id;
        if (guess >= 0) v.nodes.prefetch_links(guess, layer);
        if constexpr (PLAN)
            if (s.read_log != nullptr) s.read_log->push_back(c.id);
        // A full beam's top only falls from here on, so it bounds the batch.
        const float bound = int32_t(beam.size()) >= ef ? beam.front().dist : INFINITY;
        const int n_guesses = std::min(int(cand.size()), AHEAD_GUESSES);
        int m;
        if (PLAN && s.known != nullptr)
            m = measure_unvisited_known<M>(v, q, qn, c.id, layer, vis, ver, s, bound, q_tails);
        else if (ahead_on)
            m = measure_unvisited_ahead<M, PLAN>(v, q, qn, c.id, cand.data(), n_guesses, layer, vis,
                                                 ver, s, bound, q_tails, ahead, aver);
        else
            m = measure_unvisited<M, PLAN>(v, q, qn, c.id, layer, vis, ver, s, bound, q_tails);
        if (keep != nullptr) keep_batch<PLAN>(s, m, *keep, kver);
        if constexpr (WATCH) watch_batch(*watch, s.dists.data(), m, bound);
        // Nothing at or above the bound can enter a full beam: such records
        // are dropped first without a branch, and the admission test then
        // mostly passes.
        if (bound < INFINITY) m = keep_below(s, m, bound);
        admit_batch<WATCH>(s, m, ef, watch);
    }
}

void GraphSearcher::search_layer(const float* q, float qn, NodeDist entry, int32_t ef,
                                 int32_t layer, DistanceCache* keep, BeamWatch* watch) {
    // Only a plan made ahead or replayed logs or takes distances from elsewhere.
    const bool plan = s_.read_log != nullptr || s_.keep_log != nullptr ||
                      s_.measure_log != nullptr || s_.known != nullptr;
    with_metric(view_.metric_type, [&](auto m) {
        constexpr int MV = decltype(m)::value;
        if (watch != nullptr)
            search_layer_into<MV, true, false>(q, qn, entry, ef, layer, keep, watch);
        else if (plan)
            search_layer_into<MV, false, true>(q, qn, entry, ef, layer, keep, watch);
        else
            search_layer_into<MV, false, false>(q, qn, entry, ef, layer, keep, watch);
    });
}

// Beams up to this wide keep their records in one sorted array: an admission
// shifts the records behind it, where the two heaps take a branch per level
// whose outcome is a coin toss.
constexpr int32_t SORTED_MAX_EF = 256;
constexpr int TIE = -1;

// The sorted beam's arrays run on to a whole number of lanes past its last
// record, with values above every record (+inf, or once the beam is full the
// records it pushed out), so that its loops have a length that seldom changes
// and branch only on that.
constexpr int32_t SORTED_LANES = 8;
// Up to this many records every move takes all steps (WordNet ef 16: 2.7 %
// faster than stopping at pos; ef 128 and 256: 8 % and 16 % slower).
constexpr int32_t SORTED_FULL_STEPS = 32;

constexpr int32_t padded(int32_t n) { return (n + SORTED_LANES) & ~(SORTED_LANES - 1); }

// Inserts (d, node) at pos, moving the records from pos to end back by one;
// the one pushed to end leaves. Four records a step, each step moving those
// of its lanes behind pos. Short beams take every step, so that no branch
// follows pos; longer ones stop at pos. dist[-1] and id[-1] are readable.
static void insert_sorted(float* dist, int32_t* id, int32_t pos, int32_t end, float d,
                          int32_t node) {
#if defined(__SSE2__)
    const __m128i at = _mm_set1_epi32(pos);
    const int32_t first = end > SORTED_FULL_STEPS ? pos & ~3 : 0;
    // From the back, so that every step reads records not yet moved.
    for (int32_t k = end - 4; k >= first; k -= 4) {
        const __m128i lane = _mm_add_epi32(_mm_set1_epi32(k), _mm_setr_epi32(0, 1, 2, 3));
        const __m128i move = _mm_cmpgt_epi32(lane, at);
        const __m128i old_d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dist + k));
        const __m128i prev_d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dist + k - 1));
        const __m128i old_i = _mm_loadu_si128(reinterpret_cast<const __m128i*>(id + k));
        const __m128i prev_i = _mm_loadu_si128(reinterpret_cast<const __m128i*>(id + k - 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dist + k),
                         _mm_or_si128(_mm_and_si128(move, prev_d), _mm_andnot_si128(move, old_d)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(id + k),
                         _mm_or_si128(_mm_and_si128(move, prev_i), _mm_andnot_si128(move, old_i)));
    }
#else
    for (int32_t k = end - 1; k > pos; --k) {
        dist[k] = dist[k - 1];
        id[k] = id[k - 1];
    }
#endif
    dist[pos] = d;
    id[pos] = node;
}

// Admits the batch's records in list order into the sorted beam of n records
// (as admit_batch does): returns the lowest position written, INT_MAX for
// none, or TIE when a record is NaN or equal to one in the beam, where the
// heaps' order of equal records would decide.
template <bool WATCH>
static int admit_sorted(SearchScratch& s, int m, int32_t ef, int32_t& n, BeamWatch* watch) {
    float* dist = s.sorted_dist.data() + 1;
    int32_t* id = s.sorted_id.data() + 1;
    int low = INT_MAX;
    for (int j = 0; j < m; ++j) {
        const float d = s.dists[size_t(j)];
        if (!(n < ef || d < dist[n - 1])) {
            if constexpr (WATCH) watch->left(d);
            continue;
        }
        if (std::isnan(d)) return TIE;
        const int32_t end = padded(n);
        int32_t pos = 0;
        for (int32_t k = 0; k < end; ++k) pos += dist[k] < d;
        if (dist[pos] == d) return TIE;
        // A full beam drops its last record, which the watch need not see: it
        // lies above the new top, strictly, as the beam's records are distinct.
        insert_sorted(dist, id, pos, end, d, s.ids[size_t(j)]);
        if (n < ef) ++n;
        low = std::min(low, int(pos));
    }
    return low;
}

// With every distance in the beam distinct and none NaN, this makes the layer
// search's expansions: its nearest candidate is always in the beam (one that
// left it lies above the beam's top, and popping it ends the search), so it is
// the nearest unexpanded record of the beam. A NaN entry stays last here, as
// it stays at the root of the heaps' beam, and once the beam is full its top
// admits nothing in either.
template <int M, bool WATCH>
bool GraphSearcher::sorted_beam_into(const float* q, float qn, NodeDist entry, int32_t ef,
                                     BeamWatch* watch) {
    const MetricView v = view_;
    SearchScratch& s = s_;
    ensure_batch_room(s, v.nodes.max_list());
    // One slot before the records, which the moves read but never keep.
    const size_t room = size_t(padded(ef)) + 1;
    if (s.sorted_id.size() < room) s.sorted_id.resize(room);
    s.sorted_dist.assign(room, INFINITY);
    const uint16_t ver = s.marks.begin(size_t(v.nodes.id_room()));
    uint16_t* vis = s.marks.marks.data();
    const float* q_tails = MetricOps<M>::query_tails(v, q, s.q_tails);
    float* dist = s.sorted_dist.data() + 1;
    int32_t* id = s.sorted_id.data() + 1;
    if constexpr (WATCH) watch->saw(entry.dist);
    dist[0] = entry.dist;
    id[0] = entry.id;
    vis[entry.id] = ver;
    int32_t n = 1, cur = 0;
    for (;;) {
        while (cur < n && id[cur] < 0) ++cur;
        if (cur == n) break;
        const int32_t c = id[cur];
        id[cur] = ~c;
        int32_t next = cur + 1;
        while (next < n && id[next] < 0) ++next;
        if (next < n) v.nodes.prefetch_links(id[next], 0);
        const float bound = n >= ef ? dist[n - 1] : INFINITY;
        int m = measure_unvisited<M, false>(v, q, qn, c, 0, vis, ver, s, bound, q_tails);
        if constexpr (WATCH) watch_batch(*watch, s.dists.data(), m, bound);
        if (bound < INFINITY) m = keep_below(s, m, bound);
        const int low = admit_sorted<WATCH>(s, m, ef, n, watch);
        if (low == TIE) return false;
        // Every record before next is expanded, and admissions move only
        // those from low on.
        cur = std::min(next, int32_t(std::min(low, int(n))));
    }
    s.work.clear();
    for (int32_t k = 0; k < n; ++k) s.work.push_back({dist[k], id[k] < 0 ? ~id[k] : id[k]});
    return true;
}

bool GraphSearcher::sorted_beam(const float* q, float qn, NodeDist entry, int32_t ef,
                                BeamWatch* watch) {
    if (ef > SORTED_MAX_EF) return false;
    return with_metric(view_.metric_type, [&](auto m) {
        constexpr int M = decltype(m)::value;
        return watch != nullptr ? sorted_beam_into<M, true>(q, qn, entry, ef, watch)
                                : sorted_beam_into<M, false>(q, qn, entry, ef, watch);
    });
}

// The walk's key of each id: the distance (above bound, any number above it),
// or for Poincaré the argument x of arcosh, from which the distance follows
// and in which it never decreases.
template <int M>
void walk_keys(const MetricView& v, const float* q, float qn, const int32_t* ids, int m, float* out,
               float bound, const float* q_tails, SearchScratch& s) {
    if constexpr (M == POINCARE)
        MetricOps<POINCARE>::x_batch(v, q, qn, ids, m, out);
    else
        measure_ids<M>(v, q, qn, ids, m, out, bound, q_tails, s);
}

template <int M>
float key_distance(float key) {
    if constexpr (M == POINCARE)
        return poincare_from_x(key);
    else
        return key;
}

// The layer search with ef = 1, without its heaps: its beam is the best node so
// far, and every node it admits is nearer than all before it, so it always
// expands the best and stops when that brings nothing nearer. A node can be
// nearer only if its key is below the best's, so a Poincaré walk takes a
// logarithm only for such nodes, and finds no cut-off each time the best falls.
// The best's distance carries over from layer to layer: on 784-d rows one
// more distance of a single node is a chain as long as a whole batch's.
template <int M>
NodeDist GraphSearcher::greedy_walk(const float* q, float qn, NodeDist entry, int32_t top,
                                    int32_t bottom) {
    const MetricView v = view_;
    SearchScratch& s = s_;
    ensure_batch_room(s, v.nodes.max_list());
    VisitedMarks& marks = s.marks;
    const float* q_tails = MetricOps<M>::query_tails(v, q, s.q_tails);
    int32_t cur = entry.id;
    float best = entry.dist;
    // The distance does not give a Poincaré key back, so it is measured.
    float best_key = best;
    if constexpr (M == POINCARE) walk_keys<M>(v, q, qn, &cur, 1, &best_key, INFINITY, q_tails, s);
    for (int32_t layer = top; layer >= bottom; --layer) {
        const uint16_t ver = marks.begin(size_t(v.nodes.id_room()));
        uint16_t* vis = marks.marks.data();
        vis[cur] = ver;
        for (;;) {
            if (s.read_log != nullptr) s.read_log->push_back(cur);
            const int m = collect_fresh<M>(v, cur, layer, vis, ver, s.ids.data());
            prefetch_rows<M>(v, s.ids.data(), m);
            walk_keys<M>(v, q, qn, s.ids.data(), m, s.dists.data(), best, q_tails, s);
            const int32_t from = cur;
            for (int j = 0; j < m; ++j) {
                const float key = s.dists[size_t(j)];
                if (!(key < best_key)) continue;
                const float d = key_distance<M>(key);
                if (d < best) {
                    best = d;
                    best_key = key;
                    cur = s.ids[size_t(j)];
                }
            }
            if (cur == from) break;
        }
    }
    return {best, cur};
}

NodeDist GraphSearcher::descend(const float* q, float qn, NodeDist entry, int32_t top,
                                int32_t bottom) {
    if (top < bottom) return entry;
    return with_metric(view_.metric_type, [&](auto m) {
        return greedy_walk<decltype(m)::value>(q, qn, entry, top, bottom);
    });
}

}  // namespace orv
