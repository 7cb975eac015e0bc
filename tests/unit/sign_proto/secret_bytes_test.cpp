// The wiping container behind PINs and encoded frames: every block it gives back is all zeros.

#include "korvan/platform/secret.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace korvan::platform {
namespace {

struct Returned {
    std::size_t blocks = 0;
    std::size_t dirty = 0;
};
Returned returned;

// Looks at each block as it comes back, after the wiping allocator is done with it.
template <class T> struct InspectingUpstream {
    using value_type = T;
    InspectingUpstream() = default;
    template <class U> InspectingUpstream(const InspectingUpstream<U>&) {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) {
        const auto* first = reinterpret_cast<const unsigned char*>(p);
        ++returned.blocks;
        if (std::any_of(first, first + n * sizeof(T), [](unsigned char b) { return b != 0; })) {
            ++returned.dirty;
        }
        std::allocator<T>{}.deallocate(p, n);
    }
    friend bool operator==(const InspectingUpstream&, const InspectingUpstream&) { return true; }
};

using Inspected = BasicSecretBytes<InspectingUpstream<std::uint8_t>>;

TEST(SecretBytes, EveryBlockIsWipedOverItsWholeCapacity) {
    returned = {};
    {
        Inspected secret;
        for (int i = 0; i < 300; ++i) { // several regrowths leave old blocks behind
            secret.push_back(0xC3);
        }
        secret.resize(10); // the tail stays in the block, past the size
        Inspected copy = secret;
        EXPECT_EQ(copy, secret);
    }
    EXPECT_GE(returned.blocks, 3u);
    EXPECT_EQ(returned.dirty, 0u);
}

TEST(SecretBytes, ReleaseWipesAndFreesAtOnce) {
    returned = {};
    Inspected secret(64, 0x7E);
    secret.clear(); // clear keeps the block
    EXPECT_EQ(returned.blocks, 0u);
    release(secret);
    EXPECT_EQ(returned.blocks, 1u);
    EXPECT_EQ(returned.dirty, 0u);
    EXPECT_EQ(secret.capacity(), 0u);
}

} // namespace
} // namespace korvan::platform
