#include "secret_release.hpp"

#include "korvan/platform/secret_storage.hpp"

namespace korvan::platform {
namespace {

SecretReleaseObserver observer = nullptr;

} // namespace

SecretReleaseObserver set_secret_release_observer(SecretReleaseObserver next) {
    const SecretReleaseObserver previous = observer;
    observer = next;
    return previous;
}

namespace detail {

void observe_secret_release(const void* block, std::size_t size) noexcept {
    if (observer != nullptr) {
        observer(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(block), size));
    }
}

} // namespace detail
} // namespace korvan::platform
