// The index file: a 28-byte header, then vectors with their stored norms,
// masks, and levels with their neighbour lists, in the host's byte order.
// Loading checks everything before the index is touched.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "file_io.hpp"
#include "orv/guards.hpp"
#include "orv/hyperbolic_index.hpp"

namespace orv {

namespace {

// The level draw never exceeds 33; anything far above is a damaged file.
constexpr int32_t MAX_FILE_LEVEL = 64;
constexpr uint64_t MAX_SLACK_BYTES = uint64_t(256) << 20;

struct Header {
    int32_t dimension;
    float curvature;
    int32_t max_m;
    int32_t ep_id;
    int32_t ep_layer;
    uint64_t count;
};

Header read_header(FileReader& in) {
    Header h;
    h.dimension = in.get<int32_t>();
    h.curvature = in.get<float>();
    h.max_m = in.get<int32_t>();
    h.ep_id = in.get<int32_t>();
    h.ep_layer = in.get<int32_t>();
    h.count = in.get<uint64_t>();
    if (h.dimension < 1) in.fail("dimension " + std::to_string(h.dimension) + " is below 1");
    if (h.max_m < 2 || h.max_m > MAX_M)
        in.fail("max_m " + std::to_string(h.max_m) + " is outside 2 .. " + std::to_string(MAX_M));
    // Smallest node: vector and norm, mask, level, one layer count.
    const uint64_t min_node = 4 * (uint64_t(h.dimension) + 1) + 8 + 4 + 8;
    if (h.count > uint64_t(INT32_MAX) || h.count > in.remaining() / min_node)
        in.fail("node count " + std::to_string(h.count) + " does not fit the file's " +
                std::to_string(in.remaining()) + " remaining bytes");
    // Layer-0 lists have a fixed slot of 2 max_m + 2 ids per node; a file of
    // mostly empty lists must not make that slot block far larger than itself.
    const uint64_t file_bytes = in.remaining() + 28;
    const uint64_t slot_bytes = h.count * (2 * uint64_t(h.max_m) + 2) * 4;
    if (slot_bytes > 16 * file_bytes + MAX_SLACK_BYTES)
        in.fail("its " + std::to_string(h.count) + " nodes with max_m " + std::to_string(h.max_m) +
                " would need " + std::to_string(slot_bytes) +
                " bytes of link slots, more than a file of " + std::to_string(file_bytes) +
                " bytes justifies");
    if ((h.ep_id == -1) != (h.ep_layer == -1) || h.ep_id < -1 ||
        (h.ep_id >= 0 && uint64_t(h.ep_id) >= h.count))
        in.fail("entry point " + std::to_string(h.ep_id) + " on layer " +
                std::to_string(h.ep_layer) + " is invalid for " + std::to_string(h.count) +
                " nodes");
    return h;
}

// The highest level the draw can give for this max_m (the draw's value is at
// least 1e-10); no index builds a higher one.
int32_t max_level_for(int32_t max_m) {
    return int32_t(-(std::log(1e-10) * double(level_mult_for(max_m))));
}

void read_lists(FileReader& in, NodeStore& st, int32_t max_m, int32_t n) {
    std::vector<int32_t> ids;
    const int32_t top = std::min(max_level_for(max_m), MAX_FILE_LEVEL);
    for (int32_t i = 0; i < n; ++i) {
        const int32_t level = in.get<int32_t>();
        if (level < 0 || level > top)
            in.fail("node " + std::to_string(i) + " has level " + std::to_string(level) +
                    ", outside 0 .. " + std::to_string(top) + " for max_m " +
                    std::to_string(max_m));
        st.levels[size_t(i)] = level;
        st.init_upper(i, level);
        for (int32_t layer = 0; layer <= level; ++layer) {
            const uint64_t c = in.get<uint64_t>();
            const uint64_t cap = uint64_t(layer == 0 ? layer0_cap(max_m) : max_m);
            if (c > cap)
                in.fail("node " + std::to_string(i) + " lists " + std::to_string(c) +
                        " neighbours on layer " + std::to_string(layer) + ", more than its cap " +
                        std::to_string(cap));
            ids.resize(size_t(c));
            in.read(ids.data(), size_t(c) * 4);
            st.set_links(i, layer, ids.data(), int32_t(c));
        }
    }
}

// Section A in chunks of whole nodes, each vector followed by its norm.
void read_vectors(FileReader& in, NodeStore& st, int32_t dim, int32_t n) {
    const size_t rec = size_t(dim) + 1;
    const size_t per_chunk = std::max<size_t>(1, (size_t(1) << 18) / rec);
    std::vector<float> chunk(std::min(size_t(n), per_chunk) * rec);
    for (size_t start = 0; start < size_t(n); start += per_chunk) {
        const size_t m = std::min(per_chunk, size_t(n) - start);
        in.read(chunk.data(), m * rec * 4);
        for (size_t i = 0; i < m; ++i) {
            const float* r = chunk.data() + i * rec;
            std::memcpy(st.vectors.data() + (start + i) * size_t(dim), r, size_t(dim) * 4);
            st.norms[start + i] = r[dim];
            st.note_row(r, r[dim]);
        }
    }
}

// Every neighbour must be a node whose level reaches the layer it is listed on.
void check_links(const FileReader& in, const NodeStore& st) {
    const int32_t n = st.count();
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t layer = 0; layer <= st.levels[size_t(i)]; ++layer) {
            const LinkSpan l = st.links(i, layer);
            for (int32_t j = 0; j < l.count; ++j) {
                const int32_t id = l.ids[j];
                if (id < 0 || id >= n)
                    in.fail("node " + std::to_string(i) + " links to " + std::to_string(id) +
                            ", outside 0 .. " + std::to_string(n - 1));
                // Every level is at least 0, so layer 0 needs no lookup (which
                // would be a cache miss per link).
                if (layer > 0 && st.levels[size_t(id)] < layer)
                    in.fail("node " + std::to_string(i) + " links on layer " +
                            std::to_string(layer) + " to node " + std::to_string(id) +
                            " of level " + std::to_string(st.levels[size_t(id)]));
            }
        }
    }
}

}  // namespace

