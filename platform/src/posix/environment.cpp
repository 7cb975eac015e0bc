#include "korvan/platform/environment.hpp"
#include "korvan/platform/unicode.hpp"

#include <cstdlib>

namespace korvan::platform {

EnvValue ProcessEnvironment::get(std::string_view name) const {
    const char* raw = std::getenv(std::string(name).c_str());
    if (raw == nullptr) {
        return {};
    }
    std::string value(raw);
    const bool unicode = is_valid_utf8(value);
    return {unicode ? EnvValue::Status::Set : EnvValue::Status::NotUnicode, std::move(value)};
}

} // namespace korvan::platform
