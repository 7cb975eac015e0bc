#include "floor/direct_token.hpp"

#include "korvan/platform/library.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace korvan::bench {
namespace {

DirectFailure failed(const char* call, CK_RV rv) {
    return {std::string(call) + " rv=" + std::to_string(rv)};
}

} // namespace

std::variant<DirectToken, DirectFailure>
DirectToken::open(const std::string& module, CK_SLOT_ID slot, std::span<const std::uint8_t> pin) {
    DirectToken token;
    auto file = platform::ModuleFile::open(module);
    if (auto* error = std::get_if<platform::FileError>(&file)) {
        return DirectFailure{error->text};
    }
    auto loaded = platform::load_library(std::get<platform::ModuleFile>(file));
    if (auto* error = std::get_if<platform::LibraryError>(&loaded)) {
        return DirectFailure{error->text};
    }
    token.library_ = std::get<platform::LibraryHandle>(loaded).native;
    auto symbol = platform::find_symbol({token.library_}, "C_GetFunctionList");
    if (auto* error = std::get_if<platform::LibraryError>(&symbol)) {
        return DirectFailure{error->text};
    }
    const auto get_list = reinterpret_cast<CK_C_GetFunctionList>(std::get<void*>(symbol));
    if (CK_RV rv = get_list(&token.functions_); rv != CKR_OK) {
        return failed("C_GetFunctionList", rv);
    }
    CK_FUNCTION_LIST& f = *token.functions_;
    if (CK_RV rv = f.C_Initialize(nullptr); rv != CKR_OK) {
        return failed("C_Initialize", rv);
    }
    token.initialized_ = true;
    token.slot_ = slot;

    // sign-cli finds the slot among those with a token and reads the token's identity before and
    // after opening the session; so does the floor, to make the same calls.
    std::array<CK_SLOT_ID, 16> slots{};
    CK_ULONG count = slots.size();
    if (CK_RV rv = f.C_GetSlotList(CK_TRUE, slots.data(), &count); rv != CKR_OK) {
        return failed("C_GetSlotList", rv);
    }
    CK_TOKEN_INFO info{};
    if (CK_RV rv = f.C_GetTokenInfo(slot, &info); rv != CKR_OK) {
        return failed("C_GetTokenInfo", rv);
    }
    if (CK_RV rv = f.C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &token.session_);
        rv != CKR_OK) {
        return failed("C_OpenSession", rv);
    }
    token.session_open_ = true;
    if (CK_RV rv = f.C_GetTokenInfo(slot, &info); rv != CKR_OK) {
        return failed("C_GetTokenInfo", rv);
    }
    std::vector<CK_UTF8CHAR> pin_copy(pin.begin(), pin.end());
    const CK_RV login = f.C_Login(token.session_, CKU_USER, pin_copy.data(),
                                  static_cast<CK_ULONG>(pin_copy.size()));
    if (login != CKR_OK) {
        return failed("C_Login", login);
    }
    token.logged_in_ = true;
    return token;
}

DirectToken::DirectToken(DirectToken&& other) noexcept
    : library_(std::exchange(other.library_, nullptr)),
      functions_(std::exchange(other.functions_, nullptr)), slot_(other.slot_),
      session_(std::exchange(other.session_, 0)),
      initialized_(std::exchange(other.initialized_, false)),
      session_open_(std::exchange(other.session_open_, false)),
      logged_in_(std::exchange(other.logged_in_, false)) {}

DirectToken::~DirectToken() {
    if (logged_in_) {
        functions_->C_Logout(session_);
    }
    if (session_open_) {
        functions_->C_CloseSession(session_);
    }
    if (initialized_) {
        functions_->C_Finalize(nullptr);
    }
    if (library_ != nullptr) {
        platform::free_library({library_});
    }
}

std::variant<DirectKey, DirectFailure> DirectToken::find_key(std::span<const std::uint8_t> id) {
    CK_FUNCTION_LIST& f = *functions_;
    CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
    std::vector<std::uint8_t> id_copy(id.begin(), id.end());
    std::array<CK_ATTRIBUTE, 2> search{{
        {CKA_CLASS, &key_class, sizeof key_class},
        {CKA_ID, id_copy.data(), static_cast<CK_ULONG>(id_copy.size())},
    }};
    if (CK_RV rv = f.C_FindObjectsInit(session_, search.data(), search.size()); rv != CKR_OK) {
        return failed("C_FindObjectsInit", rv);
    }
    std::array<CK_OBJECT_HANDLE, 2> handles{};
    CK_ULONG count = 0;
    const CK_RV found = f.C_FindObjects(session_, handles.data(), handles.size(), &count);
    f.C_FindObjectsFinal(session_);
    if (found != CKR_OK || count != 1) {
        return failed("C_FindObjects", found);
    }
    DirectKey key{handles[0], 0};
    CK_ATTRIBUTE type{CKA_KEY_TYPE, &key.type, sizeof key.type};
    if (CK_RV rv = f.C_GetAttributeValue(session_, key.handle, &type, 1); rv != CKR_OK) {
        return failed("C_GetAttributeValue", rv);
    }
    return key;
}

std::optional<DirectFailure> DirectToken::read_token_info() {
    CK_TOKEN_INFO info{};
    if (CK_RV rv = functions_->C_GetTokenInfo(slot_, &info); rv != CKR_OK) {
        return failed("C_GetTokenInfo", rv);
    }
    return std::nullopt;
}

std::variant<std::size_t, DirectFailure> DirectToken::sign(CK_OBJECT_HANDLE key,
                                                           CK_MECHANISM_TYPE mechanism,
                                                           std::span<const std::uint8_t> data,
                                                           std::span<std::uint8_t> signature) {
    CK_FUNCTION_LIST& f = *functions_;
    CK_MECHANISM chosen{mechanism, nullptr, 0};
    if (CK_RV rv = f.C_SignInit(session_, &chosen, key); rv != CKR_OK) {
        return failed("C_SignInit", rv);
    }
    std::vector<std::uint8_t> input(data.begin(), data.end());
    CK_ULONG length = signature.size();
    if (CK_RV rv = f.C_Sign(session_, input.data(), static_cast<CK_ULONG>(input.size()),
                            signature.data(), &length);
        rv != CKR_OK) {
        return failed("C_Sign", rv);
    }
    return std::size_t{length};
}

std::vector<std::uint8_t> data_for(CK_KEY_TYPE type, std::span<const std::uint8_t> digest) {
    static constexpr std::array<std::uint8_t, 19> digest_info{
        0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
        0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    const std::size_t prefix = type == CKK_RSA ? digest_info.size() : 0;
    std::vector<std::uint8_t> data(prefix + digest.size());
    std::copy_n(digest_info.begin(), prefix, data.begin());
    std::copy(digest.begin(), digest.end(), data.begin() + static_cast<std::ptrdiff_t>(prefix));
    return data;
}

CK_MECHANISM_TYPE mechanism_for(CK_KEY_TYPE type) {
    return type == CKK_RSA ? CKM_RSA_PKCS : CKM_ECDSA;
}

} // namespace korvan::bench
