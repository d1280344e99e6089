// The sum kernels against the scalar fused chain in index order.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "orv/metric.hpp"
#include "reference.hpp"

namespace {

constexpr int ROWS = 24;

// Values of every scale: ordinary, denormal, tiny (their squares underflow),
// large (their squares near or past the float range), zero.
float any_scale_value(std::mt19937& gen) {
    std::uniform_int_distribution<int> kind(0, 15);
    std::uniform_real_distribution<float> m(-1.0f, 1.0f);
    std::uniform_real_distribution<float> e(3.0f, 18.0f);
    switch (kind(gen)) {
    case 0:
        return m(gen) * 1e-39f;
    case 1:
        return m(gen) * 1e-44f;
    case 2:
        return m(gen) * 1e-20f;
    case 3:
        return m(gen) * std::pow(10.0f, e(gen));
    case 4:
        return m(gen) * 2e19f;
    case 5:
        return 0.0f;
    default:
        return m(gen) * 4.0f;
    }
}

struct Block {
    size_t dim;
    std::vector<float> rows;  // ROWS rows of dim values
    std::vector<float> q;
};

Block make_block(size_t dim, uint32_t seed, bool any_scale) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    Block b{dim, std::vector<float>(ROWS * dim), std::vector<float>(dim)};
    for (float& x : b.rows) x = any_scale ? any_scale_value(gen) : normal(gen);
    for (float& x : b.q) x = any_scale ? any_scale_value(gen) : normal(gen);
    return b;
}

std::vector<int32_t> random_ids(int count, std::mt19937& gen) {
    std::uniform_int_distribution<int32_t> pick(0, ROWS - 1);
    std::vector<int32_t> ids(static_cast<size_t>(count));
    for (int32_t& id : ids) id = pick(gen);
    return ids;
}

std::vector<size_t> kernel_dims() {
    std::vector<size_t> dims(40);
    std::iota(dims.begin(), dims.end(), size_t(1));
    for (size_t d : {64, 67, 101, 128, 784}) dims.push_back(d);
    return dims;
}

class KernelTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        ks = ref::kernel_set(GetParam());
        if (ks == nullptr) GTEST_SKIP() << "this CPU has no AVX2 and FMA";
    }
    const orv::KernelSet* ks = nullptr;
};

// Empty when the kernel's sums equal the reference chain for every id.
std::string check_block(const orv::KernelSet& ks, const Block& b, const std::vector<int32_t>& ids) {
    const int count = int(ids.size());
    std::vector<float> l2(ids.size()), dp(ids.size());
    ks.sq_l2_batch(b.q.data(), b.rows.data(), b.dim, ids.data(), count, l2.data(), INFINITY);
    ks.dot_batch(b.q.data(), b.rows.data(), b.dim, ids.data(), count, dp.data(), nullptr);
    const int n = int(b.dim);
    for (size_t i = 0; i < ids.size(); ++i) {
        const float* row = b.rows.data() + size_t(ids[i]) * b.dim;
        const std::string at = "dim " + std::to_string(b.dim) + " count " + std::to_string(count) +
                               " lane " + std::to_string(i);
        if (!ref::same_float(l2[i], ref::sq_l2(b.q.data(), row, n)))
            return "sq_l2 " + at + ": " + std::to_string(l2[i]);
        if (!ref::same_float(dp[i], ref::dot(b.q.data(), row, n)))
            return "dot " + at + ": " + std::to_string(dp[i]);
    }
    return "";
}

