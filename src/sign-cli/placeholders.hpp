#pragma once

// TEMPORARY stand-ins for the module trust policy and the PKCS#11 engine, which are not built yet.
// They keep the front end whole and honest: nothing is loaded and no signature is ever invented.

#include "engine/signing_engine.hpp"
#include "shared/module_gate.hpp"

namespace korvan::cli {

// No module is loaded by this build, so no path needs to be refused yet.
class NoPolicyYet final : public ModuleGate {
  public:
    bool rejects(std::string_view) override { return false; }
};

class NoEngineYet final : public engine::SigningEngine {
  public:
    engine::SignOutcome run_sign_session(const engine::SignRequest&) override {
        return engine::outcome::ModuleLoadFailed{"PKCS#11 engine not available in this build"};
    }
};

} // namespace korvan::cli
