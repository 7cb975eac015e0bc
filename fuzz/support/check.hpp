#pragma once

// The fuzz targets' assertion: a broken property prints what broke and aborts, which libFuzzer
// reports as a crash with the input that caused it, and the replay programs as a failed test.

namespace korvan::fuzz {

void check(bool holds, const char* property);

} // namespace korvan::fuzz
