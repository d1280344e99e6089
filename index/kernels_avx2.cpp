// AVX2 + FMA kernels: eight nodes in the eight lanes. A block of eight
// components of eight rows is transposed in registers, so each lane keeps its
// own index-order chain and gives the same bits as the scalar fused chain; the
// metric epilogues run the scalar formulas lane by lane with the same
// correctly rounded operations.
#include <immintrin.h>
#include <math.h>

#include <array>
#include <utility>

#include "orv/kernels.hpp"
// Its constants only: an inline function used here would be built for AVX2
// and could be the copy that the linker keeps for every caller.
#include "orv/metric.hpp"

namespace orv {
namespace {

constexpr int LANES = 8;

__attribute__((always_inline)) inline void transpose8(__m256 r[8]) {
    __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

template <bool DOT>
inline __m256 step(__m256 qv, __m256 c, __m256 acc) {
    if constexpr (DOT) return _mm256_fmadd_ps(qv, c, acc);
    const __m256 d = _mm256_sub_ps(qv, c);
    return _mm256_fmadd_ps(d, d, acc);
}

// Components FROM..TO-1 of a transposed block, in index order; qb points at
// the query component of the block's first.
template <bool DOT, int FROM, int TO>
inline __m256 accumulate(const float* qb, const __m256 c[8], __m256 acc) {
    for (int t = FROM; t < TO; ++t) acc = step<DOT>(_mm256_broadcast_ss(qb + t), c[t], acc);
    return acc;
}

// Lane l of c[t] gets component j + t of rows[l]. A masked load reads rows
// shorter than eight components without touching memory past their end.
template <bool MASKED>
__attribute__((always_inline)) inline void load_block(const float* const rows[LANES], size_t j,
                                                      __m256i mask, __m256 c[8]) {
    for (int l = 0; l < LANES; ++l)
        c[l] = MASKED ? _mm256_maskload_ps(rows[l], mask) : _mm256_loadu_ps(rows[l] + j);
    transpose8(c);
}

// Per group state of the cosine cut: each lane's norm product, whether it
// may stop, and where its tail bounds start.
struct CutLanes {
    __m256 p;
    __m256 ok;
    __m256i tail_at;
};

inline CutLanes cut_lanes(const CosineCut& c, const int32_t* ids) {
    const __m256i idv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ids));
    const __m256 vn = _mm256_i32gather_ps(c.norms, idv, 4);
    const __m256 p = _mm256_mul_ps(_mm256_set1_ps(c.q_root), _mm256_sqrt_ps(vn));
    const __m256 ok =
        _mm256_and_ps(_mm256_cmp_ps(vn, _mm256_setzero_ps(), _CMP_GE_OQ),
                      _mm256_cmp_ps(p, _mm256_set1_ps(COSINE_MIN_PRODUCT), _CMP_GE_OQ));
    return {p, ok, _mm256_mullo_epi32(idv, _mm256_set1_epi32(c.count))};
}

// Sets u to an upper bound on each lane's final dot product, given its sum s
// up to checkpoint k, and returns the lanes whose distance at u is above the
// bound (NaN and inf never are). The final sum adds the tail's terms, at most
// the product of the two tail norms, and a rounding of at most one unit of
// |partial sum| per step; slack covers twice that, and the few roundings here.
inline int cut_lanes_above(const CosineCut& c, const CutLanes& cl, int k, __m256 s, __m256& u) {
    const __m256 xs = _mm256_i32gather_ps(c.tails + k, cl.tail_at, 4);
    const __m256 b = _mm256_mul_ps(_mm256_set1_ps(c.q_tails[k]), xs);
    const __m256 mag = _mm256_add_ps(_mm256_andnot_ps(_mm256_set1_ps(-0.0f), s), b);
    const __m256 spare =
        _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(c.slack), mag), _mm256_set1_ps(1e-30f));
    u = _mm256_add_ps(_mm256_add_ps(s, b), spare);
    const __m256 d = _mm256_sub_ps(_mm256_set1_ps(1.0f), _mm256_div_ps(u, cl.p));
    __m256 stop = _mm256_and_ps(_mm256_cmp_ps(d, _mm256_set1_ps(c.bound), _CMP_GT_OQ), cl.ok);
    stop = _mm256_and_ps(stop, _mm256_cmp_ps(u, _mm256_set1_ps(1e30f), _CMP_LT_OQ));
    return _mm256_movemask_ps(stop);
}

