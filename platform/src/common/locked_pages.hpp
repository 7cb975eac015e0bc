#pragma once

#include <cstddef>

namespace korvan::platform::detail {

// The system's page size; secret blocks are whole pages, so that unlocking one secret never
// unlocks a page another secret still lives on.
std::size_t page_size();

// `bytes` (a positive multiple of page_size()) of fresh pages of their own, locked in memory
// where the system allows it: a lock that fails is ignored, the secret may then be paged out.
// Null when no memory is left.
void* lock_new_pages(std::size_t bytes);
void free_locked_pages(void* block, std::size_t bytes) noexcept;

} // namespace korvan::platform::detail
