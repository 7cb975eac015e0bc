#include "shared/policy_gate.hpp"

#include "korvan/app_dirs/module_policy.hpp"

namespace korvan::cli {

std::optional<AdmittedModule> PolicyGate::admit(std::string_view module_path) {
    auto accepted = app_dirs::enforce_module_policy(module_path, environment_, clock_, error_);
    if (!accepted) {
        return std::nullopt;
    }
    return AdmittedModule{std::move(accepted->held)};
}

} // namespace korvan::cli