// The lanes named by the bits of m, as a blend mask.
inline __m256 lane_mask(int m) {
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i set = _mm256_and_si256(_mm256_set1_epi32(m), bit);
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(set, bit));
}

// The lanes of `stop` are done: value is kept for them, and their rows are
// read from the query (in cache) from here on, so their memory is not fetched.
inline void retire(int stop, __m256 value, const float* q, const float* rows[LANES], __m256& kept) {
    kept = _mm256_blendv_ps(kept, value, lane_mask(stop));
    for (int s = stop; s != 0; s &= s - 1) rows[__builtin_ctz(unsigned(s))] = q;
}

// At a checkpoint: retires the live lanes past the bound (Euclidean) or
// whose distance is provably past it (a cosine cut); false once none is live.
template <bool DOT, int G>
__attribute__((always_inline)) inline bool
stop_lanes(const float* q, const float* rows[][LANES], __m256 lim, const CosineCut* cut,
           const CutLanes cl[G], int check, const __m256 acc[G], __m256 kept[G], int live[G]) {
    int running = 0;
    for (int g = 0; g < G; ++g) {
        __m256 value = acc[g];
        int stop;
        if constexpr (DOT)
            stop = cut_lanes_above(*cut, cl[g], check, acc[g], value);
        else
            stop = _mm256_movemask_ps(_mm256_cmp_ps(acc[g], lim, _CMP_GT_OQ));
        stop &= live[g];
        if (stop != 0) {
            retire(stop, value, q, rows[g], kept[g]);
            live[g] &= ~stop;
        }
        running |= live[g];
    }
    return running != 0;
}

// Sums of G groups of eight rows (at least eight components each), one
// index-order chain per lane. The last dim % 8 components come from the block
// that ends with the row, from its component FROM on (the ones before were
// summed already). With
// a finite bound a Euclidean lane may stop once it is above it, and with a cut
// a dot product once its distance is; a stopped lane keeps the value it
// stopped at, and the sums return once every lane has stopped.
// Meanwhile the rows at [ahead, ahead_end) are fetched 4G cache lines per
// block, in step with the sums.
template <bool DOT, int G, int FROM>
inline void row_sums(const float* q, const float* rows[][LANES], size_t dim, __m256 lim,
                     const CosineCut* cut, const int32_t (*ids)[LANES], const char* ahead,
                     const char* ahead_end, __m256 acc[G]) {
    __m256 kept[G];
    int live[G];
    for (int g = 0; g < G; ++g) {
        acc[g] = _mm256_setzero_ps();
        kept[g] = _mm256_setzero_ps();
        live[g] = 0xff;
    }
    __m256 c[8];
    const __m256i none = _mm256_setzero_si256();
    CutLanes cl[G] = {};
    int check = 0;
    size_t check_at = DOT ? SIZE_MAX : 32;
    if constexpr (DOT) {
        if (cut != nullptr) {
            for (int g = 0; g < G; ++g) cl[g] = cut_lanes(*cut, ids[g]);
            check_at = size_t(cut->stride);
        }
    }
    size_t j = 0;
    for (; j + 8 <= dim; j += 8) {
        if (ahead < ahead_end) {
            for (int b = 0; b < 4 * G; ++b) _mm_prefetch(ahead + 64 * b, _MM_HINT_T0);
            ahead += 256 * G;
        }
        for (int g = 0; g < G; ++g) {
            load_block<false>(rows[g], j, none, c);
            acc[g] = accumulate<DOT, 0, 8>(q + j, c, acc[g]);
        }
        if (j + 8 != check_at) continue;
        if (!stop_lanes<DOT, G>(q, rows, lim, cut, cl, check, acc, kept, live)) {
            for (int g = 0; g < G; ++g) acc[g] = kept[g];
            return;
        }
        ++check;
        if constexpr (DOT)
            check_at = check < cut->count ? check_at + size_t(cut->stride) : SIZE_MAX;
        else
            check_at += 32;
    }
    for (int g = 0; g < G; ++g) {
        if constexpr (FROM < 8) {
            load_block<false>(rows[g], dim - 8, none, c);
            acc[g] = accumulate<DOT, FROM, 8>(q + dim - 8, c, acc[g]);
        }
        if (live[g] != 0xff) acc[g] = _mm256_blendv_ps(acc[g], kept[g], lane_mask(~live[g] & 0xff));
    }
}

