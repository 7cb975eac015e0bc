#pragma once

// Watches the secret blocks that code under test gives back, through the platform's release
// observer: the size of each and whether every byte of it was zero by then.
//
//     ReleasedSecrets released;
//     ... run the code ...
//     EXPECT_EQ(released.unwiped(), 0u);
//     EXPECT_GE(released.of_size(11), 1u); // the PIN's own block was seen

#include "korvan/platform/secret_storage.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace korvan::test {

class ReleasedSecrets {
  public:
    struct Block {
        std::size_t size;
        bool wiped;
    };

    ReleasedSecrets() {
        seen().clear();
        previous_ = platform::set_secret_release_observer(&record);
    }
    ~ReleasedSecrets() { platform::set_secret_release_observer(previous_); }
    ReleasedSecrets(const ReleasedSecrets&) = delete;
    ReleasedSecrets& operator=(const ReleasedSecrets&) = delete;

    const std::vector<Block>& blocks() const { return seen(); }
    std::size_t unwiped() const {
        return static_cast<std::size_t>(
            std::count_if(seen().begin(), seen().end(), [](const Block& b) { return !b.wiped; }));
    }
    std::size_t of_size(std::size_t size) const {
        return static_cast<std::size_t>(std::count_if(
            seen().begin(), seen().end(), [size](const Block& b) { return b.size == size; }));
    }
    // "18 32! 5": the sizes in release order, unwiped ones marked, for failure messages.
    std::string describe() const {
        std::string text;
        for (const Block& b : seen()) {
            text += (text.empty() ? "" : " ") + std::to_string(b.size) + (b.wiped ? "" : "!");
        }
        return text;
    }

  private:
    // Kept in ordinary memory: recording must not release secret blocks of its own.
    static std::vector<Block>& seen() {
        static std::vector<Block> blocks;
        return blocks;
    }
    static void record(std::span<const std::uint8_t> block) {
        seen().push_back(
            {block.size(), std::all_of(block.begin(), block.end(), [](auto b) { return b == 0; })});
    }

    platform::SecretReleaseObserver previous_ = nullptr;
};

} // namespace korvan::test
