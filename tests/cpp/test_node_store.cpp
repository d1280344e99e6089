// Link lists of the node store.
#include <gtest/gtest.h>

#include "reference.hpp"

namespace {

// An empty list may come as a null pointer (the data of an empty vector, as
// the loader passes for an empty first list); nothing may be read from it.
TEST(NodeStoreLists, EmptyListFromNullPointer) {
    orv::NodeStore st(2, 8);
    const float v[2] = {0.1f, 0.2f};
    st.reserve_one();
    st.append(v, 0.05f, 0, 2, 4);
    const int32_t ids[3] = {0, 0, 0};
    for (int32_t layer = 0; layer <= 2; ++layer) {
        st.set_links(0, layer, ids, 3);
        st.set_links(0, layer, nullptr, 0);
        EXPECT_EQ(st.links(0, layer).count, 0) << "layer " << layer;
    }
}

}  // namespace
