#pragma once

// What one synchronous ReadFile said, in the stream's terms. Kept apart from the call so that the
// cases Wine never produces (a pipe writer's zero-byte write) are tested as well.
#include <windows.h>

namespace korvan::platform::win32 {

enum class ReadStatus { Data, Empty, End, Error };

// A pipe reports TRUE with 0 bytes for a zero-byte write or a zero-length message of a writer that
// is still there, and so does a Unix pipe at its end under Wine: `Empty` leaves it to the caller
// to ask whether the pipe is still connected. ERROR_BROKEN_PIPE says the writer has gone. A
// message longer than the buffer fills it and fails with ERROR_MORE_DATA: those bytes are data,
// the rest comes with the next read. A file or device at its end reports TRUE with 0 bytes
// (ERROR_HANDLE_EOF where the read was positioned past it).
inline ReadStatus read_status(bool succeeded, DWORD count, DWORD error, bool pipe) {
    if (count > 0 && (succeeded || error == ERROR_MORE_DATA)) {
        return ReadStatus::Data;
    }
    if (succeeded) {
        return pipe ? ReadStatus::Empty : ReadStatus::End;
    }
    return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? ReadStatus::End
                                                                   : ReadStatus::Error;
}

} // namespace korvan::platform::win32
