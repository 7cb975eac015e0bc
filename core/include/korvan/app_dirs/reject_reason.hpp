#pragma once

#include <cstdint>
#include <string_view>

namespace korvan::app_dirs {

// Why the module trust policy refused a path; the numbers and names travel to the audit log.
enum class ModuleRejectReason : std::uint8_t {
    not_absolute = 0,
    not_known = 1,
    pin_mismatch = 2,
    target_outside_system_dir = 3,
};

std::string_view reason_name(ModuleRejectReason reason);

} // namespace korvan::app_dirs
