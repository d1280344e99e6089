// Batch insertion: the whole batch is checked first, then inserted row by row
// under one write guard, so that it either starts whole or changes nothing.
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>

#include "orv/batch.hpp"
#include "orv/guards.hpp"
#include "orv/parallel_build.hpp"

namespace orv {

namespace {

std::string value_name(float v) {
    if (std::isnan(v)) return "nan";
    return v > 0 ? "inf" : "-inf";
}

void check_width(const HyperbolicIndex& ix, const RowBlock& rows) {
    const int32_t dim = ix.view().dimension;
    if (rows.cols != int64_t(dim))
        throw std::invalid_argument("expected " + std::to_string(dim) + " columns, got " +
                                    std::to_string(rows.cols));
}

void check_finite_rows(const RowBlock& rows) {
    for (int64_t i = 0; i < rows.rows; ++i) {
        const float* r = rows.row(i);
        for (int64_t j = 0; j < rows.cols; ++j) {
            if (!std::isfinite(r[j]))
                throw std::invalid_argument("row " + std::to_string(i) + " holds " +
                                            value_name(r[j]) + " at column " + std::to_string(j));
        }
    }
}

}  // namespace

void check_batch(const HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks,
                 bool linked) {
    check_width(ix, rows);
    if (masks.each && masks.count != rows.rows)
        throw std::invalid_argument("expected " + std::to_string(rows.rows) +
                                    " masks, one per row, got " + std::to_string(masks.count));
    if (rows.rows > int64_t(INT32_MAX) - ix.size())
        throw std::invalid_argument("a batch of " + std::to_string(rows.rows) +
                                    " rows would take the index past " + std::to_string(INT32_MAX) +
                                    " nodes");
    if (linked) check_finite_rows(rows);
}

int64_t add_batch(HyperbolicIndex& ix, const RowBlock& rows, const MaskBlock& masks,
                  int32_t ef_construction, bool linked, const RowProgress& progress,
                  int32_t threads, ParallelBuildStats* stats) {
    // Taken before the checks: a load elsewhere must not change the dimension
    // between them and the inserts.
    WriteGuard guard(ix);
    check_batch(ix, rows, masks, linked);
    if (linked && threads > 1 && rows.rows > 1)
        return add_linked_parallel(ix, rows, masks, ef_construction, threads, progress, stats);
    for (int64_t i = 0; i < rows.rows; ++i) {
        if (linked)
            ix.insert_linked(rows.row(i), masks.at(i), ef_construction);
        else
            ix.insert_flat(rows.row(i), masks.at(i));
        if (progress && !progress(i + 1)) return i + 1;
    }
    return rows.rows;
}

}  // namespace orv
