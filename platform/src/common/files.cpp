// The parts of File and FileLock that are the same on every system; opening, I/O and closing are
// per system.
#include "korvan/platform/files.hpp"

#include <utility>

namespace korvan::platform {

File::File(File&& other) noexcept : handle_(other.handle_), last_error_(other.last_error_) {
    other.handle_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        last_error_ = other.last_error_;
        other.handle_ = -1;
    }
    return *this;
}

File::~File() {
    close();
}

FileLock::FileLock(FileLock&& other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

FileLock::~FileLock() {
    release();
}

std::variant<std::string, FileError> read_file(const std::string& path) {
    auto opened = File::open_read(path);
    if (auto* error = std::get_if<FileError>(&opened)) {
        return *error;
    }
    File& file = std::get<File>(opened);
    std::string content;
    std::uint8_t buffer[8192];
    for (;;) {
        const ReadResult r = file.read_some(buffer);
        if (r.status == ReadResult::Status::End) {
            return content;
        }
        if (r.status == ReadResult::Status::Error) {
            return file.last_error();
        }
        content.append(reinterpret_cast<const char*>(buffer), r.count);
    }
}

std::variant<FileLock, FileError> FileSystem::lock_exclusive(const std::string& path) {
    auto taken = FileLock::acquire(path, std::chrono::seconds(5));
    if (auto* lock = std::get_if<FileLock>(&taken)) {
        return std::move(*lock);
    }
    if (auto* error = std::get_if<FileError>(&taken)) {
        return std::move(*error);
    }
    return FileError{path + " is still locked by another process after 5 seconds"};
}

} // namespace korvan::platform