// Rows of DIM <= 16 components, DIM known when compiled: every loop unrolls and
// the blocks stay in registers (a 10-d scan spent ~40 % of its time on the
// general loop's bookkeeping and spills). Such rows are too short to stop early.
template <bool DOT, int G, int DIM>
__attribute__((always_inline)) inline void
short_row_sums(const float* q, const float* rows[][LANES], __m256 acc[G]) {
    static_assert(DIM >= 1 && DIM <= 16);
    __m256 c[8];
    for (int g = 0; g < G; ++g) acc[g] = _mm256_setzero_ps();
    const __m256i none = _mm256_setzero_si256();
    if constexpr (DIM < 8) {
        const __m256i mask =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(DIM), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        for (int g = 0; g < G; ++g) {
            load_block<true>(rows[g], 0, mask, c);
            acc[g] = accumulate<DOT, 0, DIM>(q, c, acc[g]);
        }
        return;
    }
    for (int g = 0; g < G; ++g) {
        load_block<false>(rows[g], 0, none, c);
        acc[g] = accumulate<DOT, 0, 8>(q, c, acc[g]);
    }
    if constexpr (DIM > 8) {
        // The block that ends with the row; components before 8 are summed.
        for (int g = 0; g < G; ++g) {
            load_block<false>(rows[g], DIM - 8, none, c);
            acc[g] = accumulate<DOT, 16 - DIM, 8>(q + DIM - 8, c, acc[g]);
        }
    }
}

inline bool consecutive(const int32_t* ids, int n) { return ids[n - 1] - ids[0] == n - 1; }

// Consecutive rows at least this long are streamed.
constexpr size_t LONG_DIM = 64;

// Where the rows of the next run (ids[0..next)) are fetched from while the
// current one is summed. Scattered rows get their first two cache lines
// fetched now. Long rows running on consecutively are streamed: the run after
// the next one is returned, so that memory is read ahead of the sums by more
// than its latency (short consecutive rows are left to the hardware
// prefetcher).
struct Ahead {
    const char* at = nullptr;
    const char* end = nullptr;
};

inline Ahead fetch_next_run(const float* base, size_t dim, const int32_t* ids, int next) {
    Ahead a;
    if (next > 0 && consecutive(ids, next)) {
        if (dim >= LONG_DIM) {
            a.at = reinterpret_cast<const char*>(base + size_t(ids[0]) * dim);
            a.at += size_t(next) * dim * sizeof(float);
            a.end = a.at + size_t(next) * dim * sizeof(float);
        }
    } else {
        for (int l = 0; l < next; ++l) {
            const char* p = reinterpret_cast<const char*>(base + size_t(ids[l]) * dim);
            _mm_prefetch(p, _MM_HINT_T0);
            _mm_prefetch(p + 64, _MM_HINT_T0);
        }
    }
    return a;
}

// Up to G groups of eight nodes from ids[0..left); a short last group repeats
// its first row, whose extra lanes are computed and dropped. Rows of DIM > 0
// components take the unrolled loop and no fetching ahead: the graph searches
// have fetched their lines already, and a scan leaves them to the hardware
// (fetching ahead cost a 10-d scan 20 %). Returns the nodes done.
template <bool DOT, int G, int FROM, int DIM>
int run_groups(const float* q, const float* base, size_t dim, const int32_t* ids, int left,
               float* out, __m256 lim, const CosineCut* cut) {
    constexpr int N = G * LANES;
    if constexpr (DIM > 0) dim = size_t(DIM);
    const int n = left < N ? left : N;
    const float* rows[G][LANES];
    int32_t lane_ids[G][LANES];
    for (int l = 0; l < N; ++l) {
        lane_ids[l / LANES][l % LANES] = ids[l < n ? l : 0];
        rows[l / LANES][l % LANES] = base + size_t(lane_ids[l / LANES][l % LANES]) * dim;
    }
    __m256 acc[G];
    if constexpr (DIM > 0) {
        short_row_sums<DOT, G, DIM>(q, rows, acc);
    } else {
        const int next = left - n < N ? left - n : N;
        const Ahead a = fetch_next_run(base, dim, ids + n, next);
        row_sums<DOT, G, FROM>(q, rows, dim, lim, cut, lane_ids, a.at, a.end, acc);
    }
    if (n == N) {
        for (int g = 0; g < G; ++g) _mm256_storeu_ps(out + g * LANES, acc[g]);
    } else {
        alignas(32) float s[N];
        for (int g = 0; g < G; ++g) _mm256_store_ps(s + g * LANES, acc[g]);
        for (int l = 0; l < n; ++l) out[l] = s[l];
    }
    return n;
}

