#include "korvan/platform/files.hpp"
#include "../common/temp_names.hpp"
#include "file_error.hpp"
#include "handles.hpp"
#include "wide.hpp"

#include <windows.h>

namespace korvan::platform {
namespace {

using win32::error_text;

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The system call would end the name at a NUL and act on another file than the one named.
bool cut_short(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

FileError last_error_text() {
    return error_text(GetLastError());
}

HANDLE open_shared(const std::string& path, DWORD access, DWORD disposition) {
    return CreateFileW(win32::widen(path).c_str(), access, share_all, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Opens the name itself, never what a reparse point (a symbolic link, a junction) there leads
// to, and keeps the handle only for a plain file on a disk. The access must include
// FILE_READ_ATTRIBUTES for the test.
std::variant<HANDLE, FileError> open_plain(const std::string& path, DWORD access,
                                           DWORD disposition) {
    HANDLE handle =
        CreateFileW(win32::widen(path).c_str(), access | FILE_READ_ATTRIBUTES, share_all, nullptr,
                    disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return last_error_text();
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        FileError error = last_error_text();
        CloseHandle(handle);
        return error;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return FileError{path + " is a link or not a plain file"};
    }
    return handle;
}

} // namespace

std::variant<std::string, FileError> canonicalize(const std::string& path) {
    if (cut_short(path)) {
        return error_text(ERROR_INVALID_NAME);
    }
    // No access rights are needed to ask for the name; backup semantics let a directory open too.
    HANDLE handle = CreateFileW(win32::widen(path).c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return last_error_text();
    }
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()), 0);
        if (n == 0) {
            FileError error = last_error_text();
            CloseHandle(handle);
            return error;
        }
        if (n < name.size()) {
            name.resize(n);
            break;
        }
        name.assign(n, L'\0'); // n counts the terminator when the buffer was too small
    }
    CloseHandle(handle);
    return win32::narrow_lossy(name);
}

void File::close() {
    if (is_open()) {
        CloseHandle(win32::as_handle(handle_));
        handle_ = -1;
    }
}

bool File::is_open() const {
    return win32::as_handle(handle_) != INVALID_HANDLE_VALUE;
}

FileError File::last_error() const {
    return error_text(static_cast<DWORD>(last_error_));
}

std::variant<File, FileError> File::open_read(const std::string& path) {
    if (cut_short(path)) {
        return error_text(ERROR_INVALID_NAME);
    }
    HANDLE handle = open_shared(path, GENERIC_READ, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) {
        return last_error_text();
    }
    return File(win32::from_handle(handle));
}

std::variant<File, FileError> File::open_held(const std::string& path) {
    if (cut_short(path)) {
        return error_text(ERROR_INVALID_NAME);
    }
    // Read sharing only: while this handle lives, no one can write, rename or delete the file, and
    // a file someone holds open for writing (or with write sharing denied) does not open at all.
    HANDLE handle = CreateFileW(win32::widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return last_error_text();
    }
    File file(win32::from_handle(handle));
    // A named pipe or a device opens with the same call; only a file on a disk is a module.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        return FileError{"not a regular file"};
    }
    return file;
}

bool File::rewind() {
    const LARGE_INTEGER start{};
    if (SetFilePointerEx(win32::as_handle(handle_), start, nullptr, FILE_BEGIN)) {
        return true;
    }
    last_error_ = GetLastError();
    return false;
}

std::variant<File, FileError> File::open_append(const std::string& path) {
    if (cut_short(path)) {
        return error_text(ERROR_INVALID_NAME);
    }
    // FILE_APPEND_DATA without FILE_WRITE_DATA: the system places every write at the current end
    // of the file.
    auto opened = open_plain(path, FILE_APPEND_DATA, OPEN_ALWAYS);
    if (auto* error = std::get_if<FileError>(&opened)) {
        return *error;
    }
    return File(win32::from_handle(std::get<HANDLE>(opened)));
}

