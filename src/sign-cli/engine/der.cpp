#include "engine/der.hpp"

#include <algorithm>

namespace korvan::engine {
namespace {

void append_length(std::vector<std::uint8_t>& out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else if (length <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(length & 0xFF));
    }
}

std::optional<std::vector<std::uint8_t>> der_integer(std::span<const std::uint8_t> number) {
    const auto first = std::find_if(number.begin(), number.end(), [](auto b) { return b != 0; });
    if (first == number.end()) {
        return std::nullopt;
    }
    const bool pad = (*first & 0x80) != 0;
    const auto content = static_cast<std::size_t>(number.end() - first) + (pad ? 1 : 0);
    std::vector<std::uint8_t> out{0x02};
    append_length(out, content);
    if (pad) {
        out.push_back(0x00);
    }
    out.insert(out.end(), first, number.end());
    return out;
}

} // namespace

std::optional<std::vector<std::uint8_t>> ecdsa_raw_to_der(std::span<const std::uint8_t> raw) {
    if (raw.empty() || raw.size() % 2 != 0) {
        return std::nullopt;
    }
    const std::size_t half = raw.size() / 2;
    const auto r = der_integer(raw.first(half));
    const auto s = der_integer(raw.subspan(half));
    if (!r || !s) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out{0x30};
    append_length(out, r->size() + s->size());
    out.insert(out.end(), r->begin(), r->end());
    out.insert(out.end(), s->begin(), s->end());
    return out;
}

} // namespace korvan::engine