TEST_P(KernelTest, SumsEqualScalarChainBitForBit) {
    std::mt19937 gen(11);
    for (size_t dim : kernel_dims()) {
        for (bool any_scale : {false, true}) {
            const Block b = make_block(dim, uint32_t(dim * 2 + any_scale), any_scale);
            for (int count = 1; count <= 20; ++count) {
                ASSERT_EQ(check_block(*ks, b, random_ids(count, gen)), "");
                // A run of consecutive rows, as an unfiltered scan passes them.
                std::vector<int32_t> run(static_cast<size_t>(count));
                std::iota(run.begin(), run.end(), int32_t(ROWS - count));
                ASSERT_EQ(check_block(*ks, b, run), "");
            }
            for (int r = 0; r < ROWS; ++r) {
                const float* row = b.rows.data() + size_t(r) * dim;
                ASSERT_TRUE(ref::same_float(ks->sq_norm(row, dim), ref::sq_norm(row, int(dim))))
                    << "sq_norm dim " << dim << " row " << r;
                const float* other = b.rows.data() + size_t((r + 1) % ROWS) * dim;
                float dot = 0.0f;
                const float n = ks->norm_and_dot(row, other, dim, &dot);
                ASSERT_TRUE(ref::same_float(n, ref::sq_norm(row, int(dim))) &&
                            ref::same_float(dot, ref::dot(row, other, int(dim))))
                    << "norm_and_dot dim " << dim << " row " << r;
            }
        }
    }
}

// Bounds that exercise the early stop: none, some and all of the sums above it.
std::vector<float> bounds_for(std::vector<float> sums, std::mt19937& gen) {
    std::sort(sums.begin(), sums.end());
    std::uniform_int_distribution<size_t> pick(0, sums.size() - 1);
    return {sums[pick(gen)], sums[sums.size() / 2], sums.front() * 0.5f, sums.front() * 0.01f,
            0.0f};
}

TEST_P(KernelTest, BoundedSumsExactUpToBoundAndAboveItOtherwise) {
    std::mt19937 gen(12);
    for (size_t dim : kernel_dims()) {
        for (bool any_scale : {false, true}) {
            const Block b = make_block(dim, uint32_t(dim * 3 + any_scale), any_scale);
            for (int count = 1; count <= 20; ++count) {
                const std::vector<int32_t> ids = random_ids(count, gen);
                std::vector<float> want(ids.size()), got(ids.size());
                for (size_t i = 0; i < ids.size(); ++i)
                    want[i] =
                        ref::sq_l2(b.q.data(), b.rows.data() + size_t(ids[i]) * dim, int(dim));
                for (float bound : bounds_for(want, gen)) {
                    ks->sq_l2_batch(b.q.data(), b.rows.data(), dim, ids.data(), count, got.data(),
                                    bound);
                    for (size_t i = 0; i < ids.size(); ++i) {
                        if (want[i] <= bound)
                            ASSERT_TRUE(ref::same_float(got[i], want[i]))
                                << "dim " << dim << " lane " << i << " bound " << bound;
                        else
                            ASSERT_GT(got[i], bound) << "dim " << dim << " lane " << i;
                    }
                }
            }
        }
    }
}

// Rows whose tails are nearly parallel to the query's make the tail bound
// nearly tight, the case where a short rounding allowance would show.
Block cut_block(size_t dim, uint32_t seed, int kind) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    Block b{dim, std::vector<float>(ROWS * dim), std::vector<float>(dim)};
    for (float& x : b.q) x = kind == 2 ? any_scale_value(gen) : normal(gen);
    for (size_t r = 0; r < ROWS; ++r) {
        const float scale = 0.5f + float(r);
        for (size_t j = 0; j < dim; ++j) {
            float& x = b.rows[r * dim + j];
            if (kind == 0) x = normal(gen);
            if (kind == 1) x = scale * b.q[j] + (j < dim / 3 ? normal(gen) : 1e-4f * normal(gen));
            if (kind == 2) x = any_scale_value(gen);
            // A large free head and a tail exactly parallel to the query's:
            // the rounding of the rest of the sum then outweighs the slack
            // left in tight tail bounds.
            if (kind == 3) x = j < dim / 4 ? 4.0f * normal(gen) : 0x1p-10f * b.q[j];
        }
    }
    return b;
}

