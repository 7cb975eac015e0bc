#pragma once

#include <string_view>

namespace korvan::cli {

// The module trust policy as the front ends see it: asked once per run, before any module is
// loaded. A rejection has already been reported and recorded when this answers true.
class ModuleGate {
  public:
    virtual ~ModuleGate() = default;
    virtual bool rejects(std::string_view module_path) = 0;
};

} // namespace korvan::cli
