// What a ReadFile result means for the stream. Wine drops a pipe writer's zero-byte writes, so
// only this table shows that such a read is not taken for the end of input by itself.
#include "read_status.hpp"

#include <gtest/gtest.h>

namespace korvan::platform::win32 {
namespace {

TEST(Win32ReadStatus, OnlyAGoneWriterOrTheEndOfAFileEndsTheInputAtOnce) {
    struct Case {
        const char* label;
        bool succeeded;
        DWORD count;
        DWORD error;
        bool pipe;
        ReadStatus status;
    };
    const Case cases[] = {
        {"pipe, bytes", true, 5, ERROR_SUCCESS, true, ReadStatus::Data},
        {"pipe, a zero-byte write or the end of a Unix pipe", true, 0, ERROR_SUCCESS, true,
         ReadStatus::Empty},
        {"pipe, part of a longer message", false, 4, ERROR_MORE_DATA, true, ReadStatus::Data},
        {"pipe, nonblocking with nothing there", false, 0, ERROR_NO_DATA, true, ReadStatus::Error},
        {"pipe, writer gone", false, 0, ERROR_BROKEN_PIPE, true, ReadStatus::End},
        {"pipe, other failure", false, 0, ERROR_ACCESS_DENIED, true, ReadStatus::Error},
        {"pipe, handle closed", false, 0, ERROR_INVALID_HANDLE, true, ReadStatus::Error},
        {"file, bytes", true, 1, ERROR_SUCCESS, false, ReadStatus::Data},
        {"file, at its end", true, 0, ERROR_SUCCESS, false, ReadStatus::End},
        {"file, read past its end", false, 0, ERROR_HANDLE_EOF, false, ReadStatus::End},
        {"file, other failure", false, 0, ERROR_LOCK_VIOLATION, false, ReadStatus::Error},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(read_status(c.succeeded, c.count, c.error, c.pipe), c.status) << c.label;
    }
}

} // namespace
} // namespace korvan::platform::win32
