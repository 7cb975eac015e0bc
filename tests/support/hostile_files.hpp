#pragma once

// What another user who can write a folder may leave where a reader expects a regular file: a
// FIFO that never gets a writer, a link to a device that never ends, a huge sparse file.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace korvan::test {

inline constexpr std::uint64_t three_gib = std::uint64_t{3} << 30;

// False where the file system has no FIFOs (Windows).
inline bool make_fifo(const std::filesystem::path& path) {
#ifdef _WIN32
    (void)path;
    return false;
#else
    return ::mkfifo(path.c_str(), 0600) == 0;
#endif
}

// A link to /dev/zero; false where there is none (Windows).
inline bool link_to_endless_device(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists("/dev/zero", error)) {
        return false;
    }
    std::filesystem::create_symlink("/dev/zero", path, error);
    return !error;
}

// `head`, then zeros (a hole where the file system allows) up to `size`, then `tail`.
inline bool make_sparse(const std::filesystem::path& path, const std::string& head,
                        std::uint64_t size, const std::string& tail) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << head;
    std::error_code error;
    std::filesystem::resize_file(path, size, error);
    if (error) {
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << tail;
    return out.good();
}

} // namespace korvan::test
