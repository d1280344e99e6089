// The parallel build: plan rounds on a pool of threads that lives for the
// batch, commits on the calling thread. Planning only reads the graph and
// commits only run while no plan does, so no thread reads a list being written.
#include "orv/parallel_build.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace orv {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Waits this many polls before going to sleep: a round starts again within
// a fraction of a millisecond, where waking a sleeping thread takes longer.
constexpr int SPIN_POLLS = 1 << 14;

inline void pause_briefly() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// Runs body(thread) on every thread of the pool, the caller's as thread 0, and
// waits for all. body must not throw.
class RoundPool {
  public:
    RoundPool(int32_t threads, std::function<void(int32_t)> body) : body_(std::move(body)) {
        try {
            for (int32_t t = 1; t < threads; ++t) workers_.emplace_back([this, t] { serve(t); });
        } catch (...) {
            // No thread to spare: the ones started and the caller do the work.
        }
    }
    RoundPool(const RoundPool&) = delete;
    RoundPool& operator=(const RoundPool&) = delete;
    ~RoundPool() {
        {
            std::lock_guard<std::mutex> hold(mu_);
            stop_ = true;
        }
        start_.notify_all();
        for (std::thread& w : workers_) w.join();
    }

    int32_t threads() const { return int32_t(workers_.size()) + 1; }

    void run() {
        busy_.store(int32_t(workers_.size()));
        {
            std::lock_guard<std::mutex> hold(mu_);
            round_.fetch_add(1);
        }
        start_.notify_all();
        body_(0);
        for (int i = 0; i < SPIN_POLLS && busy_.load() != 0; ++i) pause_briefly();
        std::unique_lock<std::mutex> hold(mu_);
        done_.wait(hold, [this] { return busy_.load() == 0; });
    }

  private:
    void serve(int32_t t) {
        uint64_t seen = 0;
        for (;;) {
            for (int i = 0; i < SPIN_POLLS && round_.load() == seen; ++i) pause_briefly();
            {
                std::unique_lock<std::mutex> hold(mu_);
                start_.wait(hold, [&] { return stop_ || round_.load() != seen; });
                if (stop_) return;
                seen = round_.load();
            }
            body_(t);
            if (busy_.fetch_sub(1) == 1) {
                std::lock_guard<std::mutex> hold(mu_);
                done_.notify_one();
            }
        }
    }

    std::function<void(int32_t)> body_;
    std::vector<std::thread> workers_;
    std::mutex mu_;
    std::condition_variable start_, done_;
    std::atomic<uint64_t> round_{0};
    std::atomic<int32_t> busy_{0};
    bool stop_ = false;
};

using Plan = GraphBuilder::Plan;

// The builder's shrinks may take the round's memo seeds while this lives.
class SeedsInUse {
  public:
    SeedsInUse(GraphBuilder& b, const GraphBuilder::MemoSeeds& seeds) : b_(b) {
        b_.use_memo_seeds(&seeds);
    }
    SeedsInUse(const SeedsInUse&) = delete;
    SeedsInUse& operator=(const SeedsInUse&) = delete;
    ~SeedsInUse() { b_.use_memo_seeds(nullptr); }

  private:
    GraphBuilder& b_;
};

class ParallelBuild {
  public:
    ParallelBuild(HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks, int32_t ef,
                  int32_t threads)
        : ix_(ix), rows_(rows), masks_(masks), ef_(ef),
          touched_(size_t(ix.size()) + size_t(rows.rows), 0), seeded_(touched_.size(), 0),
          pool_(threads, [this](int32_t t) { seeding_ ? seed_share(t) : plan_share(t); }) {
        const int32_t m = ix.target().max_m;
        for (int32_t t = 0; t < pool_.threads(); ++t)
            planners_.push_back(std::make_unique<GraphBuilder>(m));
        plans_.resize(size_t(pool_.threads()) * AHEAD_ROWS_PER_THREAD);
    }

    int64_t run(const RowProgress& progress, ParallelBuildStats* stats);

