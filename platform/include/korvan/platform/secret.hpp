#pragma once

#include "korvan/platform/secret_storage.hpp"
#include "korvan/platform/secure_zero.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace korvan::platform {

// Hands memory out through Upstream and overwrites every allocated byte with zeros before giving
// it back, so a container's spare capacity and its old blocks after growth are wiped too. The
// default upstream is the locked secret memory; another one lets a test look at what comes back.
template <class T, class Upstream = SecretStorage<T>> class WipingAllocator {
  public:
    using value_type = T;
    using is_always_equal = typename std::allocator_traits<Upstream>::is_always_equal;
    template <class U> struct rebind {
        using other =
            WipingAllocator<U, typename std::allocator_traits<Upstream>::template rebind_alloc<U>>;
    };

    WipingAllocator() = default;
    template <class U, class V>
    WipingAllocator(const WipingAllocator<U, V>& other) noexcept : upstream_(other.upstream()) {}

    T* allocate(std::size_t n) { return std::allocator_traits<Upstream>::allocate(upstream_, n); }
    void deallocate(T* p, std::size_t n) noexcept {
        secure_zero(p, n * sizeof(T));
        std::allocator_traits<Upstream>::deallocate(upstream_, p, n);
    }
    const Upstream& upstream() const { return upstream_; }

    friend bool operator==(const WipingAllocator& a, const WipingAllocator& b) {
        return a.upstream_ == b.upstream_;
    }

  private:
    Upstream upstream_{};
};

// Owned bytes of a secret (a PIN, an encoded frame): wiped over their whole capacity when the
// storage is released, on every path.
template <class Upstream = SecretStorage<std::uint8_t>>
using BasicSecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t, Upstream>>;
using SecretBytes = BasicSecretBytes<>;

// Wipes and frees the storage now rather than when the owner dies (clear() or = {} keep it).
template <class Upstream> void release(BasicSecretBytes<Upstream>& bytes) {
    BasicSecretBytes<Upstream>(bytes.get_allocator()).swap(bytes);
}

// A fixed buffer for a secret, zeros at first: wiped over its whole size when it dies, and on
// demand.
template <std::size_t N> class SecretArray {
  public:
    SecretArray() = default;
    SecretArray(const SecretArray&) = delete;
    SecretArray& operator=(const SecretArray&) = delete;

    void wipe() { secure_zero(bytes_.data(), bytes_.size()); }
    std::span<std::uint8_t, N> span() { return std::span<std::uint8_t, N>(bytes_.data(), N); }
    std::span<const std::uint8_t, N> span() const {
        return std::span<const std::uint8_t, N>(bytes_.data(), N);
    }
    static constexpr std::size_t size() { return N; }

  private:
    SecretBytes bytes_ = SecretBytes(N);
};

} // namespace korvan::platform
