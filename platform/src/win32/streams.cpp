#include "korvan/platform/streams.hpp"

#include "handles.hpp"

#include <windows.h>

namespace korvan::platform {

ReadResult HandleStream::read_some(std::span<std::uint8_t> into) {
    DWORD n = 0;
    if (!ReadFile(win32::as_handle(handle_), into.data(), win32::io_chunk(into.size()), &n,
                  nullptr)) {
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
        if (!WriteFile(win32::as_handle(handle_), bytes.data(), win32::io_chunk(bytes.size()), &n,
                       nullptr) ||
            n == 0) {
            return false;
        }
        bytes = bytes.subspan(n);
    }
    return true;
}

NativeHandle standard_input() {
    return win32::from_handle(GetStdHandle(STD_INPUT_HANDLE));
}
NativeHandle standard_output() {
    return win32::from_handle(GetStdHandle(STD_OUTPUT_HANDLE));
}
NativeHandle standard_error() {
    return win32::from_handle(GetStdHandle(STD_ERROR_HANDLE));
}

} // namespace korvan::platform
