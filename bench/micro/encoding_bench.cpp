// Text and DER encodings on the path of every signature: the digest's hex, the module digest's
// hex, the base64 line and the DER form of an ECDSA signature.

#include "engine/der.hpp"
#include "proto2/base64.hpp"
#include "shared/hex.hpp"

#include "korvan/app_dirs/module_policy.hpp"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

using namespace korvan;

void BM_decode_hex_digest(benchmark::State& state) {
    const std::string text(64, 'a');
    for (auto _ : state) {
        benchmark::DoNotOptimize(cli::decode_hex(text));
    }
}
BENCHMARK(BM_decode_hex_digest);

void BM_hex_lower_sha256(benchmark::State& state) {
    const std::vector<std::uint8_t> digest(32, 0x9C);
    for (auto _ : state) {
        benchmark::DoNotOptimize(app_dirs::hex_lower(digest));
    }
}
BENCHMARK(BM_hex_lower_sha256);

// An ECDSA P-256 DER signature (72 bytes) and an RSA-2048 one (256 bytes).
void BM_encode_base64(benchmark::State& state) {
    const std::vector<std::uint8_t> signature(static_cast<std::size_t>(state.range(0)), 0x5E);
    for (auto _ : state) {
        benchmark::DoNotOptimize(cli::encode_base64(signature));
    }
}
BENCHMARK(BM_encode_base64)->Arg(72)->Arg(256);

// r and s with their top bit set, so both need the extra zero byte.
void BM_ecdsa_raw_to_der(benchmark::State& state) {
    const std::vector<std::uint8_t> raw(static_cast<std::size_t>(state.range(0)), 0xF1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine::ecdsa_raw_to_der(raw));
    }
}
BENCHMARK(BM_ecdsa_raw_to_der)->Arg(64)->Arg(132);

} // namespace
