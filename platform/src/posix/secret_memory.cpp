#include "../common/secret_release.hpp"

#include "korvan/platform/secret_storage.hpp"

#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace korvan::platform {
namespace {

// Whole pages, so that unlocking one secret never unlocks a page another secret still lives on.
std::size_t page_size() {
    static const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

std::size_t whole_pages(std::size_t size) {
    const std::size_t page = page_size();
    return size == 0 ? page : (size + page - 1) / page * page;
}

} // namespace

void* acquire_secret_memory(std::size_t size) {
    if (size > static_cast<std::size_t>(-1) - page_size()) {
        return nullptr;
    }
    void* block = nullptr;
    if (::posix_memalign(&block, page_size(), whole_pages(size)) != 0) {
        return nullptr;
    }
    (void)::mlock(block, whole_pages(size)); // over RLIMIT_MEMLOCK the secret may be swapped
    return block;
}

void release_secret_memory(void* block, std::size_t size) noexcept {
    if (block == nullptr) {
        return;
    }
    detail::observe_secret_release(block, size);
    (void)::munlock(block, whole_pages(size));
    std::free(block);
}

} // namespace korvan::platform
