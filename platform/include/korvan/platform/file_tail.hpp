#pragma once

// Reading a file that someone else may have replaced by something else: a FIFO that never gets a
// writer, a device that never ends, a folder, or a file far larger than its writer ever makes.

#include "korvan/platform/files.hpp"

#include <cstdint>
#include <string>
#include <variant>

namespace korvan::platform {

// The end of a regular file.
struct FileTail {
    std::string content;    // its last bytes, at most the limit asked for
    std::uint64_t size = 0; // the whole file's size when it was opened
};

// What stands at the path instead of a regular file; nothing of it was read.
struct NotRegularFile {
    enum class Kind : std::uint8_t { folder = 0, device = 1, fifo = 2, other = 3 };
    Kind kind;
};

// Opens the path (links followed) without waiting for anything, as a FIFO without a writer would
// make an ordinary open wait, and reads only when it leads to a regular file: at most its last
// `limit` bytes, whatever its size (a sparse file of gigabytes costs one read of `limit` bytes).
std::variant<FileTail, NotRegularFile, FileError> read_regular_tail(const std::string& path,
                                                                    std::uint64_t limit);

} // namespace korvan::platform
