// Linked insertion. All searches and selections run before the node is
// appended, so a failure (memory) leaves the index as it was; the linking that
// follows writes into room reserved beforehand and cannot fail.
#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <cmath>
#include <stdexcept>

#include "orv/graph_builder.hpp"
#include "orv/metric.hpp"
#include "selection.hpp"

namespace orv {

namespace {

uint32_t os_seed() {
    std::random_device dev("default");
    return dev();
}

}  // namespace

float level_mult_for(int32_t m) { return static_cast<float>(1.0 / std::log(double(m))); }

GraphBuilder::GraphBuilder(int32_t m) : level_mult(level_mult_for(m)), rng(os_seed()) {}

void GraphBuilder::reserve_link_scratch(int32_t max_list) {
    BuildScratch& s = s_;
    const size_t n = size_t(max_list) + 1;
    s.pushed.reserve(n);
    s.work.reserve(n);
    s.pruned.reserve(n);
    s.selected.reserve(n);
    s.row_end.reserve(n);
    s.out_dist.reserve(n);
    s.cand_ids.reserve(n);
    s.cand_x.reserve(n);
    s.split_order.reserve(n);
    s.split_taken.reserve(n);
    s.split_ids.reserve(n);
    s.split_limits.reserve(n);
    s.split_dists.reserve(n);
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

namespace {

int32_t level_from(std::mt19937& rng, const std::uniform_real_distribution<double>& unit,
                   float level_mult) {
    const double y1 = double(uint32_t(rng()));
    const double y2 = double(uint32_t(rng()));
    double u = (y1 + y2 * 4294967296.0) * 0x1p-64;
    if (u >= 1.0) u = 0.9999999999999999;
    const double a = unit.a(), b = unit.b();
    double r = a + (b - a) * u;
    if (r < 1e-10) r = 1e-10;
    return int32_t(-(std::log(r) * double(level_mult)));
}

}  // namespace

int32_t GraphBuilder::draw_level() { return level_from(rng, unit_dist, level_mult); }

std::vector<int32_t> GraphBuilder::peek_levels(int64_t count) const {
    std::mt19937 copy = rng;
    std::vector<int32_t> out(size_t(std::max<int64_t>(count, 0)));
    for (int32_t& l : out) l = level_from(copy, unit_dist, level_mult);
    return out;
}

void GraphBuilder::start_plan(Plan& plan, int32_t level, int32_t top, const Plan* earlier,
                              int32_t nodes) {
    SearchScratch& scratch = thread_scratch();
    plan.level = level;
    plan.dist0.clear();
    plan.worst0 = INFINITY;
    plan.taken0 = 0;
    plan.links.resize(size_t(std::max(top + 1, 0)));
    plan.reads.clear();
    plan.kept.clear();
    plan.measured.clear();
    plan.beams.resize(plan.record ? plan.links.size() : 0);
    plan.first_dist.assign(plan.links.size(), INFINITY);
    scratch.read_log = plan.record ? &plan.reads : nullptr;
    scratch.measure_log = plan.record ? &plan.measured : nullptr;
    scratch.known = nullptr;
    if (earlier != nullptr) {
        known_.load(earlier->measured, size_t(nodes));
        scratch.known = &known_;
    }
}

// Whether two beams hold the same records in the same heap order, bit for bit.
static bool same_beam(const std::vector<NodeDist>& a, const std::vector<NodeDist>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(NodeDist)) == 0);
}

NodeDist GraphBuilder::select_layer(const BuildTarget& g, const float* v, float sq, int32_t lc,
                                    Plan& plan, const Plan* earlier) {
    std::vector<NodeDist>& beam = thread_scratch().beam;
    std::vector<int32_t>& chosen = plan.links[size_t(lc)];
    const size_t l = size_t(lc);
    if (plan.record) plan.beams[l] = beam;
    // The selection depends on the beam alone: the same beam, the same choice.
    if (earlier != nullptr && l < earlier->beams.size() && same_beam(beam, earlier->beams[l])) {
        chosen = earlier->links[l];
        plan.first_dist[l] = earlier->first_dist[l];
        if (lc == 0) {
            plan.dist0 = earlier->dist0;
            plan.taken0 = earlier->taken0;
        }
    } else {
        Selector(g.view, s_).select_into(beam, lc == 0 ? g.max_m_0 : g.max_m, chosen, v, sq);
        if (!chosen.empty()) plan.first_dist[l] = s_.out_dist[0];
        if (lc == 0) {
            plan.dist0 = s_.out_dist;
            plan.taken0 = s_.taken;
        }
    }
    return chosen.empty() ? NodeDist{0.0f, -1} : NodeDist{plan.first_dist[l], chosen[0]};
}

