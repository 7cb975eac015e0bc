#pragma once

#include "korvan/platform/library.hpp"

#include <optional>
#include <string_view>

namespace korvan::cli {

// What the policy let in. `held` is the file whose digest it compared, still open: that file is
// loaded, never the path again. None when it vouched for the location only; the path is then
// opened at the load.
struct AdmittedModule {
    std::optional<platform::ModuleFile> held;
};

// The module trust policy as the front ends see it: asked once per run, before any module is
// loaded. A rejection has already been reported and recorded when this answers none.
class ModuleGate {
  public:
    virtual ~ModuleGate() = default;
    virtual std::optional<AdmittedModule> admit(std::string_view module_path) = 0;
};

} // namespace korvan::cli
