#pragma once

// TEMPORARY stand-in for the module trust policy, which is not wired in yet.

#include "shared/module_gate.hpp"

namespace korvan::cli {

// Refuses nothing: until the policy lands, this build must not be given untrusted module paths.
class NoPolicyYet final : public ModuleGate {
  public:
    bool rejects(std::string_view) override { return false; }
};

} // namespace korvan::cli
