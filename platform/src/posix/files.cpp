#include "korvan/platform/files.hpp"
#include "../common/temp_names.hpp"
#include "owned_open.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace korvan::platform {
namespace {

FileError error_text(int code) {
    return {std::generic_category().message(code)};
}
FileError last_error_text() {
    return error_text(errno);
}

// The system call would end the name at a NUL and act on another file than the one named.
bool cut_short(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

int as_fd(NativeHandle handle) {
    return static_cast<int>(handle);
}

} // namespace

std::variant<std::string, FileError> canonicalize(const std::string& path) {
    if (cut_short(path)) {
        return error_text(EINVAL);
    }
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return last_error_text();
    }
    std::string result(resolved);
    std::free(resolved);
    return result;
}

void File::close() {
    if (handle_ != -1) {
        ::close(as_fd(handle_));
        handle_ = -1;
    }
}

bool File::is_open() const {
    return handle_ != -1;
}

FileError File::last_error() const {
    return error_text(static_cast<int>(last_error_));
}

std::variant<File, FileError> File::open_read(const std::string& path) {
    if (cut_short(path)) {
        return error_text(EINVAL);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return last_error_text();
    }
    return File(fd);
}

std::variant<File, FileError> File::open_held(const std::string& path) {
    if (cut_short(path)) {
        return error_text(EINVAL);
    }
    // Non-blocking so that a FIFO put in the file's place cannot hold the open; a regular file
    // reads the same either way.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return last_error_text();
    }
    File file(fd);
    struct stat facts {};
    if (::fstat(fd, &facts) != 0) {
        return last_error_text();
    }
    if (!S_ISREG(facts.st_mode)) {
        return FileError{"not a regular file"};
    }
    return file;
}

bool File::rewind() {
    if (::lseek(as_fd(handle_), 0, SEEK_SET) == 0) {
        return true;
    }
    last_error_ = errno;
    return false;
}

std::variant<File, FileError> File::open_append(const std::string& path) {
    if (cut_short(path)) {
        return error_text(EINVAL);
    }
    // Never through a link another user planted, and never blocked by a FIFO waiting for its
    // reader.
    const int fd = ::open(
        path.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        return last_error_text();
    }
    File file(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return last_error_text();
    }
    if (!S_ISREG(info.st_mode)) {
        return FileError{path + " is not a regular file"};
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        return last_error_text();
    }
    return file;
}

std::variant<FileLock, LockTimedOut, FileError> FileLock::acquire(const std::string& path,
                                                                  std::chrono::milliseconds wait) {
    auto opened = posix::open_owned(path, O_RDWR | O_CREAT);
    if (auto* error = std::get_if<FileError>(&opened)) {
        return *error;
    }
    FileLock lock(std::get<int>(opened));
    const auto deadline = std::chrono::steady_clock::now() + wait;
    // flock belongs to this open file description, so it also excludes another of this process.
    // It has no timed wait: try, and sleep a little between tries.
    while (::flock(as_fd(lock.handle_), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return last_error_text();
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return LockTimedOut{};
        }
        ::usleep(10000);
    }
    return lock;
}

void FileLock::release() {
    if (handle_ != -1) {
        ::close(as_fd(handle_)); // drops the lock
        handle_ = -1;
    }
}

ReadResult File::read_some(std::span<std::uint8_t> into) {
    for (;;) {
        const ssize_t n = ::read(as_fd(handle_), into.data(), into.size());
        if (n > 0) {
            return {ReadResult::Status::Data, static_cast<std::size_t>(n)};
        }
        if (n == 0) {
            return {ReadResult::Status::End, 0};
        }
        if (errno != EINTR) {
            last_error_ = errno;
            return {ReadResult::Status::Error, 0};
        }
    }
}

bool File::write_all(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(as_fd(handle_), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            last_error_ = n < 0 ? errno : EIO;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<FileError> replace_file(const std::string& path,
                                      std::span<const std::uint8_t> content) {
    if (cut_short(path)) {
        return error_text(EINVAL);
    }
    const std::optional<std::string> fresh = detail::replacement_name(path);
    if (!fresh) {
        return FileError{"no random name for the new file"};
    }
    const int fd = ::open(fresh->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return last_error_text();
    }
    int code = 0;
    while (code == 0 && !content.empty()) {
        const ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            code = n < 0 ? errno : EIO;
            break;
        }
        content = content.subspan(static_cast<std::size_t>(n));
    }
    if (code == 0 && ::fsync(fd) != 0) {
        code = errno;
    }
    if (::close(fd) != 0 && code == 0) {
        code = errno;
    }
    if (code == 0 && ::rename(fresh->c_str(), path.c_str()) != 0) {
        code = errno;
    }
    if (code != 0) {
        ::unlink(fresh->c_str());
        return error_text(code);
    }
    // The rename itself reaches the disk with the folder's entry; a failure here loses nothing a
    // reader could see.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return std::nullopt;
}

std::optional<FileError> create_directories(const std::string& path) {
    if (cut_short(path)) {
        return error_text(EINVAL);
    }
    // Each parent in turn; failures on the way are judged by whether the whole path ends up a
    // directory.
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/' && path[i - 1] != '/') {
            ::mkdir(path.substr(0, i).c_str(), 0700);
        }
    }
    int code = 0;
    if (::mkdir(path.c_str(), 0700) != 0) {
        code = errno;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return std::nullopt;
    }
    return error_text(code != 0 && code != EEXIST ? code : ENOTDIR);
}

std::optional<std::uint64_t> file_size(const std::string& path) {
    if (cut_short(path)) {
        return std::nullopt;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.st_size);
}

bool path_exists(const std::string& path) {
    if (cut_short(path)) {
        return false;
    }
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::optional<FileError> rename_path(const std::string& from, const std::string& to) {
    if (cut_short(from) || cut_short(to)) {
        return error_text(EINVAL);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return last_error_text();
    }
    return std::nullopt;
}

std::optional<FileError> remove_file(const std::string& path) {
    if (cut_short(path)) {
        return error_text(EINVAL);
    }
    if (::unlink(path.c_str()) != 0) {
        return last_error_text();
    }
    return std::nullopt;
}

FileSystem& native_file_system() {
    static FileSystem system;
    return system;
}

} // namespace korvan::platform
