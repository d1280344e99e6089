// The build: level draws, the planning of a new node's links, neighbour
// selection, reverse linking and the shrinks of lists grown past their cap.
// Its searches run through a GraphSearcher; it owns the level generator and
// its working memory, and inserts one row per call.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <shared_mutex>
#include <vector>

#include "orv/graph_searcher.hpp"
#include "orv/metric_view.hpp"
#include "orv/node_store.hpp"
#include "orv/scratch.hpp"

namespace orv {

// Largest table of selected-to-candidate distances the neighbour heuristic keeps;
// past it the heuristic measures one candidate at a time.
constexpr size_t MAX_PAIR_TABLE = size_t(1) << 16;

// 1 / ln(m) rounded to float: the multiplier of the level draw.
float level_mult_for(int32_t m);

// What one insertion works on: the rows and links it changes, the entry point
// it may move, the caps of the lists, and the view the distances come from
// (over the same nodes).
struct BuildTarget {
    NodeStore& nodes;
    int32_t& ep_id;
    int32_t& ep_layer;
    int32_t max_m;
    int32_t max_m_0;
    MetricView view;
};

struct BuildScratch {
    // Candidates of a selection, nearest first.
    std::vector<NodeDist> work;
    // A list's records in list order, for a shrink.
    std::vector<NodeDist> pushed;
    std::vector<NodeDist> pruned;
    // The links a shrink keeps.
    std::vector<int32_t> selected;
    // A list's distances from its node, or those of one memo batch.
    std::vector<int32_t> ids;
    std::vector<float> dists;
    // Neighbour selection: distances from each selected node to later candidates.
    std::vector<float> pair_dist;
    std::vector<int32_t> row_end;
    std::vector<int32_t> cand_ids;
    // Poincaré: each candidate's argument x of arcosh from the base.
    std::vector<float> cand_x;
    // Distances of the ids a selection returned, in the same order.
    std::vector<float> out_dist;
    // How many of them the selection took outright, before filling in.
    int32_t taken = 0;
    // A memo shrink: distances, pruning rows and ids by slot, the slot of each
    // list position, and the slots kept.
    std::vector<float> slot_dist;
    std::vector<uint64_t> rows;
    std::vector<int32_t> slot_ids;
    std::vector<int32_t> pos_slot;
    std::vector<int32_t> slots;
    // A split shrink: the list's records by position in ascending order, the
    // positions taken, and the nodes, limits and distances of one pruning test.
    std::vector<NodeDist> split_order;
    std::vector<int32_t> split_taken;
    std::vector<int32_t> split_ids;
    // A list's ids as read once for a memo seed.
    std::vector<int32_t> seed_ids;
    std::vector<float> split_limits;
    std::vector<float> split_dists;
};

class GraphBuilder {
  public:
    // Draws levels for lists capped at m, from a seed of the operating system.
    explicit GraphBuilder(int32_t m);
    GraphBuilder(const GraphBuilder&) = delete;
    GraphBuilder& operator=(const GraphBuilder&) = delete;

    // Levels for lists capped at m from now on; the generator goes on as it was.
    void configure(int32_t m) { level_mult = level_mult_for(m); }

    // Memo entries worked out ahead for full layer-0 lists without a memo,
    // each in a slot of `width` (max_m_0) values: the node, its links as they
    // were, their distances from it and the pruning bits among them. A shrink
    // takes a seed while the node's list is still the one it was made from.
    struct MemoSeeds {
        int32_t width = 0;
        std::vector<int32_t> nodes;
        std::vector<int32_t> ids;
        std::vector<float> dist;
        std::vector<uint64_t> rows;
    };

    // A new node's links on each layer, from the searches and selections made
    // before it is appended, with what the layer-0 shrinks read back.
    struct Plan {
        int32_t level = 0;
        std::vector<std::vector<int32_t>> links;
        // Layer-0 distances of the chosen neighbours from the new node; the same
        // as theirs from it, since distances are symmetric while the memo is on.
        std::vector<float> dist0;
        // The layer-0 beam's final top: the search's kept distances below it are exact.
        float worst0 = INFINITY;
        // How many of the new node's layer-0 links its selection took outright.
        int32_t taken0 = 0;
        // Recorded only when `record` is set (a plan made ahead of its commit):
        // the nodes whose lists the searches read; the layer-0 distances kept
        // for the memo shrinks, in the order they were kept; every distance
        // the layer searches measured; and per layer, the beam the selection
        // started from and the distance of its first choice.
        bool record = false;
        std::vector<int32_t> reads;
        std::vector<NodeDist> kept;
        std::vector<MeasuredRecord> measured;
        std::vector<std::vector<NodeDist>> beams;
        std::vector<float> first_dist;
        // Made ahead: the memo seeds of its layer-0 neighbours.
        MemoSeeds seeds;
    };