// Two groups at a time while more than one is left: their chains are
// independent, so each hides the other's latency (10-d flat scans ~10 % faster
// than one group at a time).
template <bool DOT, int FROM, int DIM = 0>
void batch_for(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
               float* out, float bound, const CosineCut* cut) {
    const __m256 lim = _mm256_set1_ps(bound);
    int i = 0;
    while (i < count) {
        const int left = count - i;
        if (left > LANES)
            i += run_groups<DOT, 2, FROM, DIM>(q, base, dim, ids + i, left, out + i, lim, cut);
        else
            i += run_groups<DOT, 1, FROM, DIM>(q, base, dim, ids + i, left, out + i, lim, cut);
    }
}

using BatchFn = void (*)(const float*, const float*, size_t, const int32_t*, int, float*, float,
                         const CosineCut*);

// Rows of 1 to 16 components, each with its own loop.
template <bool DOT, size_t... D>
constexpr std::array<BatchFn, sizeof...(D)> short_batches(std::index_sequence<D...>) {
    return {&batch_for<DOT, 0, int(D) + 1>...};
}
constexpr size_t SHORT_DIM_MAX = 16;

// Longer rows: the loop built for dim % 8, whose last block starts at
// component FROM of the block that ends with the row.
template <bool DOT, size_t... R>
constexpr std::array<BatchFn, sizeof...(R)> tail_batches(std::index_sequence<R...>) {
    return {&batch_for < DOT, R == 0 ? 8 : 8 - int(R) > ...};
}

template <bool DOT>
BatchFn pick_batch(size_t dim) {
    static constexpr auto short_loops =
        short_batches<DOT>(std::make_index_sequence<SHORT_DIM_MAX>());
    static constexpr auto tail_loops = tail_batches<DOT>(std::make_index_sequence<8>());
    if (dim >= 1 && dim <= SHORT_DIM_MAX) return short_loops[dim - 1];
    return tail_loops[dim % 8];
}

void sq_l2_batch(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
                 float* out, float bound) {
    pick_batch<false>(dim)(q, base, dim, ids, count, out, bound, nullptr);
}

void dot_batch(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
               float* out, const CosineCut* cut) {
    pick_batch<true>(dim)(q, base, dim, ids, count, out, 0.0f, cut);
}

float sq_norm(const float* x, size_t dim) {
    float s = 0.0f;
    for (size_t j = 0; j < dim; ++j) s = __builtin_fmaf(x[j], x[j], s);
    return s;
}

float norm_and_dot(const float* x, const float* y, size_t dim, float* dot) {
    float s = 0.0f, d = 0.0f;
    for (size_t j = 0; j < dim; ++j) {
        s = __builtin_fmaf(x[j], x[j], s);
        d = __builtin_fmaf(x[j], y[j], d);
    }
    *dot = d;
    return s;
}

// Squared norms of eight nodes: the stored ones, the row's own where the stored
// value is negative. Consecutive ids are read with one load.
inline __m256 node_norms(const float* base, size_t dim, const float* norms, const int32_t* ids) {
    const __m256i idv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ids));
    const __m256i run =
        _mm256_add_epi32(_mm256_set1_epi32(ids[0]), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const bool consecutive =
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(idv, run))) == 0xff;
    __m256 vn = consecutive ? _mm256_loadu_ps(norms + ids[0]) : _mm256_i32gather_ps(norms, idv, 4);
    const int negative = _mm256_movemask_ps(_mm256_cmp_ps(vn, _mm256_setzero_ps(), _CMP_LT_OQ));
    if (negative != 0) {
        alignas(32) float v[LANES];
        _mm256_store_ps(v, vn);
        for (int l = 0; l < LANES; ++l)
            if ((negative >> l) & 1) v[l] = sq_norm(base + size_t(ids[l]) * dim, dim);
        vn = _mm256_load_ps(v);
    }
    return vn;
}

// f(dst, io[i..i+8), norms of nodes ids[i..i+8)) writes eight results to dst;
// a short tail is padded with copies of its first lane.
template <class F>
void epilogue(float* io, const float* base, size_t dim, const float* norms, const int32_t* ids,
              int count, F f) {
    int i = 0;
    for (; i + LANES <= count; i += LANES)
        f(io + i, _mm256_loadu_ps(io + i), node_norms(base, dim, norms, ids + i));
    if (i == count) return;
    const int n = count - i;
    alignas(32) int32_t pid[LANES];
    alignas(32) float pio[LANES];
    for (int l = 0; l < LANES; ++l) {
        pid[l] = ids[i + (l < n ? l : 0)];
        pio[l] = io[i + (l < n ? l : 0)];
    }
    f(pio, _mm256_load_ps(pio), node_norms(base, dim, norms, pid));
    for (int l = 0; l < n; ++l) io[i + l] = pio[l];
}

