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

// Large blocks are mapped on their own at 2 MiB boundaries; growing a vector
// across the size where that starts must keep its contents, both ways.
TEST(HugePageBlocks, AlignedAndContentsKeptAcrossTheThreshold) {
    orv::BigVector<float> v;
    const size_t big = orv::HUGE_PAGE_BYTES / sizeof(float) * 3 + 5;
    for (size_t i = 0; i < big; ++i) v.push_back(float(i % 1000003));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(v.data()) % orv::HUGE_PAGE_BYTES, 0u);
    for (size_t i = 0; i < big; i += 4099) ASSERT_EQ(v[i], float(i % 1000003)) << i;
    EXPECT_EQ(v.back(), float((big - 1) % 1000003));
    v.resize(10);
    v.shrink_to_fit();
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(v[i], float(i));
    orv::BigVector<float> w(v);
    EXPECT_EQ(w, v);
}

TEST(HugePageBlocks, AbsurdSizeThrowsBadAlloc) {
    orv::HugePageAllocator<float> a;
    EXPECT_THROW((void)a.allocate(size_t(-1) / 8), std::bad_alloc);
    EXPECT_THROW((void)a.allocate(size_t(1) << 60), std::bad_alloc);
}

}  // namespace
