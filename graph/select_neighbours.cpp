// The neighbour heuristic: take a candidate only when no neighbour already
// taken lies strictly closer to it than the base does; fill up from the rest.
#include <algorithm>
#include <cmath>
#include <functional>

#include "orv/metric.hpp"
#include "selection.hpp"

namespace orv {

bool GraphBuilder::Selector::pruned_by_selected(const NodeDist& c,
                                                const std::vector<int32_t>& selected) const {
    const float* cv = v_.nodes.row(c.id);
    const float cn = v_.nodes.norms[size_t(c.id)];
    constexpr int CHUNK = 8;
    float d[CHUNK];
    // Distances in small batches, tested in result order; a batch may measure
    // a few nodes past the one that prunes, which changes no decision.
    for (size_t i = 0; i < selected.size(); i += CHUNK) {
        const int n = int(std::min<size_t>(CHUNK, selected.size() - i));
        // Only "d < c.dist" matters, so a Euclidean sum may stop once past c.dist.
        with_metric(v_.metric_type, [&](auto m) {
            MetricOps<decltype(m)::value>::batch(v_, cv, cn, selected.data() + i, n, d, c.dist);
        });
        for (int j = 0; j < n; ++j)
            if (c.dist > d[j]) return true;
    }
    return false;
}

namespace {

// Candidates measured ahead per selected node in one batch.
constexpr size_t ROW_WINDOW = 32;
// From this dimension on a pair row skips the candidates already pruned.
constexpr int32_t SKIP_PRUNED_MIN_DIM = 64;

// Whether the table entry v of candidate k (a distance, or with x_rows an
// argument x) prunes it.
inline bool prunes(const BuildScratch& s, bool x_rows, float v, size_t k) {
    const float dist = s.work[k].dist;
    return x_rows ? v < s.cand_x[k] && dist > poincare_from_x(v) : dist > v;
}

// Whether a row before r that reaches candidate j prunes it.
bool pruned_before(const BuildScratch& s, bool x_rows, size_t j, size_t r) {
    const size_t n = s.work.size();
    for (size_t i = 0; i < r; ++i)
        if (size_t(s.row_end[i]) > j && prunes(s, x_rows, s.pair_dist[i * n + j], j)) return true;
    return false;
}

// Distances are symmetric bit for bit (squared differences, products and the
// norm factors commute) unless a stored norm is negative and recomputed on one
// side only.
bool symmetric(const NodeStore& nodes, const std::vector<NodeDist>& work) {
    for (const NodeDist& c : work)
        if (nodes.norms[size_t(c.id)] < 0.0f) return false;
    return true;
}

}  // namespace

void GraphBuilder::Selector::heuristic_sequential(int32_t cap, std::vector<int32_t>& out) {
    BuildScratch& s = s_;
    for (const NodeDist& c : s.work) {
        if (int32_t(out.size()) >= cap) break;
        if (!out.empty() && pruned_by_selected(c, out)) {
            s.pruned.push_back(c);
            continue;
        }
        out.push_back(c.id);
        s.out_dist.push_back(c.dist);
    }
}

// The same decisions as the sequential test, with the distances gathered per
// selected node over a window of later candidates (d(c, s) = d(s, c)), so that
// each batch measures many nodes at once. With a base (Poincaré), the rows
// keep arguments x of arcosh: a candidate c at distance D = from_x(x_c) from
// the base is pruned by s iff from_x(x_cs) < D, which needs x_cs < x_c, as
// from_x never decreases; the logarithm is taken only then.
void GraphBuilder::Selector::heuristic_by_rows(int32_t cap, std::vector<int32_t>& out,
                                               const float* base, float base_norm) {
    BuildScratch& s = s_;
    const size_t n = s.work.size();
    s.cand_ids.resize(n);
    for (size_t i = 0; i < n; ++i) s.cand_ids[i] = s.work[i].id;
    s.row_end.clear();
    const bool x_rows = v_.metric_type == POINCARE && base != nullptr;
    if (x_rows) {
        s.cand_x.resize(n);
        MetricOps<POINCARE>::x_batch(v_, base, base_norm, s.cand_ids.data(), int(n),
                                     s.cand_x.data());
    }
    // No distance above the largest candidate distance can prune: past it the
    // Poincaré logarithm is skipped, with one cut-off for the whole selection.
    const float top = n > 0 ? s.work[n - 1].dist : INFINITY;
    const float x_cut = v_.metric_type == POINCARE && !x_rows ? poincare_x_above(top) : INFINITY;
    for (size_t k = 0; k < n; ++k) {
        if (int32_t(out.size()) >= cap) break;
        const NodeDist& c = s.work[k];
        bool pruned = false;
        for (size_t r = 0; r < out.size() && !pruned; ++r) {
            float* row = s.pair_dist.data() + r * n;
            if (size_t(s.row_end[r]) <= k) extend_pair_row(out, r, k, top, x_cut, x_rows);
            pruned = prunes(s, x_rows, row[k], k);
        }
        if (pruned) {
            s.pruned.push_back(c);
            continue;
        }
        out.push_back(c.id);
        s.out_dist.push_back(c.dist);
        s.row_end.push_back(int32_t(k + 1));
    }
}

// Row r of the pair table from candidate k on, a window ahead. On long rows,
// where a distance costs more than the tests, it skips the candidates that a
// row before r already prunes: those never reach row r, so their entries are
// never read.
void GraphBuilder::Selector::extend_pair_row(const std::vector<int32_t>& out, size_t r, size_t k,
                                             float top, float x_cut, bool x_rows) {
    BuildScratch& s = s_;
    const size_t n = s.work.size(), end = std::min(n, k + ROW_WINDOW);
    float* row = s.pair_dist.data() + r * n;
    const float last = s.work[end - 1].dist;
    if (v_.dimension < SKIP_PRUNED_MIN_DIM) {
        fill_pair_row(out[r], s.cand_ids.data() + k, int(end - k), row + k, last, top, x_cut,
                      x_rows);
        s.row_end[r] = int32_t(end);
        return;
    }
    int32_t ids[ROW_WINDOW] = {}, at[ROW_WINDOW];
    float d[ROW_WINDOW];
    int m = 0;
    // Candidate k itself has reached row r.
    for (size_t j = k; j < end; ++j) {
        if (j > k && pruned_before(s, x_rows, j, r)) continue;
        ids[m] = s.cand_ids[j];
        at[m++] = int32_t(j);
    }
    fill_pair_row(out[r], ids, m, d, last, top, x_cut, x_rows);
    for (int i = 0; i < m; ++i) row[at[i]] = d[i];
    s.row_end[r] = int32_t(end);
}

// Distances (or, with x_rows, arguments x) from sid to count candidates. Only
// "d < c.dist" matters, and every c.dist of the window is at most last: a
// Euclidean sum may stop past it.
void GraphBuilder::Selector::fill_pair_row(int32_t sid, const int32_t* ids, int count, float* row,
                                           float last, float top, float x_cut, bool x_rows) const {
    const float* v = v_.nodes.row(sid);
    const float vn = v_.nodes.norms[size_t(sid)];
    if (x_rows) {
        MetricOps<POINCARE>::x_batch(v_, v, vn, ids, count, row);
        return;
    }
    const float bound = v_.metric_type == POINCARE ? top : last;
    with_metric(v_.metric_type, [&](auto m) {
        using Ops = MetricOps<decltype(m)::value>;
        Ops::batch_cut(v_, v, vn, ids, count, row, bound, x_cut, Ops::row_tails(v_, sid));
    });
}

namespace {

// Shrinks bring lists in nearly ascending order (the links a selection kept,
// then those it filled in, then the new one): sorted by insertion, they cost
// a third fewer steps than with std::sort.
void insertion_sort(std::vector<NodeDist>& v) {
    for (size_t i = 1; i < v.size(); ++i) {
        const NodeDist r = v[i];
        size_t j = i;
        for (; j > 0 && v[j - 1].dist > r.dist; --j) v[j] = v[j - 1];
        v[j] = r;
    }
}

constexpr size_t INSERTION_MAX = 48;

}  // namespace

bool sort_strictly_ascending(std::vector<NodeDist>& v) {
    if (v.size() <= INSERTION_MAX)
        insertion_sort(v);
    else
        std::sort(v.begin(), v.end(), DistLessNanLast{});
    // Ties, -0 next to +0 and NaN all fail this, whatever order the sort left.
    for (size_t i = 1; i < v.size(); ++i)
        if (!(v[i - 1].dist < v[i].dist)) return false;
    return v.empty() || !std::isnan(v[0].dist);
}

namespace {

// With distinct distances and no NaN the ascending order is unique: any sort
// of the records gives what popping them all and sorting gives. True then,
// with the records moved to work in that order.
bool sorted_if_distinct(std::vector<NodeDist>& records, std::vector<NodeDist>& work) {
    work.assign(records.begin(), records.end());
    const bool distinct = sort_strictly_ascending(work);
    if (distinct) records.clear();
    return distinct;
}

void pop_all_sorted(std::vector<NodeDist>& heap, std::vector<NodeDist>& work) {
    work.clear();
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), std::less<NodeDist>{});
        work.push_back(heap.back());
        heap.pop_back();
    }
    // NaN-safe order: a NaN distance would make a plain sort read out of bounds.
    std::sort(work.begin(), work.end(), DistLessNanLast{});
}

}  // namespace

