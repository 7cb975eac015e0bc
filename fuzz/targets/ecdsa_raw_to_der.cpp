// r||s to DER. The output is read back with a strict DER reader of our own here: one SEQUENCE of
// two minimal, non-negative INTEGERs whose values are the two halves, nothing before or after.

#include "check.hpp"

#include "engine/der.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

using namespace korvan;
using Bytes = std::span<const std::uint8_t>;

namespace {

// Reads one tag-length-value at `at`; definite lengths in minimal form only.
std::optional<Bytes> read_tlv(Bytes der, std::size_t& at, std::uint8_t tag) {
    if (at + 2 > der.size() || der[at] != tag) {
        return std::nullopt;
    }
    std::size_t length = der[at + 1];
    at += 2;
    if (length & 0x80) {
        const std::size_t count = length & 0x7F;
        if (count == 0 || count > 4 || at + count > der.size() || der[at] == 0) {
            return std::nullopt;
        }
        length = 0;
        for (std::size_t i = 0; i < count; ++i) {
            length = (length << 8) | der[at + i];
        }
        at += count;
        if (length < 0x80) {
            return std::nullopt; // the short form would have done
        }
    }
    if (at + length > der.size()) {
        return std::nullopt;
    }
    const Bytes value = der.subspan(at, length);
    at += length;
    return value;
}

// The value of a minimal non-negative INTEGER's content octets, without leading zeros.
std::optional<Bytes> integer_magnitude(Bytes content) {
    if (content.empty() || (content[0] & 0x80)) {
        return std::nullopt;
    }
    if (content.size() > 1 && content[0] == 0 && !(content[1] & 0x80)) {
        return std::nullopt;
    }
    return content[0] == 0 ? content.subspan(1) : content;
}

Bytes without_leading_zeros(Bytes number) {
    const auto first = std::find_if(number.begin(), number.end(), [](auto b) { return b != 0; });
    return number.subspan(static_cast<std::size_t>(first - number.begin()));
}

bool same(Bytes a, Bytes b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes raw(data, size);
    const auto der = engine::ecdsa_raw_to_der(raw);

    const Bytes r = without_leading_zeros(raw.first(size / 2));
    const Bytes s = without_leading_zeros(raw.subspan(size / 2));
    const bool convertible = size > 0 && size % 2 == 0 && !r.empty() && !s.empty();
    fuzz::check(der.has_value() == convertible,
                "converted exactly when even, non-empty and both numbers non-zero");
    if (!der) {
        return 0;
    }

    const Bytes out(*der);
    std::size_t at = 0;
    const auto sequence = read_tlv(out, at, 0x30);
    fuzz::check(sequence.has_value() && at == out.size(), "one SEQUENCE and nothing after it");
    std::size_t inner = 0;
    const auto r_content = read_tlv(*sequence, inner, 0x02);
    const auto s_content = read_tlv(*sequence, inner, 0x02);
    fuzz::check(r_content && s_content && inner == sequence->size(),
                "exactly two INTEGERs in the SEQUENCE");
    const auto r_value = integer_magnitude(*r_content);
    const auto s_value = integer_magnitude(*s_content);
    fuzz::check(r_value && s_value, "both INTEGERs minimal and non-negative");
    fuzz::check(same(*r_value, r) && same(*s_value, s), "the INTEGERs are r and s");
    return 0;
}
