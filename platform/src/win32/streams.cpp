#include "korvan/platform/streams.hpp"

#include <windows.h>

namespace korvan::platform {
namespace {

HANDLE as_handle(NativeHandle h) { return reinterpret_cast<HANDLE>(h); }
NativeHandle from_handle(HANDLE h) { return reinterpret_cast<NativeHandle>(h); }

// ReadFile and WriteFile take 32-bit counts.
DWORD chunk(std::size_t size) { return size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size); }

} // namespace

ReadResult HandleStream::read_some(std::span<std::uint8_t> into) {
    DWORD n = 0;
    if (!ReadFile(as_handle(handle_), into.data(), chunk(into.size()), &n, nullptr)) {
        // A pipe whose writer has gone is the end of the input, not a failure.
        return GetLastError() == ERROR_BROKEN_PIPE ? ReadResult{ReadResult::Status::End, 0}
                                                   : ReadResult{ReadResult::Status::Error, 0};
    }
    if (n == 0) {
        return {ReadResult::Status::End, 0};
    }
    return {ReadResult::Status::Data, n};
}

bool HandleStream::write_all(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        DWORD n = 0;
        if (!WriteFile(as_handle(handle_), bytes.data(), chunk(bytes.size()), &n, nullptr) ||
            n == 0) {
            return false;
        }
        bytes = bytes.subspan(n);
    }
    return true;
}

NativeHandle standard_input() { return from_handle(GetStdHandle(STD_INPUT_HANDLE)); }
NativeHandle standard_output() { return from_handle(GetStdHandle(STD_OUTPUT_HANDLE)); }
NativeHandle standard_error() { return from_handle(GetStdHandle(STD_ERROR_HANDLE)); }

} // namespace korvan::platform
