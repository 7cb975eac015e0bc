#include "korvan/platform/sha256.hpp"

#include <openssl/evp.h>

namespace korvan::platform {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    bool failed = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    state_->failed = state_->context == nullptr ||
                     EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(state_->context);
}

bool Sha256::update(std::span<const std::uint8_t> bytes) {
    if (!state_->failed && !bytes.empty()) {
        state_->failed = EVP_DigestUpdate(state_->context, bytes.data(), bytes.size()) != 1;
    }
    return !state_->failed;
}

std::optional<Sha256Digest> Sha256::finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (state_->failed || EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 ||
        length != digest.size()) {
        state_->failed = true;
        return std::nullopt;
    }
    state_->failed = true; // finished: no second digest from the same state
    return digest;
}

} // namespace korvan::platform
