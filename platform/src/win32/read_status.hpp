#pragma once

// What one synchronous ReadFile said, in the stream's terms. Kept apart from the call so that the
// cases Wine never produces (a pipe writer's zero-byte write) are tested as well.
#include <windows.h>

namespace korvan::platform::win32 {

enum class ReadStatus { Data, Again, End, Error };

// A pipe reports TRUE with 0 bytes when its writer wrote zero bytes: the writer is still there, and
// only ERROR_BROKEN_PIPE says it has gone. A file or device at its end reports TRUE with 0 bytes
// (ERROR_HANDLE_EOF where the read was positioned past it).
inline ReadStatus read_status(bool succeeded, DWORD count, DWORD error, bool pipe) {
    if (succeeded) {
        if (count > 0) {
            return ReadStatus::Data;
        }
        return pipe ? ReadStatus::Again : ReadStatus::End;
    }
    return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? ReadStatus::End
                                                                   : ReadStatus::Error;
}

} // namespace korvan::platform::win32
