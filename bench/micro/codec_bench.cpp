// The frame codec on both sides of one Sign / Signature exchange, in memory.

#include "micro/memory_streams.hpp"

#include "korvan/sign_proto/child.hpp"
#include "korvan/sign_proto/parent.hpp"

#include <benchmark/benchmark.h>

#include <array>

namespace {

using namespace korvan;
using bench::CollectingSink;
using bench::CountingSink;
using bench::ReplaySource;

const sign_proto::Sign sign_request{7, std::vector<std::uint8_t>(32, 0xAB)};
const sign_proto::Signature p256_signature{7, std::vector<std::uint8_t>(72, 0xCD)};

template <class Frame, class Write> std::vector<std::uint8_t> wire_of(const Frame& frame, Write w) {
    CollectingSink sink;
    w(sink, frame);
    return std::move(sink.bytes());
}

void BM_child_reads_sign(benchmark::State& state) {
    ReplaySource source(wire_of(
        sign_request, [](auto& s, const auto& f) { return sign_proto::write_request(s, f); }));
    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame{};
    for (auto _ : state) {
        source.rewind();
        auto read = sign_proto::read_frame(source, frame, false);
        benchmark::DoNotOptimize(read);
    }
}
BENCHMARK(BM_child_reads_sign);

void BM_child_writes_signature(benchmark::State& state) {
    CountingSink sink;
    for (auto _ : state) {
        auto written = sign_proto::write_frame(sink, p256_signature);
        benchmark::DoNotOptimize(written);
    }
}
BENCHMARK(BM_child_writes_signature);

void BM_parent_writes_sign(benchmark::State& state) {
    CountingSink sink;
    for (auto _ : state) {
        auto written = sign_proto::write_request(sink, sign_request);
        benchmark::DoNotOptimize(written);
    }
}
BENCHMARK(BM_parent_writes_sign);

void BM_parent_reads_signature(benchmark::State& state) {
    ReplaySource source(wire_of(
        p256_signature, [](auto& s, const auto& f) { return sign_proto::write_frame(s, f); }));
    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame{};
    for (auto _ : state) {
        source.rewind();
        auto read = sign_proto::read_response(source, frame);
        benchmark::DoNotOptimize(read);
    }
}
BENCHMARK(BM_parent_reads_signature);

} // namespace