std::variant<FileLock, LockTimedOut, FileError> FileLock::acquire(const std::string& path,
                                                                  std::chrono::milliseconds wait) {
    if (cut_short(path)) {
        return error_text(ERROR_INVALID_NAME);
    }
    auto opened = open_plain(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (auto* error = std::get_if<FileError>(&opened)) {
        return *error;
    }
    FileLock lock(win32::from_handle(std::get<HANDLE>(opened)));
    const auto deadline = std::chrono::steady_clock::now() + wait;
    // One byte, exclusive; a lock of another handle of this process excludes it too. A waiting
    // LockFileEx has no time limit: try, and sleep a little between tries.
    for (;;) {
        OVERLAPPED at{};
        if (LockFileEx(win32::as_handle(lock.handle_),
                       LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            return lock;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_LOCK_VIOLATION) {
            return error_text(code);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return LockTimedOut{};
        }
        Sleep(10);
    }
}

void FileLock::release() {
    if (win32::as_handle(handle_) != INVALID_HANDLE_VALUE) {
        // Explicitly: a lock left to CloseHandle goes away only when the system gets round to it.
        OVERLAPPED at{};
        UnlockFileEx(win32::as_handle(handle_), 0, 1, 0, &at);
        CloseHandle(win32::as_handle(handle_));
        handle_ = -1;
    }
}

ReadResult File::read_some(std::span<std::uint8_t> into) {
    DWORD n = 0;
    if (!ReadFile(win32::as_handle(handle_), into.data(), win32::io_chunk(into.size()), &n,
                  nullptr)) {
        last_error_ = GetLastError();
        return {ReadResult::Status::Error, 0};
    }
    if (n == 0) {
        return {ReadResult::Status::End, 0};
    }
    return {ReadResult::Status::Data, n};
}

bool File::write_all(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        DWORD n = 0;
        if (!WriteFile(win32::as_handle(handle_), bytes.data(), win32::io_chunk(bytes.size()), &n,
                       nullptr)) {
            last_error_ = GetLastError();
            return false;
        }
        if (n == 0) {
            last_error_ = ERROR_WRITE_FAULT;
            return false;
        }
        bytes = bytes.subspan(n);
    }
    return true;
}

namespace {

bool is_directory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

std::optional<FileError> replace_file(const std::string& path,
                                      std::span<const std::uint8_t> content) {
    if (cut_short(path)) {
        return error_text(ERROR_INVALID_NAME);
    }
    const std::optional<std::string> fresh = detail::replacement_name(path);
    if (!fresh) {
        return FileError{"no random name for the new file"};
    }
    const std::wstring wide_fresh = win32::widen(*fresh);
    // Nobody else may open the new file before it has its name.
    HANDLE handle = CreateFileW(wide_fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return last_error_text();
    }
    DWORD code = ERROR_SUCCESS;
    while (code == ERROR_SUCCESS && !content.empty()) {
        DWORD n = 0;
        if (!WriteFile(handle, content.data(), win32::io_chunk(content.size()), &n, nullptr)) {
            code = GetLastError();
        } else if (n == 0) {
            code = ERROR_WRITE_FAULT;
        } else {
            content = content.subspan(n);
        }
    }
    if (code == ERROR_SUCCESS && !FlushFileBuffers(handle)) {
        code = GetLastError();
    }
    CloseHandle(handle);
    const std::wstring wide_path = win32::widen(path);
    // A reader that opened the old file without delete sharing (a scanner, an editor) refuses
    // the replacement for as long as it holds it; sign-cli's own readers share everything.
    for (int attempt = 0; code == ERROR_SUCCESS; ++attempt) {
        if (MoveFileExW(wide_fresh.c_str(), wide_path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return std::nullopt;
        }
        code = GetLastError();
        if ((code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) && attempt < 50) {
            code = ERROR_SUCCESS;
            Sleep(20);
        }
    }
    DeleteFileW(wide_fresh.c_str());
    return error_text(code);
}

std::optional<FileError> create_directories(const std::string& path) {
    if (cut_short(path)) {
        return error_text(ERROR_INVALID_NAME);
    }
    const std::wstring wide = win32::widen(path);
    // Each parent in turn; failures on the way (a drive root, a share, an existing folder) are
    // judged by whether the whole path ends up a directory.
    for (std::size_t i = 1; i < wide.size(); ++i) {
        if ((wide[i] == L'\\' || wide[i] == L'/') && wide[i - 1] != L'\\' && wide[i - 1] != L'/') {
            CreateDirectoryW(wide.substr(0, i).c_str(), nullptr);
        }
    }
    DWORD code = ERROR_SUCCESS;
    if (!CreateDirectoryW(wide.c_str(), nullptr)) {
        code = GetLastError();
    }
    if (is_directory(wide)) {
        return std::nullopt;
    }
    return error_text(code == ERROR_SUCCESS || code == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY
                                                                            : code);
}

std::optional<std::uint64_t> file_size(const std::string& path) {
    if (cut_short(path)) {
        return std::nullopt;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(win32::widen(path).c_str(), GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool path_exists(const std::string& path) {
    if (cut_short(path)) {
        return false;
    }
    return GetFileAttributesW(win32::widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<FileError> rename_path(const std::string& from, const std::string& to) {
    if (cut_short(from) || cut_short(to)) {
        return error_text(ERROR_INVALID_NAME);
    }
    if (!MoveFileExW(win32::widen(from).c_str(), win32::widen(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
        return last_error_text();
    }
    return std::nullopt;
}

std::optional<FileError> remove_file(const std::string& path) {
    if (cut_short(path)) {
        return error_text(ERROR_INVALID_NAME);
    }
    if (!DeleteFileW(win32::widen(path).c_str())) {
        return last_error_text();
    }
    return std::nullopt;
}

FileSystem& native_file_system() {
    static FileSystem system;
    return system;
}

} // namespace korvan::platform
