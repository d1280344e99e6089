// Layer-0 shrinks from the link memo. A full list gains one link and is cut
// back at once, so consecutive shrinks of a node see the same links but one;
// the memo keeps every distance between them as one pruning bit, and a shrink
// measures only the new link against the others. Decisions are the heuristic's
// own: the same heap of the same distances, the same test per pair.
#include <algorithm>
#include <cmath>
#include <functional>

#include "orv/metric.hpp"
#include "selection.hpp"

namespace orv {

namespace {

// Only a number above every link's distance lets a Euclidean sum stop early:
// a pair that stops there prunes in neither direction.
float largest(const float* d, int32_t n) {
    float b = -INFINITY;
    for (int32_t i = 0; i < n; ++i)
        if (d[i] > b) b = d[i];
    return b;
}

}  // namespace

// Measures slot `from` against slots [lo, hi) and sets the bits of both
// directions; a stored norm is never negative while the memo is on, so the
// distance is symmetric bit for bit.
template <int M>
void GraphBuilder::memo_pairs(const MetricView& v, const int32_t* ids, int32_t from, int32_t lo,
                              int32_t hi, float bound) {
    BuildScratch& s = s_;
    const int32_t f = ids[from];
    float* d = s.dists.data();
    MetricOps<M>::batch(v, v.nodes.row(f), v.nodes.norms[size_t(f)], ids + lo, hi - lo, d, bound,
                        MetricOps<M>::row_tails(v, f));
    const float* dist = s.slot_dist.data();
    uint64_t* rows = s.rows.data();
    for (int32_t j = lo; j < hi; ++j) {
        const float dj = d[j - lo];
        if (dist[from] > dj) rows[from] |= uint64_t(1) << j;
        if (dist[j] > dj) rows[j] |= uint64_t(1) << from;
    }
}

// The bits between the new link (slot f) and the others, from the distances
// the new node's layer-0 search kept where they decide.
// A cached value v is exact or a sum stopped at the bound of its moment, which
// is at least `worst`, the final beam's top, and at most the true distance.
// So d_new > v decides its bit (d_new <= worst), and v decides the other
// direction when v < worst (exact) or v >= the link's distance (no prune).
template <int M>
void GraphBuilder::memo_extend(const MetricView& v, int32_t last, float worst, float bound) {
    BuildScratch& s = s_;
    const DistanceCache& dc = kept_;
    const uint16_t ver = dc.stamps.version;
    const float* dist = s.slot_dist.data();
    const int32_t* slot_ids = s.slot_ids.data();
    uint64_t* rows = s.rows.data();
    const int32_t f = s.pos_slot[size_t(last)];
    const uint64_t bit_f = uint64_t(1) << f;
    s.slots.resize(size_t(last));
    int32_t m = 0;
    for (int32_t p = 0; p < last; ++p) {
        const int32_t j = s.pos_slot[size_t(p)];
        const int32_t id = slot_ids[j];
        if (size_t(id) < dc.stamps.marks.size() && dc.stamps.marks[size_t(id)] == ver) {
            const float v = dc.dist[size_t(id)];
            if (dist[f] > v) rows[f] |= uint64_t(1) << j;
            if (v < worst || v >= dist[j]) {
                if (dist[j] > v) rows[j] |= bit_f;
                continue;
            }
        }
        s.slots[size_t(m)] = j;
        s.ids[size_t(m++)] = id;
    }
    float* d = s.dists.data();
    const int32_t fid = slot_ids[f];
    MetricOps<M>::batch(v, v.nodes.row(fid), v.nodes.norms[size_t(fid)], s.ids.data(), m, d, bound,
                        MetricOps<M>::row_tails(v, fid));
    for (int32_t k = 0; k < m; ++k) {
        const int32_t j = s.slots[size_t(k)];
        rows[f] &= ~(uint64_t(1) << j);
        if (dist[f] > d[k]) rows[f] |= uint64_t(1) << j;
        if (dist[j] > d[k]) rows[j] |= bit_f;
    }
}

// The memo of n's count links (slots = list positions) into the scratch's
// slot distances and rows, as a link at d_new is about to join them: each
// link's distance from n, and the pruning bits of every pair. The new link's
// distance only raises the bound that lets a sum stop early.
template <int M>
void GraphBuilder::memo_fill(const MetricView& v, int32_t n, const int32_t* ids, int32_t count,
                             float d_new) {
    float* dist = s_.slot_dist.data();
    MetricOps<M>::batch(v, v.nodes.row(n), v.nodes.norms[size_t(n)], ids, count, dist);
    std::fill_n(s_.rows.data(), count, uint64_t(0));
    const float bound = std::max(largest(dist, count), d_new);
    for (int32_t i = 0; i + 1 < count; ++i) memo_pairs<M>(v, ids, i, i + 1, count, bound);
}

// Fills the slot arrays of the scratch (distances, rows, ids, and the slot of
// each list position) for the cnt links of n, the last just added with its
// distance d_new; from the memo when it describes the other links.
template <int M>
void GraphBuilder::memo_table(const MetricView& v, int32_t n, const int32_t* ids, int32_t cnt,
                              float d_new, float worst, bool known) {
    BuildScratch& s = s_;
    const LinkMemo& memo = v.nodes.memo;
    float* dist = s.slot_dist.data();
    uint64_t* rows = s.rows.data();
    const int32_t last = cnt - 1;
    if (known) {
        std::copy_n(memo.slot_of_node(n), cnt, s.pos_slot.data());
        std::copy_n(memo.dist_of(n), cnt, dist);
        std::copy_n(memo.rows_of(n), cnt, rows);
    } else {
        for (int32_t p = 0; p < cnt; ++p) s.pos_slot[size_t(p)] = p;
        if (!memo_from_seed(n, ids, last)) memo_fill<M>(v, n, ids, last, d_new);
    }
    for (int32_t p = 0; p < cnt; ++p) s.slot_ids[size_t(s.pos_slot[size_t(p)])] = ids[p];
    const int32_t f = s.pos_slot[size_t(last)];
    dist[f] = d_new;
    // The free slot's bits belonged to a link that has left the list.
    for (int32_t i = 0; i < cnt; ++i) rows[i] &= ~(uint64_t(1) << f);
    rows[f] = 0;
    memo_extend<M>(v, last, worst, largest(dist, cnt));
}

// A seed for n made ahead while its list was what it is now (apart from the
// new link): its distances and bits into the slot arrays, slots being list
// positions. A sum stopped at the bound sets no bit, so the bits do not depend
// on the bound the seed's sums had.
bool GraphBuilder::memo_from_seed(int32_t n, const int32_t* ids, int32_t last) {
    if (seeds_ == nullptr || seeds_->width != last) return false;
    const MemoSeeds& sd = *seeds_;
    const size_t w = size_t(last);
    for (size_t k = 0; k < sd.nodes.size(); ++k) {
        if (sd.nodes[k] != n || !std::equal(ids, ids + last, sd.ids.begin() + ptrdiff_t(k * w)))
            continue;
        std::copy_n(sd.dist.begin() + ptrdiff_t(k * w), last, s_.slot_dist.begin());
        std::copy_n(sd.rows.begin() + ptrdiff_t(k * w), last, s_.rows.begin());
        s_.rows[w] = 0;
        return true;
    }
    return false;
}

void GraphBuilder::seed_plan(const BuildTarget& g, Plan& plan) {
    MemoSeeds& seeds = plan.seeds;
    seeds.width = g.max_m_0;
    seeds.nodes.clear();
    seeds.ids.clear();
    seeds.dist.clear();
    seeds.rows.clear();
    if (!g.nodes.memo.on() || plan.links.empty()) return;
    reserve_link_scratch(g.nodes.max_list());
    const std::vector<int32_t>& chosen = plan.links[0];
    for (size_t i = 0; i < chosen.size(); ++i) seed_memo(g, chosen[i], plan.dist0[i], seeds);
}

void GraphBuilder::seed_memo(const BuildTarget& g, int32_t n, float d_new, MemoSeeds& seeds) {
    // A list its memo describes needs no seed; commits may be changing the
    // flag meanwhile, so it only saves work.
    if (__atomic_load_n(&g.nodes.memo.valid[size_t(n)], __ATOMIC_RELAXED) != 0) return;
    const LinkSpan l = g.nodes.links_shared(n);
    const size_t w = size_t(seeds.width);
    if (size_t(l.count) != w) return;
    // The ids read once: a shrink takes the seed only for this very list.
    std::vector<int32_t>& ids = s_.seed_ids;
    ids.resize(w);
    for (size_t j = 0; j < w; ++j) ids[j] = load_shared(l.ids + j);
    with_metric(g.view.metric_type, [&](auto m) {
        memo_fill<decltype(m)::value>(g.view, n, ids.data(), int32_t(w), d_new);
    });
    seeds.nodes.push_back(n);
    seeds.ids.insert(seeds.ids.end(), ids.begin(), ids.end());
    seeds.dist.insert(seeds.dist.end(), s_.slot_dist.data(), s_.slot_dist.data() + w);
    seeds.rows.insert(seeds.rows.end(), s_.rows.data(), s_.rows.data() + w);
}

// The heuristic over slots, fed in list order: s.slots gets the chosen slots.
void GraphBuilder::memo_select(int32_t cnt, int32_t cap) {
    BuildScratch& s = s_;
    s.pushed.clear();
    for (int32_t p = 0; p < cnt; ++p) {
        const int32_t j = s.pos_slot[size_t(p)];
        s.pushed.push_back({s.slot_dist[size_t(j)], j});
    }
    drain_pushed(s.pushed, s.work);
    s.pruned.clear();
    s.slots.clear();
    uint64_t taken = 0;
    for (const NodeDist& c : s.work) {
        if (int32_t(s.slots.size()) >= cap) break;
        if ((s.rows[size_t(c.id)] & taken) != 0) {
            s.pruned.push_back(c);
            continue;
        }
        s.slots.push_back(c.id);
        taken |= uint64_t(1) << c.id;
    }
    for (const NodeDist& c : s.pruned) {
        if (int32_t(s.slots.size()) >= cap) break;
        s.slots.push_back(c.id);
    }
}

// Writes the chosen links of n; each keeps its slot, and the one slot left
// over becomes the free one.
void GraphBuilder::memo_store(NodeStore& nodes, int32_t n, int32_t cnt) {
    BuildScratch& s = s_;
    const int32_t kept = int32_t(s.slots.size());
    s.selected.clear();
    uint64_t used = 0;
    for (int32_t a = 0; a < kept; ++a) {
        const int32_t j = s.slots[size_t(a)];
        s.selected.push_back(s.slot_ids[size_t(j)]);
        used |= uint64_t(1) << j;
    }
    nodes.set_links(n, 0, s.selected.data(), kept);
    LinkMemo& memo = nodes.memo;
    uint8_t* slot_of = memo.slot_of_node(n);
    for (int32_t a = 0; a < kept; ++a) slot_of[a] = uint8_t(s.slots[size_t(a)]);
    // A shrink keeps cnt - 1 links: exactly one slot is free.
    slot_of[kept] = uint8_t(__builtin_ctzll(~used));
    std::copy_n(s.slot_dist.data(), cnt, memo.dist_of(n));
    std::copy_n(s.rows.data(), cnt, memo.rows_of(n));
    // Plans made ahead read it as a hint while this runs.
    __atomic_store_n(&memo.valid[size_t(n)], uint8_t(1), __ATOMIC_RELAXED);
}

void GraphBuilder::link_reverse_memo(const BuildTarget& g, int32_t new_id, int32_t n, float d_new,
                                     float worst, int32_t cap) {
    NodeStore& nodes = g.nodes;
    const bool known = nodes.memo.valid[size_t(n)] != 0;
    const LinkSpan l = nodes.stage_link(n, 0, new_id);
    if (l.count <= cap) {
        nodes.publish_links(n, 0, l.count);
        return;
    }
    with_metric(g.view.metric_type, [&](auto m) {
        memo_table<decltype(m)::value>(g.view, n, l.ids, l.count, d_new, worst, known);
    });
    memo_select(l.count, cap);
    memo_store(nodes, n, l.count);
}

}  // namespace orv
