// Layer-0 shrinks from the split of the list's last selection. Such a list
// holds the links its selection took outright and then those it filled in.
// When it gains a link and is cut back, the heuristic sees the old links in
// the same order as the last time (distinct distances), and each keeps its
// decision: a link taken was pruned by no link taken before it, a link filled
// in was pruned by one that is still taken. Only the new link can change
// that: it is measured against the links taken before it, and, if taken,
// against the links taken after it. If it prunes one of those, the decisions
// after it can change, and the whole heuristic runs instead.
#include "orv/metric.hpp"
#include "selection.hpp"

namespace orv {

namespace {

// Distances from node `from` to ids; only "d < bound" is asked of them, so a
// Euclidean sum may stop past bound.
void measure_from(const HyperbolicIndex& ix, int32_t from, const int32_t* ids, int32_t count,
                  float* out, float bound) {
    with_metric(ix.metric_type, [&](auto m) {
        MetricOps<decltype(m)::value>::batch(ix, ix.nodes.row(from), ix.nodes.norms[size_t(from)],
                                             ids, count, out, bound);
    });
}

}  // namespace

// Whether no link in taken (those taken before it) prunes the new link.
bool HyperbolicIndex::split_new_taken(int32_t new_id, float d_new, const int32_t* taken,
                                      int32_t count, SearchScratch& s) const {
    if (count == 0) return true;
    s.cand_x.resize(size_t(count));
    measure_from(*this, new_id, taken, count, s.cand_x.data(), d_new);
    for (int32_t i = 0; i < count; ++i)
        if (d_new > s.cand_x[size_t(i)]) return false;
    return true;
}

// Whether the new link prunes one of the links in later (taken after it,
// ascending, at later_dist from the base).
bool HyperbolicIndex::split_new_prunes(int32_t new_id, const int32_t* later,
                                       const float* later_dist, int32_t count,
                                       SearchScratch& s) const {
    if (count == 0) return false;
    s.cand_x.resize(size_t(count));
    measure_from(*this, new_id, later, count, s.cand_x.data(), later_dist[count - 1]);
    for (int32_t i = 0; i < count; ++i)
        if (later_dist[i] > s.cand_x[size_t(i)]) return true;
    return false;
}

// The shrink of n's full layer-0 list l, whose last link is the new one and
// whose first `split` links the last selection took; s.dists holds the list's
// distances from n. False, with nothing changed, where the whole heuristic
// must run: ties, NaN, a negative stored norm (distances not symmetric), or a
// new link that prunes a link taken after it.
bool HyperbolicIndex::shrink_by_split(int32_t n, const LinkSpan& l, int32_t split, int32_t cap,
                                      SearchScratch& s) {
    const int32_t last = l.count - 1;
    if (split > last || nodes.norms[size_t(n)] < 0.0f) return false;
    // Records by list position, in ascending order of distance.
    auto& order = s.work;
    order.clear();
    for (int32_t j = 0; j < l.count; ++j) {
        if (nodes.norms[size_t(l.ids[j])] < 0.0f) return false;
        order.push_back({s.dists[size_t(j)], j});
    }
    if (!sort_strictly_ascending(order)) return false;
    auto& taken = s.row_end;  // positions taken, in order
    auto& ids = s.cand_ids;
    taken.clear();
    s.pruned.clear();
    for (size_t i = 0; i < order.size() && int32_t(taken.size()) < cap; ++i) {
        const int32_t pos = order[i].id;
        bool take = pos < split;
        if (pos == last) {
            ids.clear();
            for (int32_t t : taken) ids.push_back(l.ids[t]);
            take = split_new_taken(l.ids[last], order[i].dist, ids.data(), int32_t(ids.size()), s);
            if (take) {
                ids.clear();
                s.out_dist.clear();
                for (size_t k = i + 1; k < order.size(); ++k) {
                    if (order[k].id >= split) continue;
                    ids.push_back(l.ids[order[k].id]);
                    s.out_dist.push_back(order[k].dist);
                }
                if (split_new_prunes(l.ids[last], ids.data(), s.out_dist.data(),
                                     int32_t(ids.size()), s))
                    return false;
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