void GraphBuilder::plan_links(const BuildTarget& g, const float* v, float sq, int32_t level,
                              int32_t ef, Plan& plan, const Plan* earlier,
                              std::shared_mutex* upper_lock) {
    // The entry point and the upper lists change only under the lock.
    std::shared_lock<std::shared_mutex> hold;
    if (upper_lock != nullptr) hold = std::shared_lock<std::shared_mutex>(*upper_lock);
    SearchScratch& scratch = thread_scratch();
    GraphSearcher searcher(g.view, {g.ep_id, g.ep_layer}, scratch);
    const int32_t top = std::min(level, g.ep_layer);
    start_plan(plan, level, top, earlier, g.nodes.id_room());
    NodeDist cur =
        searcher.descend(v, sq, {g.view.distance(v, sq, g.ep_id), g.ep_id}, g.ep_layer, level + 1);
    for (int32_t lc = top; lc >= 0; --lc) {
        // The memo's shrinks read the layer-0 search's distances back.
        const bool keep = lc == 0 && g.nodes.memo.on();
        if (lc == 0 && hold.owns_lock()) hold.unlock();
        scratch.keep_log = keep && plan.record ? &plan.kept : nullptr;
        searcher.search_layer(v, sq, cur, ef, lc, keep ? &kept_ : nullptr);
        scratch.keep_log = nullptr;
        if (lc == 0 && !scratch.beam.empty()) plan.worst0 = scratch.beam.front().dist;
        // The first link's distance was measured by this layer's search.
        const NodeDist first = select_layer(g, v, sq, lc, plan, earlier);
        if (first.id >= 0) cur = first;
    }
    scratch.read_log = nullptr;
    scratch.measure_log = nullptr;
    scratch.known = nullptr;
}

void GraphBuilder::prepare_shrinks(const BuildTarget& g, const float* v, float sq, Plan& plan) {
    if (!g.nodes.memo.on() || plan.links.empty()) return;
    // The plan's own search stamped what it kept; those need no second sum.
    const uint16_t ver = kept_.stamps.version;
    uint16_t* stamp = kept_.stamps.marks.data();
    for (int32_t n : plan.links[0]) {
        // Planned ahead, the list may be changing: only exact distances come
        // of it, whatever ids it holds.
        const LinkSpan l = g.nodes.links_shared(n);
        // Only a full list is cut back when the new link arrives.
        if (l.count < g.max_m_0) continue;
        if (s_.ids.size() < size_t(l.count)) s_.ids.resize(size_t(l.count));
        if (s_.dists.size() < size_t(l.count)) s_.dists.resize(size_t(l.count));
        int32_t m = 0;
        for (int32_t j = 0; j < l.count; ++j) {
            const int32_t id = load_shared(l.ids + j);
            if (stamp[id] == ver) continue;
            stamp[id] = ver;
            s_.ids[size_t(m++)] = id;
        }
        g.view.distances(v, sq, s_.ids.data(), m, s_.dists.data());
        for (int32_t j = 0; j < m; ++j)
            plan.kept.push_back({s_.dists[size_t(j)], s_.ids[size_t(j)]});
    }
}