// Tail norms rounded up to the next float, with no allowance beyond that.
std::vector<float> tight_tails(const Block& b, const orv::TailNorms& t) {
    std::vector<float> out;
    for (size_t r = 0; r < ROWS; ++r) {
        for (int32_t k = 1; k <= t.count; ++k) {
            long double sq = 0;
            for (size_t j = size_t(k * t.stride); j < b.dim; ++j)
                sq += (long double)b.rows[r * b.dim + j] * b.rows[r * b.dim + j];
            const long double norm = std::sqrt(sq);
            float f = float(norm);
            if ((long double)f < norm) f = std::nextafter(f, INFINITY);
            out.push_back(f);
        }
    }
    return out;
}

// With a cut, a cosine distance at or under the bound is exact; one above it
// may come back as any value above the bound, but never above the exact one.
TEST_P(KernelTest, CosineCutExactUpToBoundAndAboveItOtherwise) {
    std::mt19937 gen(15);
    for (size_t dim : {64, 67, 101, 128, 200, 784}) {
        orv::TailNorms t;
        t.configure(int32_t(dim), true);
        ASSERT_TRUE(t.on()) << dim;
        for (int kind : {0, 1, 2, 3}) {
            const Block b = cut_block(dim, uint32_t(dim * 7 + kind), kind);
            std::vector<float> norms(ROWS), tails(ROWS * size_t(t.count));
            for (size_t r = 0; r < ROWS; ++r) {
                norms[r] = ref::sq_norm(b.rows.data() + r * dim, int(dim));
                orv::tail_norm_bounds(b.rows.data() + r * dim, dim, t.stride, t.count,
                                      tails.data() + r * size_t(t.count));
            }
            if (kind == 3) tails = tight_tails(b, t);
            norms[5] = -1.0f;  // a loaded file's: recomputed, and that row never stops
            const float qn = ref::sq_norm(b.q.data(), int(dim));
            std::vector<float> q_tails(size_t(t.count));
            orv::tail_norm_bounds(b.q.data(), dim, t.stride, t.count, q_tails.data());
            for (int count : {1, 8, 13, 24, 40}) {
                const std::vector<int32_t> ids = random_ids(count, gen);
                std::vector<float> want(ids.size()), got(ids.size());
                for (size_t i = 0; i < ids.size(); ++i) {
                    const size_t r = size_t(ids[i]);
                    const float vn =
                        norms[r] < 0 ? ref::sq_norm(b.rows.data() + r * dim, int(dim)) : norms[r];
                    want[i] = ref::cosine(b.q.data(), qn, b.rows.data() + r * dim, vn, int(dim));
                }
                std::vector<float> bounds = bounds_for(want, gen);
                for (float w : want) bounds.push_back(std::nextafter(w, -INFINITY));
                for (float bound : bounds) {
                    const orv::CosineCut cut{
                        norms.data(), tails.data(),  q_tails.data(), t.stride,
                        t.count,      std::sqrt(qn), bound,          orv::cosine_cut_slack(dim)};
                    ks->dot_batch(b.q.data(), b.rows.data(), dim, ids.data(), count, got.data(),
                                  &cut);
                    ks->cosine_batch(got.data(), b.rows.data(), dim, norms.data(), ids.data(),
                                     count, qn);
                    for (size_t i = 0; i < ids.size(); ++i) {
                        const std::string at = "dim " + std::to_string(dim) + " kind " +
                                               std::to_string(kind) + " lane " + std::to_string(i) +
                                               " bound " + std::to_string(bound);
                        if (!(want[i] > bound)) {
                            ASSERT_TRUE(ref::same_float(got[i], want[i])) << at;
                        } else {
                            ASSERT_GT(got[i], bound) << at;
                            ASSERT_LE(got[i], want[i]) << at;
                        }
                    }
                }
            }
        }
    }
}

