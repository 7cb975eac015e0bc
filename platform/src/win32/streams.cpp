#include "korvan/platform/streams.hpp"

#include "backoff.hpp"
#include "handles.hpp"
#include "read_status.hpp"

#include <windows.h>

namespace korvan::platform {

namespace {

// PeekNamedPipe answers at once and fails once the writer has gone, whatever the pipe's mode.
bool still_connected(HANDLE pipe) {
    return PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr) != 0;
}

} // namespace

ReadResult HandleStream::read_some(std::span<std::uint8_t> into) {
    const HANDLE handle = win32::as_handle(handle_);
    const bool pipe = GetFileType(handle) == FILE_TYPE_PIPE;
    win32::Backoff backoff;
    for (;;) {
        DWORD n = 0;
        const bool read = ReadFile(handle, into.data(), win32::io_chunk(into.size()), &n, nullptr);
        switch (win32::read_status(read, n, read ? ERROR_SUCCESS : GetLastError(), pipe)) {
        case win32::ReadStatus::Data:
            return {ReadResult::Status::Data, n};
        case win32::ReadStatus::Empty:
            if (!still_connected(handle)) {
                return {ReadResult::Status::End, 0};
            }
            // A writer sending nothing, over and over, gets no loop at full speed.
            backoff.wait();
            continue;
        case win32::ReadStatus::End:
            return {ReadResult::Status::End, 0};
        case win32::ReadStatus::Error:
            return {ReadResult::Status::Error, 0};
        }
    }
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