void GraphBuilder::link_reverse(const BuildTarget& g, int32_t new_id, int32_t n, int32_t layer,
                                int32_t cap) {
    BuildScratch& s = s_;
    NodeStore& nodes = g.nodes;
    // Read before the link is staged, which makes it unknown.
    const uint8_t split = layer == 0 ? nodes.split0[size_t(n)] : SPLIT_UNKNOWN;
    const LinkSpan l = nodes.stage_link(n, layer, new_id);
    if (l.count <= cap) {
        nodes.publish_links(n, layer, l.count);
        return;
    }
    const float* nv = nodes.row(n);
    const float nn = nodes.norms[size_t(n)];
    g.view.distances(nv, nn, l.ids, l.count, s.dists.data());
    if (split != SPLIT_UNKNOWN && shrink_by_split(g, n, l, split, cap)) return;
    // In list order, as if pushed onto a heap one by one; the heap is only
    // built where ties make its layout matter.
    s.pushed.clear();
    for (int32_t j = 0; j < l.count; ++j) s.pushed.push_back({s.dists[size_t(j)], l.ids[j]});
    drain_pushed(s.pushed, s.work);
    Selector(g.view, s).select_sorted(cap, s.selected, nv, nn);
    nodes.set_links(n, layer, s.selected.data(), int32_t(s.selected.size()));
    if (layer == 0) nodes.split0[size_t(n)] = split_of(s.taken);
}

void GraphBuilder::link_new_node(const BuildTarget& g, int32_t new_id, const Plan& plan) {
    NodeStore& nodes = g.nodes;
    for (int32_t lc = int32_t(plan.links.size()) - 1; lc >= 0; --lc) {
        const std::vector<int32_t>& sel = plan.links[size_t(lc)];
        const int32_t cap = lc == 0 ? g.max_m_0 : g.max_m;
        nodes.set_links(new_id, lc, sel.data(), int32_t(sel.size()));
        if (lc == 0) nodes.split0[size_t(new_id)] = split_of(plan.taken0);
        if (lc == 0 && nodes.memo.on()) {
            for (size_t i = 0; i < sel.size(); ++i)
                link_reverse_memo(g, new_id, sel[i], plan.dist0[i], plan.worst0, cap);
            continue;
        }
        for (int32_t n : sel) link_reverse(g, new_id, n, lc, cap);
    }
}

void GraphBuilder::commit_linked(const BuildTarget& g, const float* row, uint64_t mask, float sq,
                                 const Plan& plan) {
    NodeStore& nodes = g.nodes;
    // Loaded lists come without spare room; make it now, while a failure
    // still leaves the index untouched.
    for (size_t lc = 1; lc < plan.links.size(); ++lc)
        for (int32_t n : plan.links[lc]) nodes.reserve_upper(n, int32_t(lc), g.max_m);
    reserve_link_scratch(nodes.max_list());
    if (plan.record && nodes.memo.on()) {
        const uint16_t ver = kept_.begin(size_t(nodes.count()));
        for (const NodeDist& k : plan.kept) {
            kept_.stamps.marks[size_t(k.id)] = ver;
            kept_.dist[size_t(k.id)] = k.dist;
        }
    }
    nodes.reserve_one();
    const int32_t new_id = nodes.append(row, sq, mask, plan.level, g.max_m);
    link_new_node(g, new_id, plan);
    if (plan.level > g.ep_layer) {
        g.ep_id = new_id;
        g.ep_layer = plan.level;
    }
}

void GraphBuilder::insert_linked(const BuildTarget& g, const float* row, uint64_t mask,
                                 int32_t ef_construction) {
    if (g.nodes.count() == INT32_MAX) throw std::length_error("index is full: node ids are 32-bit");
    const float sq = g.view.kernels->sq_norm(row, size_t(g.view.dimension));
    insert_linked_at(g, row, mask, sq, draw_level(), ef_construction);
}

void GraphBuilder::insert_linked_at(const BuildTarget& g, const float* row, uint64_t mask, float sq,
                                    int32_t level, int32_t ef_construction) {
    Plan plan;
    plan.level = level;
    if (g.nodes.count() > 0 && g.ep_id >= 0) plan_links(g, row, sq, level, ef_construction, plan);
    commit_linked(g, row, mask, sq, plan);
}

void GraphBuilder::insert_flat(const BuildTarget& g, const float* row, uint64_t mask) {
    NodeStore& nodes = g.nodes;
    if (nodes.count() == INT32_MAX) throw std::length_error("index is full: node ids are 32-bit");
    const float sq = g.view.kernels->sq_norm(row, size_t(g.view.dimension));
    nodes.reserve_one();
    nodes.append(row, sq, mask, 0, g.max_m);
}

}  // namespace orv
