#pragma once

// The least a program must do to sign on a PKCS#11 token: the raw function list, no checks beyond
// the return values. The benchmarks measure sign-cli against this.

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace korvan::bench {

struct DirectFailure {
    std::string step; // the failing call, or the loader's words
};

struct DirectKey {
    CK_OBJECT_HANDLE handle = 0;
    CK_KEY_TYPE type = 0;
};

// Loaded, initialised, one session on `slot` logged in as the user; everything is undone in
// reverse when it dies.
class DirectToken {
  public:
    static std::variant<DirectToken, DirectFailure> open(const std::string& module, CK_SLOT_ID slot,
                                                         std::span<const std::uint8_t> pin);
    DirectToken(DirectToken&& other) noexcept;
    DirectToken& operator=(DirectToken&&) = delete;
    DirectToken(const DirectToken&) = delete;
    DirectToken& operator=(const DirectToken&) = delete;
    ~DirectToken();

    // The private key with that CKA_ID and its type, as sign-cli looks it up.
    std::variant<DirectKey, DirectFailure> find_key(std::span<const std::uint8_t> id);
    // C_GetTokenInfo of the session's slot, as sign-cli asks it before every signature.
    std::optional<DirectFailure> read_token_info();
    // C_SignInit and C_Sign; the signature's length.
    std::variant<std::size_t, DirectFailure> sign(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism,
                                                  std::span<const std::uint8_t> data,
                                                  std::span<std::uint8_t> signature);

  private:
    DirectToken() = default;

    void* library_ = nullptr;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE session_ = 0;
    bool initialized_ = false;
    bool session_open_ = false;
    bool logged_in_ = false;
};

// The data sign-cli gives the token for a 32-byte digest: the SHA-256 DigestInfo for RSA, the
// digest itself for ECDSA.
std::vector<std::uint8_t> data_for(CK_KEY_TYPE type, std::span<const std::uint8_t> digest);
CK_MECHANISM_TYPE mechanism_for(CK_KEY_TYPE type);

} // namespace korvan::bench
