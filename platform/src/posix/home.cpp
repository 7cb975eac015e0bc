#include "korvan/platform/home.hpp"

#include <cerrno>
#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace korvan::platform {

std::optional<std::string> profile_directory() {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int rc = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr || found->pw_dir == nullptr) {
            return std::nullopt;
        }
        return std::string(found->pw_dir);
    }
}

} // namespace korvan::platform
