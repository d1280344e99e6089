// Small records shared by the searches and the build.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace orv {

enum MetricType : int32_t { POINCARE = 0, EUCLIDEAN = 1, COSINE = 2 };

// Element of every candidate queue, beam and result heap; ordered by dist alone.
struct NodeDist {
    float dist;
    int32_t id;
    bool operator<(const NodeDist& o) const { return dist < o.dist; }
    bool operator>(const NodeDist& o) const { return dist > o.dist; }
};

// What a caller may ask of a beam search: whether any distance measured was
// NaN, and the smallest distance of a record that left the beam or never
// entered it.
struct BeamWatch {
    bool nan = false;
    float min_out = INFINITY;
    void saw(float d) { nan = nan || std::isnan(d); }
    void left(float d) { min_out = std::min(min_out, d); }
};

// Query limits shared by the graph searches.
struct QueryLimits {
    uint64_t filter_mask = 0;
    float max_radius = -1.0f;
    float min_norm = -1.0f;
};

// A negative result count fails as the room reserved for it would.
inline void refuse_negative_count(int64_t count) {
    if (count < 0) throw std::length_error("vector::reserve");
}

}  // namespace orv
