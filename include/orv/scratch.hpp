// Working memory of the searches, reused from call to call so that the hot
// paths allocate nothing once it has grown.
#pragma once

#include <cstdint>
#include <vector>

#include "orv/node_store.hpp"
#include "orv/records.hpp"

namespace orv {

// poincare_x_above of the last bound asked for: a search asks again and again
// while its bound stays the same.
struct XAboveCache {
    bool known = false;
    uint32_t last_bits = 0;
    float last_x = 0.0f;
    float get(float bound);
};

// Versioned visited marks: a node is visited when its mark equals the version,
// so starting a search costs one increment instead of a clear.
struct VisitedMarks {
    BigVector<uint16_t> marks;
    uint16_t version = 0;
    uint16_t begin(size_t n);
};

// Distances by node id, valid where the stamp equals the version.
struct DistanceCache {
    VisitedMarks stamps;
    BigVector<float> dist;
    uint16_t begin(size_t n) {
        if (dist.size() < n) dist.resize(n);
        return stamps.begin(n);
    }
};

// A distance from a row measured with a bound: exact when below the bound,
// otherwise at least the bound and at most the true distance.
struct MeasuredRecord {
    int32_t id;
    float dist;
    float bound;
};

// Measured records of one row by node id, valid where the stamp equals the version.
struct KnownDistances {
    VisitedMarks stamps;
    BigVector<float> dist;
    BigVector<float> bound;
    void load(const std::vector<MeasuredRecord>& records, size_t n);
};

struct SearchScratch {
    std::vector<NodeDist> cand;
    std::vector<NodeDist> beam;
    std::vector<NodeDist> result;
    // A beam or result drained nearest first.
    std::vector<NodeDist> work;
    std::vector<int32_t> ids;
    std::vector<float> dists;
    // A batch measured with nodes ahead: the ids measured, their distances,
    // and the position in ids of each of the first.
    std::vector<int32_t> todo_ids;
    std::vector<float> todo_dists;
    std::vector<int32_t> todo_pos;
    // The query's tail norm bounds, worked out once per search.
    float q_tails[MAX_TAIL_CHECKS];
    XAboveCache x_above;
    // The sorted beam: distances ascending, ids (bitwise not once expanded).
    std::vector<float> sorted_dist;
    std::vector<int32_t> sorted_id;
    // Visited marks, shared by every index searched on this thread.
    VisitedMarks marks;
    // Distances the latest layer search measured ahead of need.
    DistanceCache ahead;
    // When set, a plan made ahead of its commit: every node whose list a
    // search expands or walks (the lists read only to measure nodes ahead
    // decide nothing), and every distance a layer search keeps, are logged here.
    std::vector<int32_t>* read_log = nullptr;
    std::vector<NodeDist>* keep_log = nullptr;
    // When set, so is every distance a layer search measures, with its bound.
    std::vector<MeasuredRecord>* measure_log = nullptr;
    // When set, a layer search takes the distances it may trust from here
    // instead of measuring them again (a row planned earlier, replayed).
    const KnownDistances* known = nullptr;
};

// This thread's scratch.
SearchScratch& thread_scratch();

}  // namespace orv
