// Per-node storage: vectors row-major in one block, layer-0 links in one block
// with a fixed stride, upper layers beside it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "orv/huge_pages.hpp"

namespace orv {

struct LinkSpan {
    const int32_t* ids;
    int32_t count;
};

// A value of a layer-0 list that a parallel build's commit may be writing:
// one that some write left there, with the row of any id it names visible.
inline int32_t load_shared(const int32_t* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }

// Rows of pruning bits are one word: lists of up to 63 links, plus the one
// being added.
constexpr int32_t MEMO_MAX_SLOTS = 64;

// What a layer-0 shrink can re-use from the last one on the same node. Each
// link lives in a slot that it keeps while it stays in the list: the slot holds
// its distance from the node and a row of bits, bit j set when the link in
// slot j lies strictly closer to it than the node does (so j, once taken,
// prunes it). slot_of maps list positions to slots; its last entry is the free
// slot, which the next link takes. Derived data: never saved, rebuilt on demand.
struct LinkMemo {
    int32_t slots = 0;  // per node, 0 when off
    BigVector<float> dist;
    BigVector<uint64_t> rows;
    BigVector<uint8_t> slot_of;
    BigVector<uint8_t> valid;  // 1 when the entry describes the current list

    bool on() const { return slots > 0; }
    float* dist_of(int32_t id) { return dist.data() + size_t(id) * size_t(slots); }
    uint64_t* rows_of(int32_t id) { return rows.data() + size_t(id) * size_t(slots); }
    const float* dist_of(int32_t id) const { return dist.data() + size_t(id) * size_t(slots); }
    const uint64_t* rows_of(int32_t id) const { return rows.data() + size_t(id) * size_t(slots); }
    uint8_t* slot_of_node(int32_t id) { return slot_of.data() + size_t(id) * size_t(slots); }
    const uint8_t* slot_of_node(int32_t id) const {
        return slot_of.data() + size_t(id) * size_t(slots);
    }
    // Sets the width and gives n nodes invalid entries.
    void configure(int32_t slots_per_node, int32_t n);
};

// Whether v[0..n) holds no inf or NaN (read from the exponent bits, so that
// the loop vectorises).
inline bool finite_values(const float* v, size_t n) {
    uint32_t bad = 0;
    for (size_t j = 0; j < n; ++j) {
        uint32_t u;
        std::memcpy(&u, v + j, 4);
        bad |= uint32_t((u & 0x7f800000u) == 0x7f800000u);
    }
    return bad == 0;
}

constexpr uint8_t SPLIT_UNKNOWN = 255;

// Most checkpoints a row has for the cosine early exit.
constexpr int32_t MAX_TAIL_CHECKS = 7;

// Upper bounds on the norms of row tails: bound k of a node is at least the
// Euclidean norm of its components from (k + 1) * stride on. With the
// query's own, they bound what the rest of a dot product can add, so a cosine
// sum can stop once its distance can no longer come under a search's bound.
// Derived from the vectors: never saved, filled on load.
struct TailNorms {
    int32_t stride = 0;
    int32_t count = 0;  // per node, 0 when off
    BigVector<float> bounds;

    bool on() const { return count > 0; }
    // Checkpoints for rows of dim components, or none when rows are too short
    // for a stop to pay.
    void configure(int32_t dim, bool wanted);
};

// Writes t.count bounds for row v (see TailNorms); rounding is allowed for,
// so the bounds hold for any vector, and NaN or inf components give NaN or inf.
void tail_norm_bounds(const float* v, size_t dim, int32_t stride, int32_t count, float* out);

class NodeStore {
  public:
    NodeStore() = default;
    NodeStore(int32_t dim, int32_t cap0) { reset(dim, cap0); }

    // Empties the store; layer-0 lists get room for cap0 + 1 ids (one past the
    // cap, so that a reverse link can be appended before the list is cut back).
    void reset(int32_t dim, int32_t cap0);

    int32_t count() const { return static_cast<int32_t>(norms.size()); }
    // Above every id the graph holds, or will hold while a parallel build
    // runs: what per-id scratch is sized by. Read without count(), whose
    // size the build's commits change meanwhile.
    int32_t id_room() const { return id_room_ > 0 ? id_room_ : count(); }
    int32_t dim() const { return dim_; }
    const float* row(int32_t id) const { return vectors.data() + size_t(id) * size_t(dim_); }
    const float* base() const { return vectors.data(); }

