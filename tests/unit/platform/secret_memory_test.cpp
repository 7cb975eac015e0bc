// The memory behind PINs and encoded frames: page-aligned, locked while it lives, and seen wiped
// over its whole size by the release observer.

#include "released_secrets.hpp"

#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/platform/secret.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvan::platform {
namespace {

using test::ReleasedSecrets;

// The observer must notice a block that was not wiped, or every other test here proves nothing.
TEST(SecretMemory, TheObserverSeesABlockReleasedUnwiped) {
    ReleasedSecrets released;
    void* block = acquire_secret_memory(40);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0, 40);
    static_cast<unsigned char*>(block)[39] = 1; // the last byte only
    release_secret_memory(block, 40);
    ASSERT_EQ(released.blocks().size(), 1u);
    EXPECT_EQ(released.blocks()[0].size, 40u);
    EXPECT_FALSE(released.blocks()[0].wiped);
}

TEST(SecretMemory, BlocksAreWritableAndStartOnAPageOfTheirOwn) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4097},
                             std::size_t{70000}}) {
        auto* block = static_cast<unsigned char*>(acquire_secret_memory(size));
        ASSERT_NE(block, nullptr) << size;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 4096, 0u) << size;
        std::memset(block, 0xA5, size);
        std::memset(block, 0, size);
        release_secret_memory(block, size);
    }
    release_secret_memory(nullptr, 12); // as free(nullptr): nothing
}

TEST(SecretMemory, ContainersReleaseEveryBlockWipedOverItsWholeCapacity) {
    ReleasedSecrets released;
    std::set<std::size_t> capacities;
    {
        SecretBytes secret;
        for (int i = 0; i < 600; ++i) { // regrowth leaves old blocks behind
            secret.push_back(0x5A);
            capacities.insert(secret.capacity());
        }
        secret.resize(3);         // the tail stays in the block, past the size
        SecretArray<1000> buffer; // a size no regrowth gives
        std::memset(buffer.span().data(), 0x33, buffer.size());
    }
    EXPECT_EQ(released.unwiped(), 0u) << released.describe();
    for (std::size_t capacity : capacities) {
        EXPECT_EQ(released.of_size(capacity), 1u) << capacity << ": " << released.describe();
    }
    EXPECT_EQ(released.of_size(1000), 1u) << released.describe();
    EXPECT_EQ(released.blocks().size(), capacities.size() + 1);
}

TEST(SecretMemory, AnArrayStartsAsZerosAndWipesOnDemand) {
    SecretArray<64> buffer;
    for (std::uint8_t b : buffer.span()) {
        ASSERT_EQ(b, 0);
    }
    std::memset(buffer.span().data(), 0x77, buffer.size());
    buffer.wipe();
    for (std::uint8_t b : buffer.span()) {
        ASSERT_EQ(b, 0);
    }
}

// Kilobytes of memory locked in this process, where the system tells (Linux); none elsewhere
// (under Wine the file is Wine's own, and VirtualLock locks nothing there). AddressSanitizer
// turns mlock into a call that does nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool mlock_works = false;
#else
constexpr bool mlock_works = true;
#endif
std::optional<long> locked_kib() {
    if (app_dirs::build_family == app_dirs::PlatformFamily::windows || !mlock_works) {
        return std::nullopt;
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmLck:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return std::nullopt;
}

// Released blocks are kept locked for reuse, so the count is taken over more buffers than are
// kept: every buffer beyond them must bring locked pages of its own, and every block that is not
// kept must be unlocked before it is freed.
TEST(SecretMemory, PinBuffersAreLockedInMemoryAndUnlockedWhenNotKept) {
    const std::optional<long> before = locked_kib();
    if (!before) {
        GTEST_SKIP() << "this system does not report locked memory";
    }
    constexpr long page_kib = 4;
    constexpr long alive = 3 * static_cast<long>(kept_secret_blocks);
    std::optional<long> during;
    {
        std::vector<std::unique_ptr<SecretArray<1024>>> buffers;
        for (long i = 0; i < alive; ++i) {
            buffers.push_back(std::make_unique<SecretArray<1024>>());
        }
        during = locked_kib();
    }
    const long kept_kib = static_cast<long>(kept_secret_blocks) * page_kib;
    EXPECT_GE(*during, *before + (alive - static_cast<long>(kept_secret_blocks)) * page_kib)
        << "unless RLIMIT_MEMLOCK is exhausted";
    EXPECT_LE(*locked_kib(), *before + kept_kib) << "unlocked again before it was freed";
}

TEST(SecretMemory, AKeptBlockComesBackAsZerosWhateverItsOwnerLeft) {
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < kept_secret_blocks; ++i) {
        auto* block = static_cast<unsigned char*>(acquire_secret_memory(100));
        ASSERT_NE(block, nullptr);
        std::memset(block, 0xEE, 4096); // the whole page, past the size asked for
        blocks.push_back(block);
    }
    for (void* block : blocks) {
        release_secret_memory(block, 100);
    }
    for (std::size_t i = 0; i < kept_secret_blocks; ++i) {
        auto* block = static_cast<unsigned char*>(acquire_secret_memory(100));
        ASSERT_NE(block, nullptr);
        for (std::size_t b = 0; b < 4096; ++b) {
            ASSERT_EQ(block[b], 0) << "byte " << b;
        }
        release_secret_memory(block, 100);
    }
}

} // namespace
} // namespace korvan::platform
