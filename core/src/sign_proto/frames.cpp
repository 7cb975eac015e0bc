#include "korvan/sign_proto/frames.hpp"

namespace korvan::sign_proto {
namespace {

constexpr char marker_text[] = "<<KORVAN_SIGN_PROTO_3 v=0.1.0>>\n";
constexpr std::size_t marker_size = sizeof(marker_text) - 1; // without the terminating zero
static_assert(marker_size == 32);

} // namespace

std::span<const std::uint8_t> marker_line() {
    return {reinterpret_cast<const std::uint8_t*>(marker_text), marker_size};
}

} // namespace korvan::sign_proto