void drain_sorted(std::vector<NodeDist>& heap, std::vector<NodeDist>& work) {
    if (!sorted_if_distinct(heap, work)) pop_all_sorted(heap, work);
}

void drain_pushed(std::vector<NodeDist>& pushed, std::vector<NodeDist>& work) {
    if (sorted_if_distinct(pushed, work)) return;
    for (size_t i = 2; i <= pushed.size(); ++i)
        std::push_heap(pushed.begin(), pushed.begin() + ptrdiff_t(i), std::less<NodeDist>{});
    pop_all_sorted(pushed, work);
}

void GraphBuilder::Selector::select_into(std::vector<NodeDist>& heap, int32_t cap,
                                         std::vector<int32_t>& out, const float* base,
                                         float base_norm) {
    drain_sorted(heap, s_.work);
    select_sorted(cap, out, base, base_norm);
}

void GraphBuilder::Selector::select_sorted(int32_t cap, std::vector<int32_t>& out,
                                           const float* base, float base_norm) {
    BuildScratch& s = s_;
    const auto& work = s.work;
    s.pruned.clear();
    refuse_negative_count(cap);
    out.clear();
    s.out_dist.clear();
    const size_t table = size_t(cap) * work.size();
    if (table <= MAX_PAIR_TABLE && symmetric(v_.nodes, work)) {
        // Within a shrink the table was sized beforehand, so this never allocates there.
        if (s.pair_dist.size() < table) s.pair_dist.resize(table);
        heuristic_by_rows(cap, out, base, base_norm);
    } else {
        heuristic_sequential(cap, out);
    }
    s.taken = int32_t(out.size());
    for (const NodeDist& c : s.pruned) {
        if (int32_t(out.size()) >= cap) break;
        out.push_back(c.id);
        s.out_dist.push_back(c.dist);
    }
}

std::vector<int32_t> GraphBuilder::select_neighbours(const MetricView& v,
                                                     std::vector<NodeDist>& candidates,
                                                     int32_t cap) {
    std::vector<int32_t> out;
    if (cap > 0) out.reserve(size_t(cap));
    Selector(v, s_).select_into(candidates, cap, out);
    return out;
}

}  // namespace orv
