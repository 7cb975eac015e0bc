// Reading a real pipe whose writer behaves as Windows allows: messages longer than the read, a
// zero-length message before the data, the writer leaving. A parent may hand over such a pipe.
#include "korvan/platform/streams.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvan::platform {
namespace {

// A message-mode pipe read in message mode, as a parent's CreateNamedPipe makes it.
class MessagePipe : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::wstring name = L"\\\\.\\pipe\\korvan-read-test-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(GetTickCount64());
        reader_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
                                   4096, 0, nullptr);
        ASSERT_NE(reader_, INVALID_HANDLE_VALUE) << GetLastError();
        writer_ = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(writer_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        close_writer();
        if (reader_ != INVALID_HANDLE_VALUE) {
            CloseHandle(reader_);
        }
    }

    void send(const std::string& message) const {
        DWORD n = 0;
        ASSERT_TRUE(
            WriteFile(writer_, message.data(), static_cast<DWORD>(message.size()), &n, nullptr));
        ASSERT_EQ(n, message.size());
    }
    void close_writer() {
        if (writer_ != INVALID_HANDLE_VALUE) {
            CloseHandle(writer_);
            writer_ = INVALID_HANDLE_VALUE;
        }
    }

    // One read_some of at most `size` bytes: the bytes, or "<end>" / "<error>".
    std::string read(std::size_t size) const {
        std::vector<std::uint8_t> buffer(size);
        HandleStream stream(reinterpret_cast<NativeHandle>(reader_));
        const ReadResult r = stream.read_some(buffer);
        switch (r.status) {
        case ReadResult::Status::Data:
            return std::string(buffer.begin(), buffer.begin() + static_cast<long>(r.count));
        case ReadResult::Status::End:
            return "<end>";
        case ReadResult::Status::Error:
            return "<error>";
        }
        return "<?>";
    }

    HANDLE reader_ = INVALID_HANDLE_VALUE;
    HANDLE writer_ = INVALID_HANDLE_VALUE;
};

TEST_F(MessagePipe, AMessageLongerThanTheReadComesInPieces) {
    send(std::string("\x00\x00\x00\x01\x04", 5)); // a whole frame as one message
    EXPECT_EQ(read(4), std::string("\x00\x00\x00\x01", 4));
    EXPECT_EQ(read(4), "\x04");
    close_writer();
    EXPECT_EQ(read(4), "<end>");
}

TEST_F(MessagePipe, AZeroLengthMessageIsNoEndWhileTheWriterIsThere) {
    send("");
    send("PIN");
    EXPECT_EQ(read(16), "PIN");
    send("");
    close_writer();
    EXPECT_EQ(read(16), "<end>");
}

} // namespace
} // namespace korvan::platform