    // A layer-0 list read while a parallel build commits: its count, clamped
    // to the record, read once; its ids are read with load_shared.
    LinkSpan links_shared(int32_t id) const {
        const int32_t* rec = links0.data() + size_t(id) * size_t(stride0_);
        const int32_t n = load_shared(rec);
        return {rec + 1, n < 0 ? 0 : n > stride0_ - 1 ? stride0_ - 1 : n};
    }
    LinkSpan links(int32_t id, int32_t layer) const {
        if (layer == 0) {
            const int32_t* rec = links0.data() + size_t(id) * size_t(stride0_);
            return {rec + 1, rec[0]};
        }
        const std::vector<int32_t>& l = upper[size_t(id)][size_t(layer - 1)];
        return {l.data(), static_cast<int32_t>(l.size())};
    }
    // Starts reading a node's list on a layer, for an expansion to come.
    void prefetch_links(int32_t id, int32_t layer) const {
        if (layer == 0) __builtin_prefetch(links0.data() + size_t(id) * size_t(stride0_));
    }
    // Starts reading a node's whole layer-0 record, for a list read to its end.
    void prefetch_list(int32_t id) const {
        const char* rec =
            reinterpret_cast<const char*>(links0.data() + size_t(id) * size_t(stride0_));
        for (size_t at = 0; at < size_t(stride0_) * sizeof(int32_t); at += 64)
            __builtin_prefetch(rec + at);
    }
    // Longest list any layer can hold, transiently one past the layer-0 cap.
    int32_t max_list() const { return stride0_ - 1; }

    // Room for one more node in every sequence.
    void reserve_one();
    // Room for `extra` more nodes in every sequence, so that appending them
    // moves no block that another thread may be reading.
    void reserve_nodes(int64_t extra);
    // While a parallel build runs: the ids it may reach, below `room`; 0 after.
    void set_id_room(int32_t room) { id_room_ = room; }
    // Appends a node with empty lists on layers 0..level; upper lists get room
    // for cap_upper + 1 ids. After reserve_one, nothing is changed if it throws.
    int32_t append(const float* v, float norm, uint64_t mask, int32_t level, int32_t cap_upper);
    // Replaces a list. Layer-0 lists must fit in max_list(); upper lists
    // must fit their reserved capacity when called where nothing may allocate.
    void set_links(int32_t id, int32_t layer, const int32_t* ids, int32_t count);
    // Appends a link in two steps: stage_link writes it past the list's end
    // and returns the longer list; on layer 0 the list others read stays the
    // old one until publish_links gives the new count (or set_links rewrites
    // it). A full list that a shrink then cuts back to what it was is thus
    // never seen with the new link in it. Upper lists take it at once.
    LinkSpan stage_link(int32_t id, int32_t layer, int32_t v);
    void publish_links(int32_t id, int32_t layer, int32_t count);
    // Tail norm bounds of every row kept from now on (cosine indexes), or none.
    void use_tail_norms(bool wanted);
    // Turns the layer-0 link memo on (where it is sound) or off; either way it
    // starts empty.
    void use_link_memo(bool wanted);
    // The parts derived from the rows, as a new or loaded index has them: tail
    // norm bounds when wanted, and the link memo where it costs no more memory
    // than the vectors.
    void prepare_derived(bool tail_norms);
    // Keeps max_norm and all_finite true of a row just stored.
    void note_row(const float* v, float norm) {
        if (norm > max_norm) max_norm = norm;
        if (all_finite && !finite_values(v, size_t(dim_))) all_finite = false;
    }
    // For the loader: n nodes, each with only an empty layer-0 list; their
    // vectors are left for the loader to write (and note_row to see).
    void resize_for_load(int32_t n);
    // For the loader: empty upper lists for layers 1..level.
    void init_upper(int32_t id, int32_t level);
    // Room for one more id in an upper list, so that a later push cannot fail.
    void reserve_upper(int32_t id, int32_t layer, int32_t cap_upper);

    BigVector<float> vectors;
    BigVector<float> norms;
    // At least every stored norm (NaN aside): while it is under the Poincaré
    // boundary no node can be, and the searches skip the per-node test.
    float max_norm = -INFINITY;
    // False once a row holding inf or NaN is stored (a flat insertion or a
    // loaded file may bring one); a Euclidean sum stopped early could then
    // hide the NaN its full value would be.
    bool all_finite = true;
    std::vector<int32_t> levels;
    BigVector<uint64_t> masks;
    BigVector<int32_t> links0;
    // Per node, how many leading links of its layer-0 list the selection that
    // wrote the list took outright (the rest it filled in), or SPLIT_UNKNOWN.
    // Derived: never saved, unknown after a load.
    BigVector<uint8_t> split0;
    std::vector<std::vector<std::vector<int32_t>>> upper;
    LinkMemo memo;
    TailNorms tails;

  private:
    void forget_derived0(int32_t id);

    int32_t id_room_ = 0;
    int32_t dim_ = 0;
    int32_t stride0_ = 2;
};

// Whether the memo of a node costs no more memory than its vector.
bool link_memo_pays(int32_t dim, int32_t cap0);
// The memo width for these nodes: 0 when not wanted or not sound for them.
int32_t link_memo_slots(const NodeStore& st, int32_t cap0, bool wanted);

}  // namespace orv
