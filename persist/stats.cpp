#include "orv/guards.hpp"
#include "orv/hyperbolic_index.hpp"

namespace orv {

IndexStats HyperbolicIndex::get_stats() const {
    ReadGuard guard(*this);
    IndexStats st;
    const int32_t n = size();
    st.num_nodes = n;
    st.ep_id = ep_id;
    st.ep_layer = ep_layer;
    st.max_m = max_m;
    st.max_m_0 = max_m_0;
    st.dimension = dimension;
    if (n > 0) {
        double sum = 0.0;
        for (int32_t i = 0; i < n; ++i) sum += double(nodes.links(i, 0).count);
        st.avg_degree_layer0 = sum / double(n);
    }
    // ep_layer is at least -1 in every index this library builds or loads.
    st.layer_distribution.assign(size_t(ep_layer + 2), 0);
    for (int32_t i = 0; i < n; ++i) {
        const int64_t e = int64_t(nodes.levels[size_t(i)]) + 1;
        if (e >= 0 && e < int64_t(st.layer_distribution.size())) ++st.layer_distribution[size_t(e)];
    }
    return st;
}

}  // namespace orv
