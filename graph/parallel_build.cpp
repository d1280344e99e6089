// The parallel build: every thread plans rows ahead over the graph while the
// calling thread commits them in order, one at a time. Plans read the graph
// while commits write it, so a plan logs the lists it read; at its commit it
// is taken as it is only where no commit since it began changed any of them
// (nor the entry point), and otherwise its row is planned again there.
#include "orv/parallel_build.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace orv {

namespace {

using Clock = std::chrono::steady_clock;
using Plan = GraphBuilder::Plan;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Polls this many times before yielding: the row waited for is mostly a
// fraction of a millisecond away, but with more threads than cores a thread
// that keeps polling keeps the one it waits for off its core.
constexpr int SPIN_POLLS = 1 << 10;

class Backoff {
  public:
    void wait() {
        if (polls_ < SPIN_POLLS) {
            ++polls_;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            return;
        }
        std::this_thread::yield();
    }

  private:
    int polls_ = 0;
};

// Rows at least this long have the shrinks' distances measured ahead: it
// spares the commits more than it costs the planners (Fashion, 784-d: 3 %
// faster), where on shorter rows the commits' own cache decides most of them
// without a sum (glosses, 128-d: 4 % slower with it).
constexpr int32_t PREPARE_MIN_DIM = 256;

enum SlotState : int32_t { EMPTY, READY, FAILED };

// A row planned ahead: its plan, and how many rows were committed when the
// plan began (each later commit may have changed what it read).
struct AheadSlot {
    Plan plan;
    int64_t base = 0;
    std::atomic<int32_t> state{EMPTY};
};

// The builder's shrinks may take a plan's memo seeds while this lives.
class SeedsInUse {
  public:
    SeedsInUse(GraphBuilder& b, const GraphBuilder::MemoSeeds* seeds) : b_(b) {
        b_.use_memo_seeds(seeds);
    }
    SeedsInUse(const SeedsInUse&) = delete;
    SeedsInUse& operator=(const SeedsInUse&) = delete;
    ~SeedsInUse() { b_.use_memo_seeds(nullptr); }

  private:
    GraphBuilder& b_;
};

// The threads' stopwatch: planning time summed per thread, read once they stop.
struct ThreadTimes {
    double plan_seconds = 0.0;
    char pad[56];
};

class ParallelBuild {
  public:
    ParallelBuild(HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks, int32_t ef,
                  int32_t threads);
    ParallelBuild(const ParallelBuild&) = delete;
    ParallelBuild& operator=(const ParallelBuild&) = delete;
    ~ParallelBuild();

    int64_t run(const RowProgress& progress, ParallelBuildStats* stats);

  private:
    AheadSlot& slot(int64_t j) { return slots_[size_t(j % int64_t(slots_.size()))]; }
    int64_t claim();
    void plan_ahead(int32_t t, int64_t j);
    void work(int32_t t);
    void start_workers(int32_t threads);
    void stop_workers();
    void wait_for_plan(int64_t j);
    bool still_valid(const AheadSlot& s) const;
    void note_lists(const Plan& plan);
    void mark_changed(const Plan& plan, int64_t commit);
    void commit_row(int64_t j, ParallelBuildStats* stats);

