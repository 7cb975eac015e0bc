#pragma once

#include "engine/module.hpp"

namespace korvan::engine {

// An open session: closed on every way out, logged out first when a login succeeded.
class SessionGuard {
  public:
    SessionGuard(Module& module, CK_SESSION_HANDLE session) : module_(module), session_(session) {}
    SessionGuard(const SessionGuard&) = delete;
    SessionGuard& operator=(const SessionGuard&) = delete;
    ~SessionGuard() { release(); }

    CK_SESSION_HANDLE handle() const { return session_; }
    void logged_in() { logged_in_ = true; }

    // C_Logout (after a login) then C_CloseSession, once; their results change nothing.
    void release() {
        if (!open_) {
            return;
        }
        if (logged_in_) {
            module_.logout(session_);
        }
        module_.close_session(session_);
        open_ = false;
    }

  private:
    Module& module_;
    CK_SESSION_HANDLE session_;
    bool open_ = true;
    bool logged_in_ = false;
};

} // namespace korvan::engine
