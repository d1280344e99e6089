// Portable sum kernels: interleaved scalar chains, each in index order.
#include <cmath>

#include "orv/kernels.hpp"
#include "orv/metric.hpp"

namespace orv {
namespace {

constexpr int LANES = 4;

void sq_l2_batch(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
                 float* out, float) {
    int i = 0;
    for (; i + LANES <= count; i += LANES) {
        const float* r[LANES];
        float s[LANES] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int l = 0; l < LANES; ++l) r[l] = base + size_t(ids[i + l]) * dim;
        for (size_t j = 0; j < dim; ++j) {
            for (int l = 0; l < LANES; ++l) {
                float d = q[j] - r[l][j];
                s[l] = std::fma(d, d, s[l]);
            }
        }
        for (int l = 0; l < LANES; ++l) out[i + l] = s[l];
    }
    for (; i < count; ++i) {
        const float* r = base + size_t(ids[i]) * dim;
        float s = 0.0f;
        for (size_t j = 0; j < dim; ++j) {
            float d = q[j] - r[j];
            s = std::fma(d, d, s);
        }
        out[i] = s;
    }
}

// Exact sums always: a cut allows stopping, it never requires it.
void dot_batch(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
               float* out, const CosineCut*) {
    int i = 0;
    for (; i + LANES <= count; i += LANES) {
        const float* r[LANES];
        float s[LANES] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int l = 0; l < LANES; ++l) r[l] = base + size_t(ids[i + l]) * dim;
        for (size_t j = 0; j < dim; ++j)
            for (int l = 0; l < LANES; ++l) s[l] = std::fma(q[j], r[l][j], s[l]);
        for (int l = 0; l < LANES; ++l) out[i + l] = s[l];
    }
    for (; i < count; ++i) {
        const float* r = base + size_t(ids[i]) * dim;
        float s = 0.0f;
        for (size_t j = 0; j < dim; ++j) s = std::fma(q[j], r[j], s);
        out[i] = s;
    }
}

float sq_norm(const float* x, size_t dim) {
    float s = 0.0f;
    for (size_t j = 0; j < dim; ++j) s = std::fma(x[j], x[j], s);
    return s;
}

float norm_and_dot(const float* x, const float* y, size_t dim, float* dot) {
    float s = 0.0f, d = 0.0f;
    for (size_t j = 0; j < dim; ++j) {
        s = std::fma(x[j], x[j], s);
        d = std::fma(x[j], y[j], d);
    }
    *dot = d;
    return s;
}

float node_norm(const float* base, size_t dim, const float* norms, int32_t id) {
    const float vn = norms[id];
    return vn < 0.0f ? sq_norm(base + size_t(id) * dim, dim) : vn;
}

void poincare_batch(float* io, const float* base, size_t dim, const float* norms,
                    const int32_t* ids, int count, float qn, float x_cut, float above,
                    float (*from_x)(float)) {
    for (int i = 0; i < count; ++i) {
        const float x = poincare_x(io[i], qn, node_norm(base, dim, norms, ids[i]));
        io[i] = from_x == nullptr ? x : x >= x_cut ? above : from_x(x);
    }
}

void cosine_batch(float* io, const float* base, size_t dim, const float* norms, const int32_t* ids,
                  int count, float qn) {
    for (int i = 0; i < count; ++i)
        io[i] = cosine_from_dot(io[i], qn, node_norm(base, dim, norms, ids[i]));
}

const KernelSet GENERIC = {"generic",    sq_l2_batch,    dot_batch,   sq_norm,
                           norm_and_dot, poincare_batch, cosine_batch};

}  // namespace

const KernelSet& generic_kernels() { return GENERIC; }

const KernelSet& best_kernels() {
    const KernelSet* avx2 = avx2_kernels();
    return avx2 ? *avx2 : GENERIC;
}

}  // namespace orv
