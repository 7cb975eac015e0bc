#include "../common/secret_release.hpp"

#include "korvan/platform/secret_storage.hpp"

#include <windows.h>

namespace korvan::platform {

// VirtualAlloc hands out whole pages of their own, so unlocking one secret never unlocks a page
// another secret still lives on.
void* acquire_secret_memory(std::size_t size) {
    void* block =
        VirtualAlloc(nullptr, size == 0 ? 1 : size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (block != nullptr) {
        // Beyond the working-set minimum the lock fails and the secret may be paged out.
        (void)VirtualLock(block, size == 0 ? 1 : size);
    }
    return block;
}

void release_secret_memory(void* block, std::size_t size) noexcept {
    if (block == nullptr) {
        return;
    }
    detail::observe_secret_release(block, size);
    (void)VirtualUnlock(block, size == 0 ? 1 : size);
    VirtualFree(block, 0, MEM_RELEASE);
}

} // namespace korvan::platform
