#include "proto2/base64.hpp"

namespace korvan::cli {

std::string encode_base64(std::span<const std::uint8_t> bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = std::uint32_t{bytes[i]} << 16 |
                                    std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
        out.push_back(alphabet[group >> 18 & 0x3F]);
        out.push_back(alphabet[group >> 12 & 0x3F]);
        out.push_back(alphabet[group >> 6 & 0x3F]);
        out.push_back(alphabet[group & 0x3F]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) {
            group |= std::uint32_t{bytes[i + 1]} << 8;
        }
        out.push_back(alphabet[group >> 18 & 0x3F]);
        out.push_back(alphabet[group >> 12 & 0x3F]);
        out.push_back(rest == 2 ? alphabet[group >> 6 & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

} // namespace korvan::cli
