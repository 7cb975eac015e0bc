#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>

namespace korvan::platform {

// Memory for secrets in whole pages of their own, kept out of swap where the system allows it
// (a lock that fails is ignored: the secret is still wiped). Null when no memory is left.
void* acquire_secret_memory(std::size_t size);
// Gives back a block of acquire_secret_memory; its bytes must already be wiped. Up to
// `kept_secret_blocks` blocks stay locked, zeroed again, for the next secrets of their size.
void release_secret_memory(void* block, std::size_t size) noexcept;
inline constexpr std::size_t kept_secret_blocks = 16;

// Sees every secret block, with the size it was acquired with, right before it goes back: lets a
// test check that nothing is released unwiped. Gives the observer it replaces; none by default.
using SecretReleaseObserver = void (*)(std::span<const std::uint8_t> block);
SecretReleaseObserver set_secret_release_observer(SecretReleaseObserver observer);

// The upstream of the wiping allocator: blocks from acquire_secret_memory.
template <class T> struct SecretStorage {
    using value_type = T;
    using is_always_equal = std::true_type;

    SecretStorage() = default;
    template <class U> SecretStorage(const SecretStorage<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        void* block = acquire_secret_memory(n * sizeof(T));
        if (block == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(block);
    }
    void deallocate(T* p, std::size_t n) noexcept { release_secret_memory(p, n * sizeof(T)); }

    friend bool operator==(const SecretStorage&, const SecretStorage&) { return true; }
};

} // namespace korvan::platform
