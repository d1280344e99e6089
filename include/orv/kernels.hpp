// Sum kernels behind every distance. Each sum runs in index order with one fused
// multiply-add per component; speed comes from computing several nodes at once,
// never from reordering a sum, so every kernel set gives bit-identical values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

// What cosine sums need to stop early. A group of rows may stop at a
// checkpoint once, for each of them, the distance of an upper bound U on the
// final dot product is above bound (U covers the rest of the sum by Cauchy-
// Schwarz on the tail norm bounds, plus its rounding); it then leaves U as the
// sum, which the epilogue turns into that distance. Rows with a negative
// stored norm, or a norm product under the cosine floor, never stop.
struct CosineCut {
    const float* norms;    // stored squared norms
    const float* tails;    // `count` tail norm bounds per node
    const float* q_tails;  // the query's, at the same checkpoints
    int32_t stride;
    int32_t count;
    float q_root;  // sqrtf of the query's squared norm
    float bound;
    float slack;  // relative allowance for the rounding of the rest of the sum
};

// The rounding allowance of CosineCut for rows of dim components.
inline float cosine_cut_slack(size_t dim) { return float(4 * (dim + 8)) * 0x1p-24f; }

struct KernelSet {
    const char* name;
    // out[i] = sum over j of (q[j] - row_i[j])^2, row_i = base + ids[i] * dim.
    // A group of nodes whose partial sums all exceed bound may stop early; its
    // outputs are then partial sums, still above bound (the sum never shrinks).
    void (*sq_l2_batch)(const float* q, const float* base, size_t dim, const int32_t* ids,
                        int count, float* out, float bound);
    // out[i] = sum over j of q[j] * row_i[j]; with a cut (may be null), a group
    // may stop early as CosineCut describes.
    void (*dot_batch)(const float* q, const float* base, size_t dim, const int32_t* ids, int count,
                      float* out, const CosineCut* cut);
    float (*sq_norm)(const float* x, size_t dim);
    // sq_norm(x), and the dot product of x and y into *dot: two chains side by
    // side, each as the functions above give it.
    float (*norm_and_dot)(const float* x, const float* y, size_t dim, float* dot);
    // Metric epilogues, in place over the sums of the batch above. The node's
    // squared norm is norms[ids[i]], or the sum of its row's squares where that
    // is negative. Each lane computes exactly the scalar formula of its metric.
    // io[i]: sum of squared differences in; out: `above` where the argument x
    // of arcosh is at least x_cut, else from_x(x); x itself for every node
    // when from_x is null. from_x is poincare_from_x: the AVX2 set computes
    // its logarithm's argument in lanes and calls it only below POINCARE_MIN_X.
    void (*poincare_batch)(float* io, const float* base, size_t dim, const float* norms,
                           const int32_t* ids, int count, float qn, float x_cut, float above,
                           float (*from_x)(float));
    // io[i]: dot product in, cosine distance out.
    void (*cosine_batch)(float* io, const float* base, size_t dim, const float* norms,
                         const int32_t* ids, int count, float qn);
};

const KernelSet& generic_kernels();
// nullptr when this build or this CPU has no AVX2 and FMA.
const KernelSet* avx2_kernels();
// The fastest set this CPU runs.
const KernelSet& best_kernels();

}  // namespace orv