void HyperbolicIndex::save_index(const std::string& filename) const {
    ReadGuard guard(*this);
    FileWriter out(filename);
    const int32_t n = size();
    out.put(dimension);
    out.put(curvature);
    out.put(max_m);
    out.put(ep_id);
    out.put(ep_layer);
    out.put(uint64_t(n));
    for (int32_t i = 0; i < n; ++i) {
        out.write(nodes.row(i), size_t(dimension) * 4);
        out.put(nodes.norms[size_t(i)]);
    }
    out.write(nodes.masks.data(), size_t(n) * 8);
    for (int32_t i = 0; i < n; ++i) {
        out.put(nodes.levels[size_t(i)]);
        for (int32_t layer = 0; layer <= nodes.levels[size_t(i)]; ++layer) {
            const LinkSpan l = nodes.links(i, layer);
            out.put(uint64_t(l.count));
            out.write(l.ids, size_t(l.count) * 4);
        }
    }
    out.commit();
}

void HyperbolicIndex::load_index(const std::string& filename) {
    WriteGuard guard(*this);
    FileReader in(filename);
    const Header h = read_header(in);
    const int32_t n = int32_t(h.count);
    NodeStore st(h.dimension, layer0_cap(h.max_m));
    st.resize_for_load(n);
    read_vectors(in, st, h.dimension, n);
    in.read(st.masks.data(), size_t(n) * 8);
    read_lists(in, st, h.max_m, n);
    if (in.remaining() != 0)
        in.fail(std::to_string(in.remaining()) +
                " trailing bytes follow the end of the index data");
    check_links(in, st);
    if (h.ep_id >= 0 && st.levels[size_t(h.ep_id)] != h.ep_layer)
        in.fail("entry point " + std::to_string(h.ep_id) + " has level " +
                std::to_string(st.levels[size_t(h.ep_id)]) + ", not " + std::to_string(h.ep_layer));
    // The last step that may fail (memory), before anything is changed.
    st.prepare_derived(metric_type == COSINE);
    configure(h.dimension, h.max_m);
    curvature = h.curvature;
    ep_id = h.ep_id;
    ep_layer = h.ep_layer;
    nodes = std::move(st);
}

}  // namespace orv