    HyperbolicIndex& ix_;
    const RowBlock& rows_;
    const MaskBlock& masks_;
    int32_t ef_;
    int32_t threads_;
    std::vector<int32_t> levels_;
    std::vector<float> norms_;
    std::vector<AheadSlot> slots_;
    std::vector<std::unique_ptr<GraphBuilder>> planners_;
    std::vector<ThreadTimes> times_;
    // Committer only: the commit (1-based row of the batch) that last changed
    // each node's lists, 0 for none, and the one that last moved the entry point.
    std::vector<uint32_t> changed_at_;
    uint32_t entry_moved_at_ = 0;
    Plan replay_;
    // The layer-0 lists a commit links to, as they were before it: each count, then its ids.
    std::vector<int32_t> before_;
    // Rows committed, and rows claimed for planning.
    std::atomic<int64_t> committed_{0};
    std::atomic<int64_t> claimed_{0};
    std::atomic<bool> stop_{false};
    // Held shared by a plan while it reads the entry point and upper lists,
    // alone by a commit that changes them.
    std::shared_mutex upper_;
    std::vector<std::thread> workers_;
    double wait_seconds_ = 0.0;
};

ParallelBuild::ParallelBuild(HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks,
                             int32_t ef, int32_t threads)
    : ix_(ix), rows_(rows), masks_(masks), ef_(ef), threads_(threads),
      levels_(ix.graph_builder().peek_levels(rows.rows)), norms_(size_t(rows.rows)),
      slots_(size_t(threads) * AHEAD_ROWS_PER_THREAD), times_(size_t(threads)),
      changed_at_(size_t(ix.size()) + size_t(rows.rows), 0) {
    const BuildTarget g = ix.target();
    for (int64_t j = 0; j < rows.rows; ++j)
        norms_[size_t(j)] = g.view.kernels->sq_norm(rows.row(j), size_t(g.view.dimension));
    for (int32_t t = 0; t < threads; ++t)
        planners_.push_back(std::make_unique<GraphBuilder>(g.max_m));
    // Nothing the commits append may move a block a plan is reading, nor
    // raise the largest norm, which plans read.
    g.nodes.reserve_nodes(rows.rows);
    for (float sq : norms_) g.nodes.max_norm = std::max(g.nodes.max_norm, sq);
    g.nodes.set_id_room(int32_t(size_t(ix.size()) + size_t(rows.rows)));
}

ParallelBuild::~ParallelBuild() {
    stop_workers();
    ix_.target().nodes.set_id_room(0);
}

// The next row to plan, -1 while the window ahead of the commits is full, or
// the batch's size once every row is taken.
int64_t ParallelBuild::claim() {
    int64_t j = claimed_.load();
    for (;;) {
        if (j >= rows_.rows) return rows_.rows;
        if (j >= committed_.load(std::memory_order_acquire) + int64_t(slots_.size())) return -1;
        if (claimed_.compare_exchange_weak(j, j + 1)) return j;
    }
}

void ParallelBuild::plan_ahead(int32_t t, int64_t j) {
    const Clock::time_point t0 = Clock::now();
    AheadSlot& s = slot(j);
    // Read before the graph: every commit up to here is whole in what the plan reads.
    s.base = committed_.load(std::memory_order_acquire);
    s.plan.record = true;
    int32_t state = READY;
    try {
        GraphBuilder& planner = *planners_[size_t(t)];
        const BuildTarget g = ix_.target();
        const float* row = rows_.row(j);
        planner.plan_links(g, row, norms_[size_t(j)], levels_[size_t(j)], ef_, s.plan, nullptr,
                           &upper_);
        if (g.view.dimension >= PREPARE_MIN_DIM)
            planner.prepare_shrinks(g, row, norms_[size_t(j)], s.plan);
        planner.seed_plan(g, s.plan);
    } catch (...) {
        // Planned again at its commit, which then fails or not as the
        // one-by-one insertion would.
        state = FAILED;
    }
    s.state.store(state, std::memory_order_release);
    times_[size_t(t)].plan_seconds += seconds_since(t0);
}

void ParallelBuild::work(int32_t t) {
    Backoff backoff;
    while (!stop_.load(std::memory_order_relaxed)) {
        const int64_t j = claim();
        if (j >= rows_.rows) return;
        if (j < 0) {
            backoff.wait();
            continue;
        }
        backoff = Backoff();
        plan_ahead(t, j);
    }
}

void ParallelBuild::start_workers(int32_t threads) {
    try {
        for (int32_t t = 1; t < threads; ++t) workers_.emplace_back([this, t] { work(t); });
    } catch (...) {
        // No thread to spare: the ones started and the caller do the work.
    }
}

void ParallelBuild::stop_workers() {
    stop_.store(true);
    for (std::thread& w : workers_) w.join();
    workers_.clear();
}

// Until row j's plan is there: plans it here if no thread has taken it, and
// meanwhile plans rows further ahead.
void ParallelBuild::wait_for_plan(int64_t j) {
    const Clock::time_point t0 = Clock::now();
    Backoff backoff;
    while (slot(j).state.load(std::memory_order_acquire) == EMPTY) {
        const int64_t k = claim();
        if (k >= 0 && k < rows_.rows) {
            plan_ahead(0, k);
            continue;
        }
        backoff.wait();
    }
    wait_seconds_ += seconds_since(t0);
}

bool ParallelBuild::still_valid(const AheadSlot& s) const {
    if (entry_moved_at_ > s.base) return false;
    for (int32_t id : s.plan.reads)
        if (changed_at_[size_t(id)] > s.base) return false;
    return true;
}

void ParallelBuild::note_lists(const Plan& plan) {
    const NodeStore& nodes = ix_.target().nodes;
    before_.clear();
    if (plan.links.empty()) return;
    for (int32_t n : plan.links[0]) {
        const LinkSpan l = nodes.links(n, 0);
        before_.push_back(l.count);
        before_.insert(before_.end(), l.ids, l.ids + l.count);
    }
}

// The lists the commit changed: those it linked to, but for the layer-0 lists
// that a shrink cut back to what they were. Plans may still trust those: the
// new link is kept out of sight until the shrink has run (stage_link).
void ParallelBuild::mark_changed(const Plan& plan, int64_t commit) {
    const NodeStore& nodes = ix_.target().nodes;
    const uint32_t c = uint32_t(commit);
    for (size_t lc = 1; lc < plan.links.size(); ++lc)
        for (int32_t n : plan.links[lc]) changed_at_[size_t(n)] = c;
    if (plan.links.empty()) return;
    size_t at = 0;
    for (int32_t n : plan.links[0]) {
        const int32_t was = before_[at];
        const int32_t* old = before_.data() + at + 1;
        at += 1 + size_t(was);
        const LinkSpan l = nodes.links(n, 0);
        if (l.count != was || !std::equal(old, old + was, l.ids)) changed_at_[size_t(n)] = c;
    }
}

void ParallelBuild::commit_row(int64_t j, ParallelBuildStats* stats) {
    const BuildTarget g = ix_.target();
    GraphBuilder& builder = ix_.graph_builder();
    if (g.nodes.count() == INT32_MAX) throw std::length_error("index is full: node ids are 32-bit");
    const int32_t level = builder.draw_level();
    const float* row = rows_.row(j);
    const float sq = norms_[size_t(j)];
    AheadSlot& s = slot(j);
    const bool planned = s.state.load(std::memory_order_acquire) == READY && s.plan.level == level;
    // Only a row above layer 0 changes upper lists or the entry point.
    std::unique_lock<std::shared_mutex> hold(upper_, std::defer_lock);
    if (level > 0) hold.lock();
    const int32_t new_id = g.nodes.count(), entry = g.ep_id;
    const Plan* plan = &s.plan;
    if (planned && still_valid(s)) {
        if (stats != nullptr) ++stats->reused;
    } else {
        // Planned again on the graph as it is now, with what the plan made ahead measured.
        const Clock::time_point t0 = Clock::now();
        replay_.links.clear();
        replay_.level = level;
        if (new_id > 0 && g.ep_id >= 0)
            builder.plan_links(g, row, sq, level, ef_, replay_, planned ? &s.plan : nullptr);
        plan = &replay_;
        if (stats != nullptr) stats->replan_seconds += seconds_since(t0);
    }
    note_lists(*plan);
    {
        // A seed holds for the list it was made from, whichever plan made it.
        const SeedsInUse in_use(builder, planned ? &s.plan.seeds : nullptr);
        builder.commit_linked(g, row, masks_.at(j), sq, *plan);
    }
    mark_changed(*plan, j + 1);
    changed_at_[size_t(new_id)] = uint32_t(j + 1);
    if (g.ep_id != entry) entry_moved_at_ = uint32_t(j + 1);
    s.state.store(EMPTY, std::memory_order_relaxed);
}

int64_t ParallelBuild::run(const RowProgress& progress, ParallelBuildStats* stats) {
    const BuildTarget g = ix_.target();
    double commit_seconds = 0.0;
    int64_t done = rows_.rows;
    bool started = false;
    for (int64_t j = 0; j < rows_.rows; ++j) {
        // Plans need an entry point to start from.
        if (!started && g.ep_id >= 0) {
            started = true;
            claimed_.store(j);
            start_workers(threads_);
        }
        if (g.ep_id >= 0) wait_for_plan(j);
        const Clock::time_point c0 = Clock::now();
        commit_row(j, stats);
        commit_seconds += seconds_since(c0);
        committed_.store(j + 1, std::memory_order_release);
        if (progress && !progress(j + 1)) {
            done = j + 1;
            break;
        }
    }
    stop_workers();
    if (stats != nullptr) {
        stats->rows += done;
        stats->commit_seconds += commit_seconds;
        stats->wait_seconds += wait_seconds_;
        for (const ThreadTimes& t : times_) stats->plan_seconds += t.plan_seconds;
    }
    return done;
}

}  // namespace

int64_t add_linked_parallel(HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks,
                            int32_t ef_construction, int32_t threads, const RowProgress& progress,
                            ParallelBuildStats* stats) {
    ParallelBuild build(ix, rows, masks, ef_construction, threads);
    return build.run(progress, stats);
}

}  // namespace orv