// The tail bounds hold for rows of every scale; NaN or inf leaves no bound.
TEST(TailNorms, BoundTheTailNormsAndSkipShortRows) {
    orv::TailNorms t;
    t.configure(63, true);
    EXPECT_FALSE(t.on());
    t.configure(784, false);
    EXPECT_FALSE(t.on());
    std::mt19937 gen(16);
    for (int32_t dim : {64, 100, 784, 1000}) {
        t.configure(dim, true);
        ASSERT_TRUE(t.on());
        EXPECT_LE(t.count, orv::MAX_TAIL_CHECKS);
        EXPECT_EQ(t.stride % 8, 0);
        for (int rep = 0; rep < 50; ++rep) {
            std::vector<float> v(static_cast<size_t>(dim));
            for (float& x : v) x = any_scale_value(gen);
            std::vector<float> got(size_t(t.count));
            orv::tail_norm_bounds(v.data(), size_t(dim), t.stride, t.count, got.data());
            for (int32_t k = 1; k <= t.count; ++k) {
                long double exact = 0;
                for (size_t j = size_t(k * t.stride); j < size_t(dim); ++j)
                    exact += (long double)v[j] * v[j];
                ASSERT_GE((long double)got[size_t(k - 1)], std::sqrt(exact))
                    << "dim " << dim << " checkpoint " << k;
            }
        }
    }
    std::vector<float> v(128, 1.0f);
    v[100] = NAN;
    t.configure(128, true);
    std::vector<float> got(size_t(t.count));
    orv::tail_norm_bounds(v.data(), 128, t.stride, t.count, got.data());
    EXPECT_TRUE(std::isnan(got.back()));
}

// Id lists of the shapes the searches produce: runs of consecutive rows (the
// flat scan), scattered rows (the graph searches) and rows named again.
std::vector<std::vector<int32_t>> id_patterns(std::mt19937& gen) {
    std::vector<std::vector<int32_t>> out;
    for (int32_t first : {0, 3, 7}) {
        for (int32_t len = 1; first + len <= ROWS; len += 3) {
            std::vector<int32_t> run(static_cast<size_t>(len));
            std::iota(run.begin(), run.end(), first);
            out.push_back(run);
        }
    }
    for (int count : {8, 13, 24, 40}) out.push_back(random_ids(count, gen));
    out.push_back(std::vector<int32_t>(17, ROWS - 1));
    std::vector<int32_t> mixed;
    for (int32_t i = 0; i < 30; ++i) mixed.push_back(i % 5 == 4 ? 2 : i % ROWS);
    out.push_back(mixed);
    return out;
}

TEST_P(KernelTest, SumsEqualScalarChainForEveryIdPattern) {
    std::mt19937 gen(13);
    for (size_t dim : kernel_dims()) {
        for (bool any_scale : {false, true}) {
            const Block b = make_block(dim, uint32_t(dim * 5 + any_scale), any_scale);
            for (const std::vector<int32_t>& ids : id_patterns(gen))
                ASSERT_EQ(check_block(*ks, b, ids), "");
        }
    }
}

// Without a function to apply, the Poincaré epilogue leaves the argument x of
// arcosh of every node, as the scalar formula gives it (stored norms negative,
// past the norm limit and ordinary).
TEST_P(KernelTest, PoincareEpilogueKeepsArgumentsWithoutFunction) {
    std::mt19937 gen(15);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (size_t dim : {2, 10, 40}) {
        Block b = make_block(dim, uint32_t(dim * 7), false);
        for (float& x : b.rows) x *= 0.1f;
        for (float& x : b.q) x *= 0.1f;
        std::vector<float> norms(ROWS);
        for (int r = 0; r < ROWS; ++r)
            norms[size_t(r)] = r % 5 == 1 ? -1.0f : r % 5 == 2 ? 0.9999999f : unit(gen) * 0.9f;
        const float qn = ref::sq_norm(b.q.data(), int(dim));
        for (int count = 1; count <= 20; ++count) {
            const std::vector<int32_t> ids = random_ids(count, gen);
            std::vector<float> io(ids.size());
            ks->sq_l2_batch(b.q.data(), b.rows.data(), dim, ids.data(), count, io.data(), INFINITY);
            ks->poincare_batch(io.data(), b.rows.data(), dim, norms.data(), ids.data(), count, qn,
                               INFINITY, INFINITY, nullptr);
            for (size_t i = 0; i < ids.size(); ++i) {
                const float* row = b.rows.data() + size_t(ids[i]) * dim;
                const float vn = norms[size_t(ids[i])] < 0.0f ? ref::sq_norm(row, int(dim))
                                                              : norms[size_t(ids[i])];
                const float want = ref::poincare_x(b.q.data(), qn, row, vn, int(dim));
                ASSERT_TRUE(ref::same_float(io[i], want)) << "dim " << dim << " lane " << i;
            }
        }
    }
}

