// Linked insertion. All searches and selections run before the node is
// appended, so a failure (memory) leaves the index as it was; the linking that
// follows writes into room reserved beforehand and cannot fail.
#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

#include "orv/guards.hpp"
#include "orv/metric.hpp"
#include "selection.hpp"

namespace orv {

namespace {

void check_finite(const float* v, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        if (!std::isfinite(v[i]))
            throw std::invalid_argument("vector holds a non-finite value (" + std::to_string(v[i]) +
                                        ") at index " + std::to_string(i));
    }
}

void reserve_link_scratch(SearchScratch& s, int32_t max_list) {
    const size_t n = size_t(max_list) + 1;
    s.result.reserve(n);
    s.work.reserve(n);
    s.pruned.reserve(n);
    s.selected.reserve(n);
    s.row_end.reserve(n);
    s.out_dist.reserve(n);
    s.cand_ids.reserve(n);
    s.cand_x.reserve(n);
    // The table of the batched heuristic for a shrink; without it the shrink
    // falls back to the sequential test, which needs no room.
    if (n * n <= MAX_PAIR_TABLE && s.pair_dist.size() < n * n) s.pair_dist.resize(n * n);
    if (s.ids.size() < n) s.ids.resize(n);
    if (s.dists.size() < n) s.dists.resize(n);
    if (s.rows.size() < size_t(MEMO_MAX_SLOTS)) {
        s.rows.resize(size_t(MEMO_MAX_SLOTS));
        s.slot_dist.resize(size_t(MEMO_MAX_SLOTS));
        s.slot_ids.resize(size_t(MEMO_MAX_SLOTS));
        s.pos_slot.resize(size_t(MEMO_MAX_SLOTS));
        s.slots.reserve(size_t(MEMO_MAX_SLOTS));
    }
}

}  // namespace

int32_t HyperbolicIndex::draw_level() {
    const double y1 = double(uint32_t(rng()));
    const double y2 = double(uint32_t(rng()));
    double u = (y1 + y2 * 4294967296.0) * 0x1p-64;
    if (u >= 1.0) u = 0.9999999999999999;
    const double a = unit_dist.a(), b = unit_dist.b();
    double r = a + (b - a) * u;
    if (r < 1e-10) r = 1e-10;
    return int32_t(-(std::log(r) * double(level_mult)));
}

void HyperbolicIndex::plan_links(const float* v, float sq, int32_t level, int32_t ef,
                                 std::vector<std::vector<int32_t>>& plan, std::vector<float>& dist0,
                                 float& worst0, int32_t& taken0) {
    SearchScratch& s = thread_scratch();
    const int32_t top = std::min(level, ep_layer);
    plan.resize(size_t(std::max(top + 1, 0)));
    NodeDist cur =
        greedy_descent(v, sq, {dist_to_node(v, sq, ep_id), ep_id}, ep_layer, level + 1, s);
    for (int32_t lc = top; lc >= 0; --lc) {
        // The memo's shrinks read the layer-0 search's distances back.
        search_layer_dispatch(v, sq, cur, ef, lc, s, lc == 0 && nodes.memo.on());
        if (lc == 0 && !s.beam.empty()) worst0 = s.beam.front().dist;
        select_into(s.beam, lc == 0 ? max_m_0 : max_m, s, plan[size_t(lc)], v, sq);
        // The first link's distance was measured by this layer's search.
        if (!plan[size_t(lc)].empty()) cur = {s.out_dist[0], plan[size_t(lc)][0]};
        if (lc == 0) {
            dist0 = s.out_dist;
            taken0 = s.taken;
        }
        // Loaded lists come without spare room; make it now, while a failure
        // still leaves the index untouched.
        if (lc > 0)
            for (int32_t n : plan[size_t(lc)]) nodes.reserve_upper(n, lc, max_m);
    }
    reserve_link_scratch(s, nodes.max_list());
}

void HyperbolicIndex::link_reverse(int32_t new_id, int32_t n, int32_t layer, int32_t cap,
                                   SearchScratch& s) {
    // Read before the push, which makes it unknown.
    const uint8_t split = layer == 0 ? nodes.split0[size_t(n)] : SPLIT_UNKNOWN;
    nodes.push_link(n, layer, new_id);
    const LinkSpan l = nodes.links(n, layer);
    if (l.count <= cap) return;
    const float* nv = nodes.row(n);
    const float nn = nodes.norms[size_t(n)];
    dist_batch(nv, nn, l.ids, l.count, s.dists.data());
    if (split != SPLIT_UNKNOWN && shrink_by_split(n, l, split, cap, s)) return;
    // In list order, as if pushed onto a heap one by one; the heap is only
    // built where ties make its layout matter.
    auto& pushed = s.result;
    pushed.clear();
    for (int32_t j = 0; j < l.count; ++j) pushed.push_back({s.dists[size_t(j)], l.ids[j]});
    drain_pushed(pushed, s.work);
    select_sorted(cap, s, s.selected, nv, nn);
    nodes.set_links(n, layer, s.selected.data(), int32_t(s.selected.size()));
    if (layer == 0) nodes.split0[size_t(n)] = split_of(s.taken);
}

void HyperbolicIndex::add_item_and_link(const float* data, int64_t len, uint64_t mask,
                                        int32_t ef_construction) {
    // The guard comes first: a load on another thread must not change the
    // dimension between the checks and the copy.
    WriteGuard guard(*this);
    check_query(len);
    check_finite(data, dimension);
    insert_linked(data, mask, ef_construction);
}

void HyperbolicIndex::insert_linked(const float* data, uint64_t mask, int32_t ef_construction) {
    if (size() == INT32_MAX) throw std::length_error("index is full: node ids are 32-bit");
    const float sq = kernels->sq_norm(data, size_t(dimension));
    const int32_t level = draw_level();
    std::vector<std::vector<int32_t>> plan;
    // Layer-0 distances of the chosen neighbours from the new node; the same
    // as theirs from it, since distances are symmetric while the memo is on.
    std::vector<float> dist0;
    // The layer-0 beam's final top: the search's cached distances below it are exact.
    float worst0 = INFINITY;
    // How many of the new node's layer-0 links its selection took outright.
    int32_t taken0 = 0;
    if (size() > 0 && ep_id >= 0)
        plan_links(data, sq, level, ef_construction, plan, dist0, worst0, taken0);
    nodes.reserve_one();
    const int32_t new_id = nodes.append(data, sq, mask, level, max_m);
    SearchScratch& s = thread_scratch();
    for (int32_t lc = int32_t(plan.size()) - 1; lc >= 0; --lc) {
        const std::vector<int32_t>& sel = plan[size_t(lc)];
        const int32_t cap = lc == 0 ? max_m_0 : max_m;
        nodes.set_links(new_id, lc, sel.data(), int32_t(sel.size()));
        if (lc == 0) nodes.split0[size_t(new_id)] = split_of(taken0);
        if (lc == 0 && nodes.memo.on()) {
            for (size_t i = 0; i < sel.size(); ++i)
                link_reverse_memo(new_id, sel[i], dist0[i], worst0, cap, s);
            continue;
        }
        for (int32_t n : sel) link_reverse(new_id, n, lc, cap, s);
    }
    if (level > ep_layer) {
        ep_id = new_id;
        ep_layer = level;
    }
}

}  // namespace orv
