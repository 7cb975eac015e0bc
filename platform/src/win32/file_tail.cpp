#include "korvan/platform/file_tail.hpp"
#include "file_error.hpp"
#include "handles.hpp"
#include "wide.hpp"

#include <windows.h>

namespace korvan::platform {
namespace {

class Closer {
  public:
    explicit Closer(HANDLE handle) : handle_(handle) {}
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;
    ~Closer() { CloseHandle(handle_); }

  private:
    HANDLE handle_;
};

} // namespace

std::variant<FileTail, NotRegularFile, FileError> read_regular_tail(const std::string& path,
                                                                    std::uint64_t limit) {
    if (path.find('\0') != std::string::npos) {
        return win32::error_text(ERROR_INVALID_NAME);
    }
    // Backup semantics let a folder open too, so that it is recognised rather than refused with
    // an access error. Opening a pipe's client end never waits: a busy pipe fails at once.
    const HANDLE handle = CreateFileW(win32::widen(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return win32::error_text(GetLastError());
    }
    const Closer closer(handle);
    switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
        break;
    case FILE_TYPE_CHAR:
        return NotRegularFile{NotRegularFile::Kind::device};
    case FILE_TYPE_PIPE:
        return NotRegularFile{NotRegularFile::Kind::fifo};
    default:
        return NotRegularFile{NotRegularFile::Kind::other};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        return win32::error_text(GetLastError());
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return NotRegularFile{NotRegularFile::Kind::folder};
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return NotRegularFile{NotRegularFile::Kind::device};
    }
    FileTail tail;
    tail.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    const std::uint64_t start = tail.size > limit ? tail.size - limit : 0;
    tail.content.resize(static_cast<std::size_t>(tail.size - start));
    std::size_t got = 0;
    while (got < tail.content.size()) {
        // The offset in OVERLAPPED places a read on a synchronous handle, as pread does.
        const std::uint64_t at = start + got;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        if (!ReadFile(handle, tail.content.data() + got, win32::io_chunk(tail.content.size() - got),
                      &n, &position)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF) {
                break; // shortened since it was opened: what is there is the tail
            }
            return win32::error_text(code);
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    tail.content.resize(got);
    return tail;
}

} // namespace korvan::platform
