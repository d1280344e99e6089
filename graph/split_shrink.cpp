// Layer-0 shrinks from the split of the list's last selection. Such a list
// holds the links its selection took outright and then those it filled in.
// When it gains a link and is cut back, the heuristic sees the old links in
// the same order as the last time (distinct distances), and each keeps its
// decision: a link taken was pruned by no link taken before it, a link filled
// in was pruned by one that is still taken. Only the new link can change
// that: it is measured against the links taken before it, and, if taken,
// against the links taken after it. If it prunes one of those, the decisions
// after it can change, and the whole heuristic runs instead.
#include <algorithm>
#include <vector>

#include "orv/metric.hpp"
#include "selection.hpp"

namespace orv {

// The heuristic's pruning test between node `from` and each of the first
// count nodes of s.split_ids: whether the two lie nearer to each other than
// the matching s.split_limits entry, the distance from the base of the one
// that may be pruned. Only "d < limit" is asked, so a Euclidean sum may stop
// past the largest limit.
bool GraphBuilder::any_nearer(const MetricView& v, int32_t from, int32_t count) {
    if (count == 0) return false;
    const float* limits = s_.split_limits.data();
    float bound = limits[0];
    for (int32_t i = 1; i < count; ++i) bound = std::max(bound, limits[i]);
    std::vector<float>& d = s_.split_dists;
    d.resize(size_t(count));
    with_metric(v.metric_type, [&](auto m) {
        MetricOps<decltype(m)::value>::batch(v, v.nodes.row(from), v.nodes.norms[size_t(from)],
                                             s_.split_ids.data(), count, d.data(), bound);
    });
    for (int32_t i = 0; i < count; ++i)
        if (limits[i] > d[size_t(i)]) return true;
    return false;
}

// The shrink of n's full layer-0 list l, whose last link is the new one and
// whose first `split` links the last selection took; s.dists holds the list's
// distances from n. False, with nothing changed, where the whole heuristic
// must run: ties, NaN, a negative stored norm (distances not symmetric), or a
// new link that prunes a link taken after it.
bool GraphBuilder::shrink_by_split(const BuildTarget& g, int32_t n, const LinkSpan& l,
                                   int32_t split, int32_t cap) {
    BuildScratch& s = s_;
    NodeStore& nodes = g.nodes;
    const int32_t last = l.count - 1;
    if (split > last || nodes.norms[size_t(n)] < 0.0f) return false;
    // Records by list position, in ascending order of distance.
    auto& order = s.split_order;
    order.clear();
    for (int32_t j = 0; j < l.count; ++j) {
        if (nodes.norms[size_t(l.ids[j])] < 0.0f) return false;
        order.push_back({s.dists[size_t(j)], j});
    }
    if (!sort_strictly_ascending(order)) return false;
    auto& taken = s.split_taken;
    auto& ids = s.split_ids;
    auto& limits = s.split_limits;
    taken.clear();
    s.pruned.clear();
    for (size_t i = 0; i < order.size() && int32_t(taken.size()) < cap; ++i) {
        const int32_t pos = order[i].id;
        bool take = pos < split;
        if (pos == last) {
            // The new link against the links taken before it (at its own distance)...
            ids.clear();
            limits.clear();
            for (int32_t t : taken) {
                ids.push_back(l.ids[t]);
                limits.push_back(order[i].dist);
            }
            take = !any_nearer(g.view, l.ids[last], int32_t(ids.size()));
            // ...and, if taken, the links taken after it against it (at theirs).
            if (take) {
                ids.clear();
                limits.clear();
                for (size_t k = i + 1; k < order.size(); ++k) {
                    if (order[k].id >= split) continue;
                    ids.push_back(l.ids[order[k].id]);
                    limits.push_back(order[k].dist);
                }
                if (any_nearer(g.view, l.ids[last], int32_t(ids.size()))) return false;
            }
        }
        if (take)
            taken.push_back(pos);
        else
            s.pruned.push_back(order[i]);
    }
    s.selected.clear();
    for (int32_t t : taken) s.selected.push_back(l.ids[t]);
    for (const NodeDist& r : s.pruned) {
        if (int32_t(s.selected.size()) >= cap) break;
        s.selected.push_back(l.ids[r.id]);
    }
    nodes.set_links(n, 0, s.selected.data(), int32_t(s.selected.size()));
    nodes.split0[size_t(n)] = split_of(int32_t(taken.size()));
    return true;
}

}  // namespace orv
