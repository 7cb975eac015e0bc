#pragma once

#include "engine/signing_engine.hpp"

#include "korvan/platform/streams.hpp"

namespace korvan::engine {

// One protocol-2 operation: load, initialise, find and check the token twice before the PIN goes
// anywhere, log in, then verify or resolve the key and sign. Progress lines go to `progress`.
SignOutcome run_sign_session(const SignRequest& request, platform::ByteSink& progress);

class Pkcs11Engine final : public SigningEngine {
  public:
    explicit Pkcs11Engine(platform::ByteSink& progress) : progress_(progress) {}
    SignOutcome run_sign_session(const SignRequest& request) override {
        return engine::run_sign_session(request, progress_);
    }

  private:
    platform::ByteSink& progress_;
};

} // namespace korvan::engine
