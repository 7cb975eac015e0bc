#include "engine/key_resolution.hpp"
#include "shared/text_sink.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace korvan::engine {
namespace {

std::string contradiction(std::string_view token_kind, KeyKind requested) {
    return fmt::format("anahtar türü sertifikayla çelişiyor (token: {}, sertifika: {})", token_kind,
                       to_text(requested));
}

std::optional<KeyKind> curve_of(std::span<const std::uint8_t> ec_params) {
    for (const KeyKind kind : {KeyKind::ec_p256, KeyKind::ec_p384, KeyKind::ec_p521}) {
        const auto oid = traits(kind).ec_params;
        if (std::equal(ec_params.begin(), ec_params.end(), oid.begin(), oid.end())) {
            return kind;
        }
    }
    return std::nullopt;
}

} // namespace

KeyLookup find_private_key(Module& module, CK_SESSION_HANDLE session,
                           std::span<const std::uint8_t> cka_id, platform::ByteSink& progress) {
    CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
    // The module gets a copy it may treat as its own.
    std::vector<std::uint8_t> id(cka_id.begin(), cka_id.end());
    std::array<CK_ATTRIBUTE, 2> search{{
        {CKA_CLASS, &key_class, sizeof key_class},
        {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())},
    }};
    std::size_t entries = 1;
    if (!id.empty()) {
        entries = 2;
        cli::write_text(
            progress,
            fmt::format("sign-cli: filtering private key by CKA_ID ({} bytes)\n", id.size()));
    }
    if (!module.has_object_search()) {
        return outcome::Pkcs11Failed{"C_FindObjects (null fn)", CKR_FUNCTION_NOT_SUPPORTED};
    }
    if (const Call rv = module.find_objects_init(session, std::span(search).first(entries));
        *rv != CKR_OK) {
        return outcome::Pkcs11Failed{"C_FindObjectsInit", static_cast<std::uint32_t>(*rv)};
    }
    std::array<CK_OBJECT_HANDLE, 2> handles{0, 0};
    CK_ULONG count = 0;
    const Call found = module.find_objects(session, handles, &count);
    module.find_objects_final(session);
    if (*found != CKR_OK) {
        return outcome::Pkcs11Failed{"C_FindObjects", static_cast<std::uint32_t>(*found)};
    }
    // A module claiming more than it was asked for still only filled two handles.
    return KeyFound{static_cast<int>(std::min<CK_ULONG>(count, 2)), handles[0]};
}

std::optional<std::vector<std::uint8_t>> read_attribute(Module& module, CK_SESSION_HANDLE session,
                                                        CK_OBJECT_HANDLE object,
                                                        CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE probe{type, nullptr, 0};
    const Call sized = module.get_attribute_value(session, object, &probe);
    if (!sized || *sized != CKR_OK) {
        return std::nullopt;
    }
    // Also excludes CK_UNAVAILABLE_INFORMATION, which is all bits set.
    if (probe.ulValueLen < 1 || probe.ulValueLen > max_attribute_length) {
        return std::nullopt;
    }
    const CK_ULONG length = probe.ulValueLen;
    std::vector<std::uint8_t> value(length, 0);
    CK_ATTRIBUTE read{type, value.data(), length};
    const Call rv = module.get_attribute_value(session, object, &read);
    if (!rv || *rv != CKR_OK) {
        return std::nullopt;
    }
    return value;
}

std::optional<CK_KEY_TYPE> key_type_from(const std::optional<std::vector<std::uint8_t>>& value) {
    if (!value || value->size() != sizeof(CK_KEY_TYPE)) {
        return std::nullopt;
    }
    CK_KEY_TYPE type = 0;
    std::memcpy(&type, value->data(), sizeof type);
    return type;
}

KeyKindResolution resolve_key_kind(std::optional<KeyKind> requested,
                                   std::optional<CK_KEY_TYPE> key_type,
                                   const std::optional<std::vector<std::uint8_t>>& ec_params) {
    if (!key_type) {
        return requested.value_or(KeyKind::rsa);
    }
    if (*key_type == CKK_RSA) {
        if (!requested || *requested == KeyKind::rsa) {
            return KeyKind::rsa;
        }
        return outcome::KeyResolutionFailed{contradiction("rsa", *requested)};
    }
    if (*key_type != CKK_EC) {
        return outcome::UnsupportedKeyType{
            fmt::format("anahtar türü desteklenmiyor (CKK 0x{:x})", *key_type)};
    }
    if (!ec_params) {
        if (requested == KeyKind::rsa) {
            return outcome::KeyResolutionFailed{contradiction("EC", KeyKind::rsa)};
        }
        if (requested) {
            return *requested;
        }
        return outcome::UnsupportedKeyType{"EC anahtarın eğrisi okunamadı"};
    }
    const std::optional<KeyKind> curve = curve_of(*ec_params);
    if (!curve) {
        return outcome::UnsupportedKeyType{"EC anahtarın eğrisi desteklenmiyor"};
    }
    if (requested && *requested != *curve) {
        return outcome::KeyResolutionFailed{contradiction(to_text(*curve), *requested)};
    }
    return *curve;
}

std::optional<outcome::DigestKeyMismatch> check_digest_size(KeyKind kind,
                                                            std::size_t digest_length) {
    const std::size_t expected = traits(kind).digest_length;
    if (digest_length == expected) {
        return std::nullopt;
    }
    return outcome::DigestKeyMismatch{
        fmt::format("{} anahtarı {} baytlık özet bekler, {} bayt geldi", to_text(kind), expected,
                    digest_length)};
}

} // namespace korvan::engine
