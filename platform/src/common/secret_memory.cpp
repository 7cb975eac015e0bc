#include "locked_pages.hpp"

#include "korvan/platform/secret_storage.hpp"
#include "korvan/platform/secure_zero.hpp"

#include <array>
#include <mutex>

namespace korvan::platform {
namespace {

SecretReleaseObserver observer = nullptr;

std::size_t whole_pages(std::size_t size) {
    const std::size_t page = detail::page_size();
    return size == 0 ? page : (size + page - 1) / page * page;
}

// Released blocks wait here, zeroed and still locked, for the next secret of the same size: a
// session encodes two frames per signature, and locking fresh pages for each cost more than the
// rest of the frame's way out.
class LockedBlockCache {
  public:
    void* take(std::size_t bytes) {
        const std::lock_guard<std::mutex> guard(mutex_);
        for (std::size_t i = 0; i < count_; ++i) {
            if (blocks_[i].bytes == bytes) {
                void* block = blocks_[i].block;
                blocks_[i] = blocks_[--count_];
                return block;
            }
        }
        return nullptr;
    }
    bool keep(void* block, std::size_t bytes) {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (count_ == blocks_.size()) {
            return false;
        }
        blocks_[count_++] = {block, bytes};
        return true;
    }

  private:
    struct Entry {
        void* block;
        std::size_t bytes;
    };
    std::mutex mutex_;
    std::array<Entry, kept_secret_blocks> blocks_{};
    std::size_t count_ = 0;
};

// Never destroyed, so a secret that dies during the process's own teardown still has a cache.
LockedBlockCache& cache() {
    static LockedBlockCache* const instance = new LockedBlockCache;
    return *instance;
}

} // namespace

void* acquire_secret_memory(std::size_t size) {
    if (size > static_cast<std::size_t>(-1) - detail::page_size()) {
        return nullptr;
    }
    const std::size_t bytes = whole_pages(size);
    if (void* block = cache().take(bytes)) {
        return block;
    }
    return detail::lock_new_pages(bytes);
}

void release_secret_memory(void* block, std::size_t size) noexcept {
    if (block == nullptr) {
        return;
    }
    if (observer != nullptr) {
        observer(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(block), size));
    }
    // The owner wiped what it used; the whole block is wiped again so that what is handed out
    // next starts as zeros whatever the owner did.
    const std::size_t bytes = whole_pages(size);
    secure_zero(block, bytes);
    if (!cache().keep(block, bytes)) {
        detail::free_locked_pages(block, bytes);
    }
}

SecretReleaseObserver set_secret_release_observer(SecretReleaseObserver next) {
    const SecretReleaseObserver previous = observer;
    observer = next;
    return previous;
}

} // namespace korvan::platform
