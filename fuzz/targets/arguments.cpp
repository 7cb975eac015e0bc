// The command-line and environment parsers, each against a plain reading of its rule: the first
// input byte picks the parser, the rest is its text.

#include "byte_streams.hpp"
#include "check.hpp"

#include "engine/key_kind.hpp"
#include "proto2/pin_input.hpp"
#include "proto3/arguments.hpp"
#include "shared/arguments.hpp"
#include "shared/hex.hpp"

#include "korvan/platform/unicode.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using namespace korvan;

namespace {

std::optional<int> hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return std::nullopt;
}

// The hex rule read literally, digit by digit.
std::optional<std::vector<std::uint8_t>> plain_hex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const auto high = hex_value(text[i]);
        const auto low = hex_value(text[i + 1]);
        if (!high || !low) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(*high * 16 + *low));
    }
    return out;
}

// Decimal by digit count rather than by overflow arithmetic: leading zeros dropped, then the
// digits must not outnumber or outweigh the limit's.
std::optional<std::uint64_t> plain_decimal(std::string_view text, std::uint64_t max) {
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
    }
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const std::size_t first = std::min(text.find_first_not_of('0'), text.size());
    const std::string_view digits = text.substr(first);
    const std::string limit = std::to_string(max);
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// Text holds bytes in char, which may be signed: compare them as the bytes they are.
bool same_bytes(std::string_view text, const std::vector<std::uint8_t>& bytes) {
    return std::equal(text.begin(), text.end(), bytes.begin(), bytes.end(),
                      [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

void check_hex(std::string_view text) {
    fuzz::check(cli::decode_hex(text) == plain_hex(text), "decode_hex");
}

void check_slot_id(std::string_view text) {
    const auto expected = plain_decimal(text, std::numeric_limits<std::uint32_t>::max());
    const auto slot = cli::parse_slot_id(text);
    fuzz::check(slot.has_value() == expected.has_value() && (!slot || *slot == *expected),
                "parse_slot_id");
    fuzz::check(cli::parse_unsigned_decimal(text, std::numeric_limits<std::uint64_t>::max()) ==
                    plain_decimal(text, std::numeric_limits<std::uint64_t>::max()),
                "parse_unsigned_decimal, 64 bits");
}

void check_key_kind(std::string_view text) {
    const auto kind = engine::parse_key_kind(text);
    const bool known = text == "rsa" || text == "ec-p256" || text == "ec-p384" || text == "ec-p521";
    fuzz::check(kind.has_value() == known, "parse_key_kind accepts exactly the four names");
    fuzz::check(!kind || engine::to_text(*kind) == text, "parse_key_kind gives the named kind");
}

void check_expected_token(std::string_view text) {
    const auto token = cli::parse_expected_token(text);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        fuzz::check(!token, "parse_expected_token needs a colon");
        return;
    }
    const auto serial = plain_hex(text.substr(0, colon));
    const auto label = plain_hex(text.substr(colon + 1));
    const bool valid =
        serial && label && platform::is_valid_utf8(*serial) && platform::is_valid_utf8(*label);
    fuzz::check(token.has_value() == valid, "parse_expected_token: hex and UTF-8 on both sides");
    if (token) {
        fuzz::check(same_bytes(token->serial, *serial) && same_bytes(token->label, *label),
                    "parse_expected_token splits at the first colon");
    }
}

void check_trim(std::span<const std::uint8_t> bytes) {
    const auto trimmed = cli::trim_line_ends(bytes);
    fuzz::check(trimmed.data() == bytes.data() && trimmed.size() <= bytes.size(),
                "trim_line_ends keeps a prefix");
    fuzz::check(trimmed.empty() || (trimmed.back() != '\r' && trimmed.back() != '\n'),
                "trim_line_ends leaves no line end at the end");
    fuzz::check(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(trimmed.size()),
                            bytes.end(), [](std::uint8_t b) { return b == '\r' || b == '\n'; }),
                "trim_line_ends drops only CR and LF");
}

void check_read_pin(std::span<const std::uint8_t> bytes, std::size_t chunk) {
    fuzz::InputSource input(bytes, chunk);
    cli::PinBuffer buffer;
    const auto read = cli::read_pin(input, buffer);
    const bool fits = bytes.size() <= cli::pin_buffer_size && platform::is_valid_utf8(bytes);
    fuzz::check(read.has_value() == fits, "read_pin takes at most 1024 bytes of UTF-8");
    if (read) {
        fuzz::check(*read == bytes.size() &&
                        std::equal(bytes.begin(), bytes.end(), buffer.span().begin()),
                    "read_pin keeps every byte");
    }
}

// NUL-separated words: the command line after "sign-cli --proto=3", then the expected token.
void check_proto3_args(std::string_view text) {
    std::vector<std::string> words;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\0') {
            words.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    platform::EnvValue expect;
    if (words.size() > 1) {
        expect = {platform::EnvValue::Status::Set, words.back()};
        words.pop_back();
    }
    std::vector<std::string> args = {"sign-cli", "--proto=3"};
    args.insert(args.end(), words.begin(), words.end());
    const auto parsed = cli::parse_proto3_args(args, expect);
    const auto* ok = std::get_if<cli::Proto3Args>(&parsed);
    if (ok == nullptr) {
        fuzz::check(!std::get<std::string_view>(parsed).empty(), "a refusal says why");
        return;
    }
    fuzz::check(args.size() == 6 && ok->module_path == args[2] && !ok->module_path.empty(),
                "proto3: four arguments, the module path as given");
    fuzz::check(plain_hex(args[3]) == ok->cka_id, "proto3: CKA_ID hex");
    fuzz::check(args[4].empty()
                    ? !ok->requested_kind
                    : ok->requested_kind && engine::to_text(*ok->requested_kind) == args[4],
                "proto3: key kind, empty for the key's own");
    fuzz::check(plain_decimal(args[5], std::numeric_limits<std::uint64_t>::max()) == ok->slot_id,
                "proto3: 64-bit slot id");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    switch (data[0] % 7) {
    case 0:
        check_hex(text);
        break;
    case 1:
        check_slot_id(text);
        break;
    case 2:
        check_key_kind(text);
        break;
    case 3:
        check_expected_token(text);
        break;
    case 4:
        check_trim(bytes);
        break;
    case 5:
        check_read_pin(bytes, 1 + data[0] / 7 % 17);
        break;
    default:
        check_proto3_args(text);
        break;
    }
    return 0;
}