  private:
    void plan_round(int64_t first, int64_t count);
    void plan_share(int32_t t);
    void seed_round();
    void seed_share(int32_t t);
    void plan_row(GraphBuilder& planner, size_t j);
    bool still_valid(const Plan& plan) const;
    void mark_changed(const Plan& plan);
    void commit_row(size_t j, ParallelBuildStats* stats);

    HyperbolicIndex& ix_;
    const RowBlock& rows_;
    const MaskBlock& masks_;
    int32_t ef_;
    // The round in which each node's lists last changed, 0 for none.
    std::vector<uint32_t> touched_;
    // The round in which each node was last given a memo seed.
    std::vector<uint32_t> seeded_;
    uint32_t round_ = 0;
    RoundPool pool_;
    std::vector<std::unique_ptr<GraphBuilder>> planners_;
    std::vector<Plan> plans_;
    Plan replay_;
    // The memo seeds of the round, each node's once, and what they are made from.
    GraphBuilder::MemoSeeds seeds_;
    std::vector<int32_t> seed_nodes_;
    std::vector<float> seed_d_new_;
    bool seeding_ = false;
    std::vector<char> planned_;
    std::vector<float> norms_;
    // The round: its first row, its size, the next row to plan, the entry point.
    int64_t first_ = 0;
    int64_t count_ = 0;
    // The tasks of the pool's current phase (rows to plan or memos to seed),
    // and the next one to take.
    int64_t tasks_ = 0;
    std::atomic<int64_t> next_{0};
    EntryPoint entry_;
};

void ParallelBuild::plan_row(GraphBuilder& planner, size_t j) {
    const BuildTarget g = ix_.target();
    const float* row = rows_.row(first_ + int64_t(j));
    Plan& plan = plans_[j];
    plan.record = true;
    planner.plan_links(g, row, norms_[j], plan.level, ef_, plan);
    planner.prepare_shrinks(g, row, norms_[j], plan);
    planned_[j] = 1;
}

void ParallelBuild::plan_share(int32_t t) {
    GraphBuilder& planner = *planners_[size_t(t)];
    for (int64_t j; (j = next_++) < tasks_;) {
        try {
            plan_row(planner, size_t(j));
        } catch (...) {
            // Left unplanned, the row is planned again at its commit, which
            // then fails or not as the one-by-one insertion would.
        }
    }
}

void ParallelBuild::plan_round(int64_t first, int64_t count) {
    const BuildTarget g = ix_.target();
    first_ = first;
    count_ = count;
    seeds_.nodes.clear();
    ++round_;
    entry_ = {g.ep_id, g.ep_layer};
    const std::vector<int32_t> levels = ix_.graph_builder().peek_levels(count);
    norms_.resize(size_t(count));
    planned_.assign(size_t(count), 0);
    for (int64_t j = 0; j < count; ++j) {
        norms_[size_t(j)] = g.view.kernels->sq_norm(rows_.row(first + j), size_t(g.view.dimension));
        plans_[size_t(j)].level = levels[size_t(j)];
    }
    // With no entry point yet there is nothing to plan against.
    if (g.ep_id < 0 || g.nodes.count() == 0) return;
    tasks_ = count;
    next_ = 0;
    pool_.run();
    seed_round();
}

void ParallelBuild::seed_share(int32_t t) {
    GraphBuilder& planner = *planners_[size_t(t)];
    const BuildTarget g = ix_.target();
    for (int64_t k; (k = next_++) < tasks_;) {
        try {
            planner.seed_memo(g, seed_nodes_[size_t(k)], seed_d_new_[size_t(k)], seeds_, size_t(k));
        } catch (...) {
            // Without its seed the shrink works the memo out itself.
        }
    }
}