// 1 - norm, or the smallest factor for a norm past the limit.
inline __m256 ball_factor(__m256 vn) {
    const __m256 past = _mm256_cmp_ps(vn, _mm256_set1_ps(POINCARE_NORM_LIMIT), _CMP_GT_OQ);
    return _mm256_blendv_ps(_mm256_sub_ps(_mm256_set1_ps(1.0f), vn),
                            _mm256_set1_ps(POINCARE_MIN_FACTOR), past);
}

// x * x - 1 per lane, the product and difference in double and rounded once
// to float, as the scalar sq_minus_one.
__attribute__((always_inline)) inline __m256 sq_minus_one(__m256 x) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(x));
    const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1));
    const __m128 flo = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_mul_pd(lo, lo), one));
    const __m128 fhi = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_mul_pd(hi, hi), one));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(flo), fhi, 1);
}

// The lanes whose x is below x_cut (NaN included) go through from_x one by one;
// without from_x every lane keeps x.
void poincare_batch(float* io, const float* base, size_t dim, const float* norms,
                    const int32_t* ids, int count, float qn, float x_cut, float above,
                    float (*from_x)(float)) {
    const __m256 a = ball_factor(_mm256_set1_ps(qn));
    const __m256 cut = _mm256_set1_ps(x_cut), high = _mm256_set1_ps(above);
    epilogue(io, base, dim, norms, ids, count, [&](float* dst, __m256 s, __m256 vn) {
        const __m256 num = _mm256_add_ps(s, s);
        __m256 den = _mm256_mul_ps(a, ball_factor(vn));
        const __m256 min_den = _mm256_set1_ps(POINCARE_MIN_DEN);
        den = _mm256_blendv_ps(den, min_den, _mm256_cmp_ps(den, min_den, _CMP_LT_OQ));
        const __m256 x = _mm256_add_ps(_mm256_div_ps(num, den), _mm256_set1_ps(1.0f));
        if (from_x == nullptr) {
            _mm256_storeu_ps(dst, x);
            return;
        }
        const __m256 past = _mm256_cmp_ps(x, cut, _CMP_GE_OQ);
        _mm256_storeu_ps(dst, _mm256_blendv_ps(x, high, past));
        int below = ~_mm256_movemask_ps(past) & 0xff;
        if (below == 0) return;
        // The logarithm's argument x + sqrt(x * x - 1) in lanes, x * x - 1 in
        // double as the scalar formula takes it; only lanes at or above
        // POINCARE_MIN_X use it, the rest go to from_x for the floor.
        alignas(32) float arg[LANES];
        _mm256_store_ps(arg, _mm256_add_ps(x, _mm256_sqrt_ps(sq_minus_one(x))));
        const int small =
            _mm256_movemask_ps(_mm256_cmp_ps(x, _mm256_set1_ps(POINCARE_MIN_X), _CMP_NGE_UQ));
        for (; below != 0; below &= below - 1) {
            const int l = __builtin_ctz(unsigned(below));
            dst[l] = (small >> l) & 1 ? from_x(dst[l]) : ::logf(arg[l]);
        }
    });
}

void cosine_batch(float* io, const float* base, size_t dim, const float* norms, const int32_t* ids,
                  int count, float qn) {
    const __m256 sq = _mm256_sqrt_ps(_mm256_set1_ps(qn));
    epilogue(io, base, dim, norms, ids, count, [sq](float* dst, __m256 dot, __m256 vn) {
        const __m256 p = _mm256_mul_ps(sq, _mm256_sqrt_ps(vn));
        const __m256 one = _mm256_set1_ps(1.0f);
        const __m256 tiny = _mm256_cmp_ps(p, _mm256_set1_ps(COSINE_MIN_PRODUCT), _CMP_LT_OQ);
        const __m256 d = _mm256_sub_ps(one, _mm256_div_ps(dot, p));
        _mm256_storeu_ps(dst, _mm256_blendv_ps(d, one, tiny));
    });
}

const KernelSet AVX2 = {"avx2",       sq_l2_batch,    dot_batch,   sq_norm,
                        norm_and_dot, poincare_batch, cosine_batch};

}  // namespace

const KernelSet* avx2_kernels() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return &AVX2;
    return nullptr;
}

}  // namespace orv