    // Appends a row without links. A full index (2^31 - 1 nodes) is a length_error.
    void insert_flat(const BuildTarget& g, const float* row, uint64_t mask);
    // Appends a row and links it into every layer of its drawn level. A failure
    // (memory, a full index) leaves the graph as it was.
    void insert_linked(const BuildTarget& g, const float* row, uint64_t mask,
                       int32_t ef_construction);
    // insert_linked with the row's squared norm and level already known.
    void insert_linked_at(const BuildTarget& g, const float* row, uint64_t mask, float sq,
                          int32_t level, int32_t ef_construction);
    // The plan of a row of squared norm sq at `level`. Reads the graph and
    // writes only this builder's own memory, so builders of their own plan
    // side by side over a graph that nothing changes meanwhile.
    // With `earlier`, a plan of the same row made before the graph changed, its
    // searches take the distances it measured where they decide alike, and a
    // layer whose beam comes out the same takes its selection. With
    // `upper_lock`, held shared while the entry point and upper layers are read.
    void plan_links(const BuildTarget& g, const float* v, float sq, int32_t level, int32_t ef,
                    Plan& plan, const Plan* earlier = nullptr,
                    std::shared_mutex* upper_lock = nullptr);
    // Appends the row and links it as the plan says; a recorded plan (made
    // ahead, by another builder) brings its kept distances along. What
    // insert_linked does after planning.
    void commit_linked(const BuildTarget& g, const float* row, uint64_t mask, float sq,
                       const Plan& plan);
    // For the layer-0 neighbours whose lists the new link will overflow: exact
    // distances from the row to their links, added to plan.kept, so that the
    // shrinks at the commit find them (planning ahead, where threads are spare).
    void prepare_shrinks(const BuildTarget& g, const float* v, float sq, Plan& plan);
    // Memo seeds of a plan made ahead, for the full layer-0 lists without a
    // memo that it links to: what the memo shrink works out for such a list,
    // by the same sums, with the list it was made from.
    void seed_plan(const BuildTarget& g, Plan& plan);
    // Seeds the memo shrinks of the following commits may take, or none.
    void use_memo_seeds(const MemoSeeds* seeds) { seeds_ = seeds; }
    // The next `count` levels draw_level would give, leaving the generator as it is.
    std::vector<int32_t> peek_levels(int64_t count) const;
    int32_t draw_level();
    // The heuristic's choice of at most cap ids from the candidates (a max-heap,
    // emptied), as a shrink or a new node's layer makes it.
    std::vector<int32_t> select_neighbours(const MetricView& v, std::vector<NodeDist>& candidates,
                                           int32_t cap);

    float level_mult;
    std::mt19937 rng;
    std::uniform_real_distribution<double> unit_dist{0.0, 1.0};

  private:
    class Selector;
    void start_plan(Plan& plan, int32_t level, int32_t top, const Plan* earlier, int32_t nodes);
    NodeDist select_layer(const BuildTarget& g, const float* v, float sq, int32_t lc, Plan& plan,
                          const Plan* earlier);
    void link_new_node(const BuildTarget& g, int32_t new_id, const Plan& plan);
    void link_reverse(const BuildTarget& g, int32_t new_id, int32_t n, int32_t layer, int32_t cap);
    bool shrink_by_split(const BuildTarget& g, int32_t n, const LinkSpan& l, int32_t split,
                         int32_t cap);
    bool any_nearer(const MetricView& v, int32_t from, int32_t count);
    void link_reverse_memo(const BuildTarget& g, int32_t new_id, int32_t n, float d_new,
                           float worst, int32_t cap);
    template <int M>
    void memo_pairs(const MetricView& v, const int32_t* ids, int32_t from, int32_t lo, int32_t hi,
                    float bound);
    template <int M>
    void memo_extend(const MetricView& v, int32_t last, float worst, float bound);
    template <int M>
    void memo_table(const MetricView& v, int32_t n, const int32_t* ids, int32_t cnt, float d_new,
                    float worst, bool known);
    bool memo_from_seed(int32_t n, const int32_t* ids, int32_t last);
    void seed_memo(const BuildTarget& g, int32_t n, float d_new, MemoSeeds& seeds);
    template <int M>
    void memo_fill(const MetricView& v, int32_t n, const int32_t* ids, int32_t count, float d_new);
    void memo_select(int32_t cnt, int32_t cap);
    void memo_store(NodeStore& nodes, int32_t n, int32_t cnt);
    void reserve_link_scratch(int32_t max_list);

    BuildScratch s_;
    // The distances the latest layer-0 search of an insertion measured, by node
    // id, for the memo shrinks of its reverse links.
    DistanceCache kept_;
    // The distances of an earlier plan being replayed.
    KnownDistances known_;
    // Memo seeds the shrinks may take, while a parallel build commits.
    const MemoSeeds* seeds_ = nullptr;
};

}  // namespace orv
