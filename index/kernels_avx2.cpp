// AVX2 + FMA sum kernels: eight nodes in the eight lanes. A block of eight
// components of eight rows is transposed in registers, so each lane keeps its
// own index-order chain and gives the same bits as the scalar fused chain.
#include <immintrin.h>

#include "orv/kernels.hpp"

namespace orv {
namespace {

constexpr int LANES = 8;

inline void transpose8(__m256 r[8]) {
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

// Rows of one group; a short group repeats its first row, whose extra lanes
// are computed and dropped.
inline int load_rows(const float* base, size_t dim, const int32_t* ids, int n,
                     const float* rows[LANES]) {
    int m = n < LANES ? n : LANES;
    for (int l = 0; l < LANES; ++l) rows[l] = base + size_t(ids[l < m ? l : 0]) * dim;
    return m;
}

inline void prefetch_rows(const float* base, size_t dim, const int32_t* ids, int n) {
    for (int l = 0; l < n && l < LANES; ++l) {
        const char* p = reinterpret_cast<const char*>(base + size_t(ids[l]) * dim);
        _mm_prefetch(p, _MM_HINT_T0);
        _mm_prefetch(p + 64, _MM_HINT_T0);
    }
}

// Several groups at once: their chains are independent, which hides the
// latency of the fused multiply-adds that one chain per lane would wait on.
template <bool DOT, int G>
void group_sums_n(const float* q, const float* rows[][LANES], size_t dim, int m_last, float* out,
                  float bound) {
    __m256 acc[G];
    for (int g = 0; g < G; ++g) acc[g] = _mm256_setzero_ps();
    const __m256 lim = _mm256_set1_ps(bound);
    size_t j = 0;
    bool cut = false;
    while (j + 8 <= dim) {
        __m256 c[G][8];
        for (int g = 0; g < G; ++g) {
            for (int l = 0; l < LANES; ++l) c[g][l] = _mm256_loadu_ps(rows[g][l] + j);
            transpose8(c[g]);
        }
        for (int t = 0; t < 8; ++t) {
            const __m256 qv = _mm256_broadcast_ss(q + j + t);
            for (int g = 0; g < G; ++g) {
                if constexpr (DOT) {
                    acc[g] = _mm256_fmadd_ps(qv, c[g][t], acc[g]);
                } else {
                    const __m256 d = _mm256_sub_ps(qv, c[g][t]);
                    acc[g] = _mm256_fmadd_ps(d, d, acc[g]);
                }
            }
        }
        j += 8;
        if constexpr (!DOT) {
            if ((j & 31) == 0) {
                int all = 0xff;
                for (int g = 0; g < G; ++g)
                    all &= _mm256_movemask_ps(_mm256_cmp_ps(acc[g], lim, _CMP_GT_OQ));
                if (all == 0xff) {
                    cut = true;
                    break;
                }
            }
        }
    }
    alignas(32) float s[G * LANES];
    for (int g = 0; g < G; ++g) _mm256_store_ps(s + g * LANES, acc[g]);
    if (cut) j = dim;
    const int total = (G - 1) * LANES + m_last;
    for (int l = 0; l < total; ++l) {
        const float* r = rows[l / LANES][l % LANES];
        float v = s[l];
        for (size_t t = j; t < dim; ++t) {
            if constexpr (DOT) {
                v = __builtin_fmaf(q[t], r[t], v);
            } else {
                const float d = q[t] - r[t];
                v = __builtin_fmaf(d, d, v);
            }
        }
        out[l] = v;
    }
}

template <bool DOT, int G>
int run_groups(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
               float* out, float bound) {
    const float* rows[G][LANES];
    int m = LANES;
    for (int g = 0; g < G; ++g) m = load_rows(base, dim, ids + g * LANES, count - g * LANES, rows[g]);
    if (G * LANES < count) prefetch_rows(base, dim, ids + G * LANES, count - G * LANES);
    group_sums_n<DOT, G>(q, rows, dim, m, out, bound);
    return (G - 1) * LANES + m;
}

template <bool DOT>
void batch(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
           float* out, float bound) {
    int i = 0;
    while (i < count) {
        const int left = count - i;
        // Two groups is the most the sixteen registers hold; more would spill.
        if (left > LANES)
            i += run_groups<DOT, 2>(q, base, dim, ids + i, left, out + i, bound);
        else
            i += run_groups<DOT, 1>(q, base, dim, ids + i, left, out + i, bound);
    }
}

void sq_l2_batch(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
                 float* out, float bound) {
    batch<false>(q, base, dim, ids, count, out, bound);
}

void dot_batch(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
               float* out) {
    batch<true>(q, base, dim, ids, count, out, 0.0f);
}

float sq_norm(const float* x, size_t dim) {
    float s = 0.0f;
    for (size_t j = 0; j < dim; ++j) s = __builtin_fmaf(x[j], x[j], s);
    return s;
}

const KernelSet AVX2 = {"avx2", sq_l2_batch, dot_batch, sq_norm};

}  // namespace

const KernelSet* avx2_kernels() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return &AVX2;
    return nullptr;
}

}  // namespace orv
