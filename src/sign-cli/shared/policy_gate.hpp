#pragma once

#include "shared/module_gate.hpp"

#include "korvan/platform/clock.hpp"
#include "korvan/platform/environment.hpp"
#include "korvan/platform/streams.hpp"

namespace korvan::cli {

// The module trust policy of korvan-qes-core, reporting rejections on the given error stream and
// in the per-user audit log.
class PolicyGate final : public ModuleGate {
  public:
    PolicyGate(const platform::Environment& environment, const platform::Clock& clock,
               platform::ByteSink& error)
        : environment_(environment), clock_(clock), error_(error) {}
    std::optional<AdmittedModule> admit(std::string_view module_path) override;

  private:
    const platform::Environment& environment_;
    const platform::Clock& clock_;
    platform::ByteSink& error_;
};

} // namespace korvan::cli