// The distances of the Poincaré epilogue against the scalar formula, for sums
// whose argument x spans every binade from 1 up, around the floor's threshold,
// and inf and NaN (query and norms zero, so x = 2 s + 1).
TEST_P(KernelTest, PoincareEpilogueDistancesOverTheWholeRange) {
    std::vector<float> sums = {0.0f, 4e-7f, 5e-7f, 5.1e-7f, 1e-6f, INFINITY, NAN};
    for (uint32_t bits = 0x00800000u; bits < 0x7f800000u; bits += 0x00040001u) {
        float v;
        std::memcpy(&v, &bits, 4);
        sums.push_back(v);
    }
    const std::vector<float> rows(1, 0.0f), norms(1, 0.0f);
    for (size_t at = 0; at < sums.size(); at += 13) {
        const int count = int(std::min<size_t>(13, sums.size() - at));
        std::vector<float> io(sums.begin() + long(at), sums.begin() + long(at) + count);
        const std::vector<int32_t> ids(size_t(count), 0);
        ks->poincare_batch(io.data(), rows.data(), 1, norms.data(), ids.data(), count, 0.0f,
                           INFINITY, INFINITY, &orv::poincare_from_x);
        for (int i = 0; i < count; ++i) {
            const float s = sums[at + size_t(i)];
            const float want = orv::poincare_from_x(orv::poincare_x(s, 0.0f, 0.0f));
            ASSERT_TRUE(ref::same_float(io[size_t(i)], want)) << "sum " << s;
        }
    }
}

// Rows that end where readable memory ends: a kernel reading past the last
// component of the last row faults.
TEST_P(KernelTest, ReadsNothingPastTheLastRow) {
    const long page = sysconf(_SC_PAGESIZE);
    void* map =
        mmap(nullptr, size_t(2 * page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char* guard = static_cast<char*>(map) + page;
    ASSERT_EQ(mprotect(guard, size_t(page), PROT_NONE), 0);
    std::mt19937 gen(14);
    for (size_t dim : {1, 2, 3, 5, 7, 9, 15}) {
        const Block b = make_block(dim, uint32_t(dim), false);
        float* rows = reinterpret_cast<float*>(guard) - b.rows.size();
        std::copy(b.rows.begin(), b.rows.end(), rows);
        std::vector<int32_t> last_run(9);
        std::iota(last_run.begin(), last_run.end(), ROWS - 9);
        for (const std::vector<int32_t>& ids :
             {last_run, std::vector<int32_t>(5, ROWS - 1), random_ids(19, gen)}) {
            std::vector<float> l2(ids.size()), dp(ids.size());
            const int count = int(ids.size());
            ks->sq_l2_batch(b.q.data(), rows, dim, ids.data(), count, l2.data(), INFINITY);
            ks->dot_batch(b.q.data(), rows, dim, ids.data(), count, dp.data(), nullptr);
            for (size_t i = 0; i < ids.size(); ++i) {
                const float* row = rows + size_t(ids[i]) * dim;
                ASSERT_TRUE(ref::same_float(l2[i], ref::sq_l2(b.q.data(), row, int(dim))));
                ASSERT_TRUE(ref::same_float(dp[i], ref::dot(b.q.data(), row, int(dim))));
            }
        }
    }
    munmap(map, size_t(2 * page));
}

INSTANTIATE_TEST_SUITE_P(Sets, KernelTest, ::testing::Values("generic", "avx2"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
