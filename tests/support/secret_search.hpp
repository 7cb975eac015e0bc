#pragma once

// How a secret could show in a text that a run leaves behind: raw, hex in either case, or base64
// at any of the three byte offsets it could start at inside a longer encoded text. A clean search
// over every form means the secret is not there in any of them.

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace korvan::test {

inline std::string hex(const std::string& bytes, const char* digits) {
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

inline std::string base64(const std::string& bytes) {
    static const char* alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) {
            text += alphabet[(v >> shift) & 63];
        }
    }
    return text; // whole groups only: the rest is never looked for
}

// The secret as it could appear: raw, hex in either case, and base64 at each of the three byte
// offsets it could start at inside a longer encoded text (only the characters that depend on the
// secret alone).
inline std::vector<std::string> disguises(const std::string& secret) {
    std::vector<std::string> forms = {secret, hex(secret, "0123456789abcdef"),
                                      hex(secret, "0123456789ABCDEF")};
    for (std::size_t offset = 0; offset < 3; ++offset) {
        const std::string encoded = base64(std::string(offset, '\0') + secret);
        const std::size_t first = (8 * offset + 5) / 6;
        const std::size_t end = std::min(encoded.size(), 8 * (offset + secret.size()) / 6);
        forms.push_back(encoded.substr(first, end - first));
    }
    return forms;
}

// The first form of the secret found in the text, or none.
inline std::optional<std::string> disguise_in(const std::string& text, const std::string& secret) {
    for (const std::string& form : disguises(secret)) {
        if (text.find(form) != std::string::npos) {
            return form;
        }
    }
    return std::nullopt;
}

} // namespace korvan::test
