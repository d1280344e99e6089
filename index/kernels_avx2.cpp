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

template <bool DOT>
inline __m256 block_step(__m256 acc, const float* q, size_t j, __m256 c[8]) {
    for (int t = 0; t < 8; ++t) {
        __m256 qv = _mm256_broadcast_ss(q + j + t);
        if constexpr (DOT) {
            acc = _mm256_fmadd_ps(qv, c[t], acc);
        } else {
            __m256 d = _mm256_sub_ps(qv, c[t]);
            acc = _mm256_fmadd_ps(d, d, acc);
        }
    }
    return acc;
}

template <bool DOT>
void group_sums(const float* q, const float* rows[LANES], size_t dim, int m, float* out,
                float bound) {
    __m256 acc = _mm256_setzero_ps();
    const __m256 lim = _mm256_set1_ps(bound);
    size_t j = 0;
    bool cut = false;
    while (j + 8 <= dim) {
        __m256 c[8];
        for (int l = 0; l < LANES; ++l) c[l] = _mm256_loadu_ps(rows[l] + j);
        transpose8(c);
        acc = block_step<DOT>(acc, q, j, c);
        j += 8;
        if constexpr (!DOT) {
            // Squared sums only grow: once every lane is past the bound, none can
            // come back under it.
            if ((j & 31) == 0 && _mm256_movemask_ps(_mm256_cmp_ps(acc, lim, _CMP_GT_OQ)) == 0xff) {
                cut = true;
                break;
            }
        }
    }
    alignas(32) float s[LANES];
    _mm256_store_ps(s, acc);
    if (cut) j = dim;
    for (int l = 0; l < m; ++l) {
        float v = s[l];
        for (size_t t = j; t < dim; ++t) {
            if constexpr (DOT) {
                v = __builtin_fmaf(q[t], rows[l][t], v);
            } else {
                float d = q[t] - rows[l][t];
                v = __builtin_fmaf(d, d, v);
            }
        }
        out[l] = v;
    }
}

// Two groups at once: their chains are independent, which hides the latency of
// the fused multiply-adds that one chain per lane would wait on.
template <bool DOT>
void group_sums2(const float* q, const float* ra[LANES], const float* rb[LANES], size_t dim,
                 int mb, float* out, float bound) {
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    const __m256 lim = _mm256_set1_ps(bound);
    size_t j = 0;
    bool cut = false;
    while (j + 8 <= dim) {
        __m256 a[8], b[8];
        for (int l = 0; l < LANES; ++l) a[l] = _mm256_loadu_ps(ra[l] + j);
        for (int l = 0; l < LANES; ++l) b[l] = _mm256_loadu_ps(rb[l] + j);
        transpose8(a);
        transpose8(b);
        for (int t = 0; t < 8; ++t) {
            const __m256 qv = _mm256_broadcast_ss(q + j + t);
            if constexpr (DOT) {
                acc0 = _mm256_fmadd_ps(qv, a[t], acc0);
                acc1 = _mm256_fmadd_ps(qv, b[t], acc1);
            } else {
                const __m256 d0 = _mm256_sub_ps(qv, a[t]);
                const __m256 d1 = _mm256_sub_ps(qv, b[t]);
                acc0 = _mm256_fmadd_ps(d0, d0, acc0);
                acc1 = _mm256_fmadd_ps(d1, d1, acc1);
            }
        }
        j += 8;
        if constexpr (!DOT) {
            if ((j & 31) == 0) {
                const int m0 = _mm256_movemask_ps(_mm256_cmp_ps(acc0, lim, _CMP_GT_OQ));
                const int m1 = _mm256_movemask_ps(_mm256_cmp_ps(acc1, lim, _CMP_GT_OQ));
                if ((m0 & m1) == 0xff) {
                    cut = true;
                    break;
                }
            }
        }
    }
    alignas(32) float s[2 * LANES];
    _mm256_store_ps(s, acc0);
    _mm256_store_ps(s + LANES, acc1);
    if (cut) j = dim;
    for (int l = 0; l < LANES + mb; ++l) {
        const float* r = l < LANES ? ra[l] : rb[l - LANES];
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

template <bool DOT>
void batch(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
           float* out, float bound) {
    int i = 0;
    for (; count - i > LANES; i += 2 * LANES) {
        const float *ra[LANES], *rb[LANES];
        load_rows(base, dim, ids + i, LANES, ra);
        const int mb = load_rows(base, dim, ids + i + LANES, count - i - LANES, rb);
        if (i + 2 * LANES < count)
            prefetch_rows(base, dim, ids + i + 2 * LANES, count - i - 2 * LANES);
        group_sums2<DOT>(q, ra, rb, dim, mb, out + i, bound);
    }
    if (i < count) {
        const float* rows[LANES];
        const int m = load_rows(base, dim, ids + i, count - i, rows);
        group_sums<DOT>(q, rows, dim, m, out + i, bound);
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
