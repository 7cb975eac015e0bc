#pragma once

#include "engine/sign_outcome.hpp"
#include "engine/sign_request.hpp"

namespace korvan::engine {

// One whole protocol-2 operation against a module: load, check the token, log in, sign, release.
// The seam where front-end tests put a double.
class SigningEngine {
  public:
    virtual ~SigningEngine() = default;
    virtual SignOutcome run_sign_session(const SignRequest& request) = 0;
};

} // namespace korvan::engine
