#include "../common/locked_pages.hpp"

#include <windows.h>

namespace korvan::platform::detail {

std::size_t page_size() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// VirtualAlloc hands out pages of their own.
void* lock_new_pages(std::size_t bytes) {
    void* block = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (block != nullptr) {
        // Beyond the working-set minimum the lock fails and the secret may be paged out.
        (void)VirtualLock(block, bytes);
    }
    return block;
}

void free_locked_pages(void* block, std::size_t bytes) noexcept {
    (void)VirtualUnlock(block, bytes);
    VirtualFree(block, 0, MEM_RELEASE);
}

} // namespace korvan::platform::detail
