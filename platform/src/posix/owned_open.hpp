#pragma once

#include "korvan/platform/files.hpp"

#include <string>
#include <variant>

namespace korvan::platform::posix {

// Opens `path` with `flags` (O_CREAT makes it 0600) when its folder and the file itself pass the
// ownership rule and the file is a regular file whose name is no symbolic link. Never blocks on a
// FIFO or a device planted there. The descriptor is close-on-exec and blocking again.
std::variant<int, FileError> open_owned(const std::string& path, int flags);

} // namespace korvan::platform::posix
