#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvan::engine {

// The standard's name of a PKCS#11 return value ("CKR_PIN_INCORRECT"), or empty for a value it
// does not name (vendor-defined, or no PKCS#11 value at all).
std::string_view rv_name(std::uint64_t rv);

// "rv=0x<hex>" followed by a blank and the name, where the standard has one: "rv=0xa0
// CKR_PIN_INCORRECT".
std::string rv_text(std::uint64_t rv);

} // namespace korvan::engine
