#include "korvan/platform/sha256.hpp"

#include <windows.h>

#include <bcrypt.h>

namespace korvan::platform {

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
};

namespace {
bool ok(NTSTATUS status) {
    return status >= 0;
}
} // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
    // A null object buffer lets CNG allocate the hash object itself.
    state_->failed =
        !ok(BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !ok(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
    if (state_->hash != nullptr) {
        BCryptDestroyHash(state_->hash);
    }
    if (state_->algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(state_->algorithm, 0);
    }
}

bool Sha256::update(std::span<const std::uint8_t> bytes) {
    while (!state_->failed && !bytes.empty()) {
        const ULONG n = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<ULONG>(bytes.size());
        state_->failed = !ok(BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes.data()), n, 0));
        bytes = bytes.subspan(n);
    }
    return !state_->failed;
}

std::optional<Sha256Digest> Sha256::finish() {
    Sha256Digest digest{};
    if (state_->failed ||
        !ok(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
        state_->failed = true;
        return std::nullopt;
    }
    state_->failed = true; // finished: no second digest from the same state
    return digest;
}

} // namespace korvan::platform
