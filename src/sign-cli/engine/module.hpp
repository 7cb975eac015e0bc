#pragma once

#include "engine/pkcs11.hpp"
#include "engine/sign_outcome.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "korvan/platform/library.hpp"

namespace korvan::engine {

// The result of a call through the function list: the module's return value, or none when the
// module left that entry null (the call was not made). Callers decide what a missing entry means.
using Call = std::optional<CK_RV>;

// The one owner of a loaded module and its function list. No other code touches the raw list: each
// entry is checked for null before it is called. Move-only; the library is released exactly once.
class Module {
  public:
    // Why a module could not be opened: the file did not load, it has no C_GetFunctionList, or
    // that call failed (rv) or gave no list (rv 0). The library is released again in each case.
    struct OpenFailure {
        enum class Stage { Library, EntryPoint, FunctionList };
        Stage stage;
        std::string text; // the loader's words, for Library and EntryPoint
        CK_RV rv = 0;     // for FunctionList
    };
    // Loads `held` when given (the file the policy checked), otherwise opens `path` for the load.
    static std::variant<Module, OpenFailure> open(const std::string& path,
                                                  const platform::ModuleFile* held);

    // open() in protocol 2's terms: ModuleLoadFailed with the loader's text, or Pkcs11Failed
    // "C_GetFunctionList".
    static std::variant<Module, SignOutcome> load(const std::string& path,
                                                  const platform::ModuleFile* held);

    Module(Module&& other) noexcept;
    Module& operator=(Module&&) = delete;
    Module(const Module&) = delete;
    ~Module();

    // Keeps the library loaded past this object's life: once C_Initialize succeeded, threads of the
    // module may run its code until the process exits.
    void keep_loaded();

    Call initialize();
    Call finalize();
    Call get_slot_list(CK_SLOT_ID* slots, CK_ULONG* count);
    // Every slot, with a token or not (a reader without a card).
    Call get_all_slots(CK_SLOT_ID* slots, CK_ULONG* count);
    Call get_slot_info(CK_SLOT_ID slot, CK_SLOT_INFO* info);
    Call get_token_info(CK_SLOT_ID slot, CK_TOKEN_INFO* info);
    Call open_session(CK_SLOT_ID slot, CK_SESSION_HANDLE* session);
    Call close_session(CK_SESSION_HANDLE session);
    Call login(CK_SESSION_HANDLE session, CK_USER_TYPE user, std::span<const std::uint8_t> pin);
    Call logout(CK_SESSION_HANDLE session);
    bool has_object_search() const;
    Call find_objects_init(CK_SESSION_HANDLE session, std::span<CK_ATTRIBUTE> search_template);
    Call find_objects(CK_SESSION_HANDLE session, std::span<CK_OBJECT_HANDLE> found,
                      CK_ULONG* count);
    Call find_objects_final(CK_SESSION_HANDLE session);
    Call get_attribute_value(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                             CK_ATTRIBUTE* attribute);
    Call sign_init(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key);
    Call sign(CK_SESSION_HANDLE session, std::span<const std::uint8_t> data, CK_BYTE* signature,
              CK_ULONG* signature_length);

  private:
    Module(platform::LibraryHandle library, CK_FUNCTION_LIST* functions)
        : library_(library), functions_(functions) {}

    platform::LibraryHandle library_;
    CK_FUNCTION_LIST* functions_;
    bool owns_library_ = true;
};

} // namespace korvan::engine
