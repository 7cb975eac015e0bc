#include "engine/module.hpp"

#include "korvan/platform/process.hpp"

#include <optional>
#include <utility>

namespace korvan::engine {

std::variant<Module, Module::OpenFailure> Module::open(const std::string& path,
                                                       const platform::ModuleFile* held) {
    using Stage = OpenFailure::Stage;
    std::optional<platform::ModuleFile> opened_here;
    if (held == nullptr) {
        auto opened = platform::ModuleFile::open(path);
        if (auto* error = std::get_if<platform::FileError>(&opened)) {
            return OpenFailure{Stage::Library, path + ": " + error->text};
        }
        held = &opened_here.emplace(std::move(std::get<platform::ModuleFile>(opened)));
    }
    auto loaded = platform::load_library(*held);
    if (auto* error = std::get_if<platform::LibraryError>(&loaded)) {
        return OpenFailure{Stage::Library, std::move(error->text)};
    }
    const auto library = std::get<platform::LibraryHandle>(loaded);
    auto symbol = platform::find_symbol(library, "C_GetFunctionList");
    if (auto* error = std::get_if<platform::LibraryError>(&symbol)) {
        platform::free_library(library);
        return OpenFailure{Stage::EntryPoint, std::move(error->text)};
    }
    const auto get_function_list = reinterpret_cast<CK_C_GetFunctionList>(std::get<void*>(symbol));
    CK_FUNCTION_LIST* functions = nullptr;
    const CK_RV rv = get_function_list(&functions);
    if (rv != CKR_OK || functions == nullptr) {
        platform::free_library(library);
        return OpenFailure{Stage::FunctionList, {}, rv};
    }
    return Module(library, functions);
}

std::variant<Module, SignOutcome> Module::load(const std::string& path,
                                               const platform::ModuleFile* held) {
    auto opened = open(path, held);
    auto* failure = std::get_if<OpenFailure>(&opened);
    if (failure == nullptr) {
        return std::move(std::get<Module>(opened));
    }
    switch (failure->stage) {
    case OpenFailure::Stage::Library:
        return SignOutcome{outcome::ModuleLoadFailed{std::move(failure->text)}};
    case OpenFailure::Stage::EntryPoint:
        return SignOutcome{outcome::ModuleLoadFailed{"C_GetFunctionList: " + failure->text}};
    case OpenFailure::Stage::FunctionList:
        break;
    }
    return SignOutcome{
        outcome::Pkcs11Failed{"C_GetFunctionList", static_cast<std::uint32_t>(failure->rv)}};
}

Module::Module(Module&& other) noexcept
    : library_(other.library_), functions_(other.functions_),
      owns_library_(std::exchange(other.owns_library_, false)) {}

Module::~Module() {
    if (owns_library_) {
        platform::free_library(library_);
    }
}

void Module::keep_loaded() {
    owns_library_ = false;
}

// Calls the entry when the module provides it.
#define KORVAN_CALL(entry, ...)                                                                    \
    (functions_->entry == nullptr ? Call{} : Call{functions_->entry(__VA_ARGS__)})

Call Module::initialize() {
    const Call result = KORVAN_CALL(C_Initialize, nullptr);
    // Middleware installs crash handlers of its own while it starts.
    platform::restore_unattended_settings();
    return result;
}
Call Module::finalize() {
    return KORVAN_CALL(C_Finalize, nullptr);
}

Call Module::get_slot_list(CK_SLOT_ID* slots, CK_ULONG* count) {
    return KORVAN_CALL(C_GetSlotList, CK_TRUE, slots, count);
}

Call Module::get_all_slots(CK_SLOT_ID* slots, CK_ULONG* count) {
    return KORVAN_CALL(C_GetSlotList, CK_FALSE, slots, count);
}

Call Module::get_slot_info(CK_SLOT_ID slot, CK_SLOT_INFO* info) {
    return KORVAN_CALL(C_GetSlotInfo, slot, info);
}

Call Module::get_token_info(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    return KORVAN_CALL(C_GetTokenInfo, slot, info);
}

Call Module::open_session(CK_SLOT_ID slot, CK_SESSION_HANDLE* session) {
    return KORVAN_CALL(C_OpenSession, slot, CKF_SERIAL_SESSION, nullptr, nullptr, session);
}

Call Module::close_session(CK_SESSION_HANDLE session) {
    return KORVAN_CALL(C_CloseSession, session);
}

Call Module::login(CK_SESSION_HANDLE session, CK_USER_TYPE user,
                   std::span<const std::uint8_t> pin) {
    // The standard's prototype takes a non-const pointer; modules only read the PIN.
    auto* bytes = const_cast<CK_UTF8CHAR*>(pin.data());
    return KORVAN_CALL(C_Login, session, user, bytes, static_cast<CK_ULONG>(pin.size()));
}

Call Module::logout(CK_SESSION_HANDLE session) {
    return KORVAN_CALL(C_Logout, session);
}

bool Module::has_object_search() const {
    return functions_->C_FindObjectsInit != nullptr && functions_->C_FindObjects != nullptr &&
           functions_->C_FindObjectsFinal != nullptr;
}

Call Module::find_objects_init(CK_SESSION_HANDLE session, std::span<CK_ATTRIBUTE> search_template) {
    return KORVAN_CALL(C_FindObjectsInit, session, search_template.data(),
                       static_cast<CK_ULONG>(search_template.size()));
}

Call Module::find_objects(CK_SESSION_HANDLE session, std::span<CK_OBJECT_HANDLE> found,
                          CK_ULONG* count) {
    return KORVAN_CALL(C_FindObjects, session, found.data(), static_cast<CK_ULONG>(found.size()),
                       count);
}

Call Module::find_objects_final(CK_SESSION_HANDLE session) {
    return KORVAN_CALL(C_FindObjectsFinal, session);
}

Call Module::get_attribute_value(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                 CK_ATTRIBUTE* attribute) {
    return KORVAN_CALL(C_GetAttributeValue, session, object, attribute, 1);
}

Call Module::sign_init(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    return KORVAN_CALL(C_SignInit, session, mechanism, key);
}

Call Module::sign(CK_SESSION_HANDLE session, std::span<const std::uint8_t> data, CK_BYTE* signature,
                  CK_ULONG* signature_length) {
    auto* bytes = const_cast<CK_BYTE*>(data.data());
    return KORVAN_CALL(C_Sign, session, bytes, static_cast<CK_ULONG>(data.size()), signature,
                       signature_length);
}

#undef KORVAN_CALL

} // namespace korvan::engine
