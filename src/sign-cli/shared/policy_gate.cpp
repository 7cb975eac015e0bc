#include "shared/policy_gate.hpp"

#include "korvan/app_dirs/module_policy.hpp"

namespace korvan::cli {

bool PolicyGate::rejects(std::string_view module_path) {
    return app_dirs::enforce_module_policy(module_path, environment_, clock_, error_);
}

} // namespace korvan::cli
