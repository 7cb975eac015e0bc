#include "../common/locked_pages.hpp"

#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace korvan::platform::detail {

std::size_t page_size() {
    static const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

void* lock_new_pages(std::size_t bytes) {
    void* block = nullptr;
    if (::posix_memalign(&block, page_size(), bytes) != 0) {
        return nullptr;
    }
    (void)::mlock(block, bytes); // over RLIMIT_MEMLOCK the secret may be swapped
    return block;
}

void free_locked_pages(void* block, std::size_t bytes) noexcept {
    (void)::munlock(block, bytes);
    std::free(block);
}

} // namespace korvan::platform::detail
