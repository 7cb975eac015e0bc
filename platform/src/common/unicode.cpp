#include "korvan/platform/unicode.hpp"

namespace korvan::platform {
namespace {

constexpr char32_t replacement_character = 0xFFFD;

// One sequence starting at bytes[i]; an invalid one consumes its maximal valid prefix (at least
// one byte) and decodes as U+FFFD.
struct Decoded {
    char32_t code_point;
    std::size_t length; // bytes consumed
    bool valid;
};

Decoded decode_one(std::span<const std::uint8_t> bytes, std::size_t i) {
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    std::size_t need = 0;
    char32_t cp = 0;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) {
            lo = 0xA0;
        } else if (lead == 0xED) {
            hi = 0x9F; // surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) {
            lo = 0x90;
        } else if (lead == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return {replacement_character, 1, false};
    }
    std::size_t length = 1;
    for (std::size_t k = 0; k < need; ++k) {
        if (i + length >= bytes.size()) {
            return {replacement_character, length, false};
        }
        const std::uint8_t b = bytes[i + length];
        const std::uint8_t min = k == 0 ? lo : std::uint8_t{0x80};
        const std::uint8_t max = k == 0 ? hi : std::uint8_t{0xBF};
        if (b < min || b > max) {
            return {replacement_character, length, false};
        }
        cp = (cp << 6) | (b & 0x3F);
        ++length;
    }
    return {cp, length, true};
}

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

bool is_valid_utf8(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const Decoded d = decode_one(bytes, i);
        if (!d.valid) {
            return false;
        }
        i += d.length;
    }
    return true;
}

bool is_valid_utf8(std::string_view text) {
    return is_valid_utf8(as_bytes(text));
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

namespace {

// Converts, replacing unpaired surrogates by U+FFFD; `clean` says whether none was met.
std::string convert_utf16(std::u16string_view text, bool& clean) {
    clean = true;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            unit = replacement_character;
            clean = false;
        }
        append_utf8(out, unit);
    }
    return out;
}

} // namespace

std::optional<std::string> utf16_to_utf8(std::u16string_view text) {
    bool clean = true;
    std::string out = convert_utf16(text, clean);
    if (!clean) {
        return std::nullopt;
    }
    return out;
}

std::string utf16_to_utf8_lossy(std::u16string_view text) {
    bool clean = true;
    return convert_utf16(text, clean);
}

std::u32string utf8_to_code_points(std::string_view text) {
    const auto bytes = as_bytes(text);
    std::u32string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const Decoded d = decode_one(bytes, i);
        out.push_back(d.code_point);
        i += d.length;
    }
    return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (const char32_t cp : utf8_to_code_points(text)) {
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string utf8_lossy(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const Decoded d = decode_one(bytes, i);
        append_utf8(out, d.code_point);
        i += d.length;
    }
    return out;
}

} // namespace korvan::platform
