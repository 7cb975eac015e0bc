#include "korvan/platform/ownership.hpp"

namespace korvan::platform {

// The profile's access list, set by the system, keeps other users out of the per-user folder;
// its owners and access lists are not examined here.
std::optional<std::string> ownership_problem(const std::string&) {
    return std::nullopt;
}

std::optional<std::string> ownership_problem(NativeHandle, const std::string&) {
    return std::nullopt;
}

// A held module file shares reading only: no one can replace it while it is held.
std::optional<std::string> ownership_problem_along(NativeHandle, const std::string&) {
    return std::nullopt;
}

std::variant<std::string, FileError> read_owned_file(const std::string& path) {
    return read_file(path);
}

} // namespace korvan::platform
