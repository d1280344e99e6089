#include <algorithm>
#include <cmath>
#include <cstring>

#include "orv/node_store.hpp"

namespace orv {

void NodeStore::reset(int32_t dim, int32_t cap0) {
    dim_ = dim;
    stride0_ = cap0 + 2;
    vectors.clear();
    norms.clear();
    max_norm = -INFINITY;
    all_finite = true;
    levels.clear();
    masks.clear();
    links0.clear();
    split0.clear();
    upper.clear();
    memo.configure(0, 0);
    tails.configure(dim, false);
}

void TailNorms::configure(int32_t dim, bool wanted) {
    // Past MAX_DIM the rounding allowance would grow too loose to be sure of.
    constexpr int32_t MIN_DIM = 64, MAX_DIM = 100000;
    bounds.clear();
    stride = 0;
    count = 0;
    if (!wanted || dim < MIN_DIM || dim > MAX_DIM) return;
    // At least every 32 components, at most 7 checkpoints.
    const int32_t eighth = (dim + 7) / 8;
    stride = std::max<int32_t>(32, (eighth + 7) / 8 * 8);
    count = std::min<int32_t>((dim - 1) / stride, MAX_TAIL_CHECKS);
}

void tail_norm_bounds(const float* v, size_t dim, int32_t stride, int32_t count, float* out) {
    // Sums of non-negative terms in any order are within (dim + 8) units of
    // rounding of the exact sum; the factor allows twice that, the square
    // root's rounding and any underflow.
    const float grow = 1.0f + float(2 * dim + 64) * 0x1p-24f;
    float tail = 0.0f;
    for (int32_t k = count; k >= 1; --k) {
        const size_t lo = size_t(k) * size_t(stride);
        const size_t hi = k == count ? dim : lo + size_t(stride);
        float lane[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        size_t j = lo;
        for (; j + 8 <= hi; j += 8)
            for (int t = 0; t < 8; ++t) lane[t] += v[j + t] * v[j + t];
        for (; j < hi; ++j) lane[0] += v[j] * v[j];
        for (float x : lane) tail += x;
        out[k - 1] = std::sqrt(tail * grow + 1e-30f) * (1.0f + 0x1p-20f);
    }
}

void NodeStore::use_tail_norms(bool wanted) {
    tails.configure(dim_, wanted);
    if (!tails.on()) return;
    const size_t per = size_t(tails.count);
    // Left uninitialised: every row's bounds are written below.
    tails.bounds.resize(size_t(count()) * per);
    for (int32_t i = 0; i < count(); ++i)
        tail_norm_bounds(row(i), size_t(dim_), tails.stride, tails.count,
                         tails.bounds.data() + size_t(i) * per);
}

void NodeStore::use_link_memo(bool wanted) {
    memo.configure(link_memo_slots(*this, stride0_ - 2, wanted), count());
}

void NodeStore::prepare_derived(bool tail_norms) {
    use_tail_norms(tail_norms);
    use_link_memo(link_memo_pays(dim_, stride0_ - 2));
}

void LinkMemo::configure(int32_t slots_per_node, int32_t n) {
    slots = slots_per_node;
    const size_t cells = size_t(slots) * size_t(n);
    dist.assign(cells, 0.0f);
    rows.assign(cells, 0);
    slot_of.assign(cells, 0);
    valid.assign(slots > 0 ? size_t(n) : 0, 0);
}

bool link_memo_pays(int32_t dim, int32_t cap0) {
    const int64_t per_node =
        int64_t(cap0 + 1) * int64_t(sizeof(float) + sizeof(uint64_t) + sizeof(uint8_t)) + 1;
    return per_node <= int64_t(dim) * int64_t(sizeof(float));
}

int32_t link_memo_slots(const NodeStore& st, int32_t cap0, bool wanted) {
    if (!wanted || cap0 + 1 > MEMO_MAX_SLOTS) return 0;
    // A negative stored norm (only a loaded file holds one) is recomputed on the
    // candidate side alone, so distances lose the symmetry the memo needs.
    for (float v : st.norms)
        if (v < 0.0f) return 0;
    return cap0 + 1;
}

namespace {
// Grows capacity by half again, not doubled: the vector block is most of the
// index's memory.
template <class T, class A>
void grow_for(std::vector<T, A>& v, size_t extra) {
    size_t need = v.size() + extra;
    if (need <= v.capacity()) return;
    v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
}
}  // namespace

void NodeStore::reserve_one() {
    grow_for(vectors, size_t(dim_));
    grow_for(norms, 1);
    grow_for(levels, 1);
    grow_for(masks, 1);
    grow_for(links0, size_t(stride0_));
    grow_for(split0, 1);
    grow_for(upper, 1);
    if (memo.on()) {
        grow_for(memo.dist, size_t(memo.slots));
        grow_for(memo.rows, size_t(memo.slots));
        grow_for(memo.slot_of, size_t(memo.slots));
        grow_for(memo.valid, 1);
    }
    if (tails.on()) grow_for(tails.bounds, size_t(tails.count));
}

int32_t NodeStore::append(const float* v, float norm, uint64_t mask, int32_t level,
                          int32_t cap_upper) {
    // Upper lists first: the only allocation here, made before anything is appended.
    std::vector<std::vector<int32_t>> up{size_t(level)};
    for (auto& l : up) l.reserve(size_t(cap_upper) + 1);
    int32_t id = count();
    vectors.insert(vectors.end(), v, v + dim_);
    norms.push_back(norm);
    note_row(v, norm);
    masks.push_back(mask);
    levels.push_back(level);
    links0.insert(links0.end(), size_t(stride0_), 0);
    split0.push_back(SPLIT_UNKNOWN);
    upper.push_back(std::move(up));
    if (memo.on()) {
        memo.dist.insert(memo.dist.end(), size_t(memo.slots), 0.0f);
        memo.rows.insert(memo.rows.end(), size_t(memo.slots), 0);
        memo.slot_of.insert(memo.slot_of.end(), size_t(memo.slots), 0);
        memo.valid.push_back(0);
    }
    if (tails.on()) {
        float b[MAX_TAIL_CHECKS];
        tail_norm_bounds(v, size_t(dim_), tails.stride, tails.count, b);
        tails.bounds.insert(tails.bounds.end(), b, b + tails.count);
    }
    return id;
}

void NodeStore::resize_for_load(int32_t n) {
    // Left uninitialised: the loader writes every row.
    vectors.clear();
    vectors.resize(size_t(n) * size_t(dim_));
    norms.assign(size_t(n), 0.0f);
    max_norm = -INFINITY;
    all_finite = true;
    masks.assign(size_t(n), 0);
    levels.assign(size_t(n), 0);
    links0.assign(size_t(n) * size_t(stride0_), 0);
    split0.assign(size_t(n), SPLIT_UNKNOWN);
    upper.clear();
    upper.resize(size_t(n));
    memo.configure(0, n);
}

void NodeStore::init_upper(int32_t id, int32_t level) { upper[size_t(id)].resize(size_t(level)); }

void NodeStore::reserve_upper(int32_t id, int32_t layer, int32_t cap_upper) {
    auto& l = upper[size_t(id)][size_t(layer - 1)];
    l.reserve(std::max(l.size(), size_t(cap_upper)) + 1);
}

// A layer-0 list about to change no longer matches its memo or its split.
void NodeStore::forget_derived0(int32_t id) {
    // Plans made ahead read the memo flag as a hint while this runs.
    if (memo.on()) __atomic_store_n(&memo.valid[size_t(id)], uint8_t(0), __ATOMIC_RELAXED);
    split0[size_t(id)] = SPLIT_UNKNOWN;
}

// Layer-0 lists are written value by value with release stores: a parallel
// build's planners may read a list while it changes (and throw such a plan
// away), and must then see every row an id they read names.
void NodeStore::set_links(int32_t id, int32_t layer, const int32_t* ids, int32_t count) {
    if (layer == 0) {
        forget_derived0(id);
        int32_t* rec = links0.data() + size_t(id) * size_t(stride0_);
        for (int32_t j = 0; j < count; ++j) __atomic_store_n(rec + 1 + j, ids[j], __ATOMIC_RELEASE);
        __atomic_store_n(rec, count, __ATOMIC_RELEASE);
        return;
    }
    std::vector<int32_t>& l = upper[size_t(id)][size_t(layer - 1)];
    l.assign(ids, ids + count);
}

LinkSpan NodeStore::stage_link(int32_t id, int32_t layer, int32_t v) {
    if (layer == 0) {
        forget_derived0(id);
        int32_t* rec = links0.data() + size_t(id) * size_t(stride0_);
        __atomic_store_n(rec + 1 + rec[0], v, __ATOMIC_RELEASE);
        return {rec + 1, rec[0] + 1};
    }
    std::vector<int32_t>& l = upper[size_t(id)][size_t(layer - 1)];
    l.push_back(v);
    return {l.data(), static_cast<int32_t>(l.size())};
}

void NodeStore::publish_links(int32_t id, int32_t layer, int32_t count) {
    if (layer == 0)
        __atomic_store_n(links0.data() + size_t(id) * size_t(stride0_), count, __ATOMIC_RELEASE);
}

void NodeStore::reserve_nodes(int64_t extra) {
    const size_t n = size_t(count()) + size_t(extra);
    vectors.reserve(n * size_t(dim_));
    norms.reserve(n);
    levels.reserve(n);
    masks.reserve(n);
    links0.reserve(n * size_t(stride0_));
    split0.reserve(n);
    upper.reserve(n);
    if (memo.on()) {
        memo.dist.reserve(n * size_t(memo.slots));
        memo.rows.reserve(n * size_t(memo.slots));
        memo.slot_of.reserve(n * size_t(memo.slots));
        memo.valid.reserve(n);
    }
    if (tails.on()) tails.bounds.reserve(n * size_t(tails.count));
}

}  // namespace orv