// The full layer-0 lists without memo that the round's plans link to, each
// seeded once, from the first plan's distance to it, side by side.
void ParallelBuild::seed_round() {
    const BuildTarget g = ix_.target();
    std::vector<int32_t>& nodes = seed_nodes_;
    nodes.clear();
    seed_d_new_.clear();
    if (g.nodes.memo.on()) {
        for (size_t j = 0; j < size_t(count_); ++j) {
            if (!planned_[j] || plans_[j].links.empty()) continue;
            const std::vector<int32_t>& chosen = plans_[j].links[0];
            for (size_t i = 0; i < chosen.size(); ++i) {
                const int32_t n = chosen[i];
                if (seeded_[size_t(n)] == round_ || g.nodes.memo.valid[size_t(n)] ||
                    g.nodes.links(n, 0).count != g.max_m_0)
                    continue;
                seeded_[size_t(n)] = round_;
                nodes.push_back(n);
                seed_d_new_.push_back(plans_[j].dist0[i]);
            }
        }
    }
    const size_t w = size_t(g.max_m_0), k = nodes.size();
    seeds_.width = g.max_m_0;
    seeds_.nodes.assign(k, -1);
    seeds_.ids.resize(k * w);
    seeds_.dist.resize(k * w);
    seeds_.rows.resize(k * w);
    // Each task fills its slot; one that fails leaves it at -1.
    if (k == 0) return;
    tasks_ = int64_t(k);
    next_ = 0;
    seeding_ = true;
    pool_.run();
    seeding_ = false;
}

bool ParallelBuild::still_valid(const Plan& plan) const {
    const BuildTarget g = ix_.target();
    if (g.ep_id != entry_.id || g.ep_layer != entry_.layer) return false;
    for (int32_t id : plan.reads)
        if (touched_[size_t(id)] == round_) return false;
    return true;
}

void ParallelBuild::mark_changed(const Plan& plan) {
    for (const std::vector<int32_t>& layer : plan.links)
        for (int32_t n : layer) touched_[size_t(n)] = round_;
}

void ParallelBuild::commit_row(size_t j, ParallelBuildStats* stats) {
    const BuildTarget g = ix_.target();
    GraphBuilder& builder = ix_.graph_builder();
    if (g.nodes.count() == INT32_MAX) throw std::length_error("index is full: node ids are 32-bit");
    const int64_t r = first_ + int64_t(j);
    const int32_t level = builder.draw_level();
    Plan& ahead = plans_[j];
    const bool planned = planned_[j] && ahead.level == level;
    if (planned && still_valid(ahead)) {
        builder.commit_linked(g, rows_.row(r), masks_.at(r), norms_[j], ahead);
        if (stats != nullptr) ++stats->reused;
        mark_changed(ahead);
        return;
    }
    // Planned again on the graph as it is now, with what the plan made ahead measured.
    Plan& plan = replay_;
    plan.links.clear();
    plan.level = level;
    if (g.nodes.count() > 0 && g.ep_id >= 0)
        builder.plan_links(g, rows_.row(r), norms_[j], level, ef_, plan,
                           planned ? &ahead : nullptr);
    builder.commit_linked(g, rows_.row(r), masks_.at(r), norms_[j], plan);
    mark_changed(plan);
}

int64_t ParallelBuild::run(const RowProgress& progress, ParallelBuildStats* stats) {
    const int64_t per_round = int64_t(plans_.size());
    for (int64_t first = 0; first < rows_.rows; first += per_round) {
        const int64_t count = std::min(per_round, rows_.rows - first);
        const Clock::time_point t0 = Clock::now();
        plan_round(first, count);
        const Clock::time_point t1 = Clock::now();
        const SeedsInUse in_use(ix_.graph_builder(), seeds_);
        for (int64_t j = 0; j < count; ++j) {
            commit_row(size_t(j), stats);
            if (progress && !progress(first + j + 1)) return first + j + 1;
        }
        if (stats != nullptr) {
            stats->rows += count;
            stats->plan_seconds += std::chrono::duration<double>(t1 - t0).count();
            stats->commit_seconds += seconds_since(t1);
        }
    }
    return rows_.rows;
}

}  // namespace

int64_t add_linked_parallel(HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks,
                            int32_t ef_construction, int32_t threads, const RowProgress& progress,
                            ParallelBuildStats* stats) {
    ParallelBuild build(ix, rows, masks, ef_construction, threads);
    return build.run(progress, stats);
}

}  // namespace orv
