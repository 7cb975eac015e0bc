#include "korvan/platform/ownership.hpp"
#include "owned_open.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include <utility>

namespace korvan::platform {
namespace {

std::string error_text(int code) {
    return std::generic_category().message(code);
}

// The one rule, for what stat told about `name`.
std::optional<std::string> judge(const struct stat& info, const std::string& name) {
    const uid_t me = ::geteuid();
    if (info.st_uid != me && info.st_uid != 0) {
        return name + " is owned by user " + std::to_string(info.st_uid) + ", not by user " +
               std::to_string(me) + " or root";
    }
    if (S_ISLNK(info.st_mode)) {
        return std::nullopt;
    }
    if ((info.st_mode & S_IWGRP) != 0) {
        return name + " is writable by group";
    }
    if ((info.st_mode & S_IWOTH) != 0) {
        return name + " is writable by others";
    }
    return std::nullopt;
}

// The folder part of a path and its last name; "." for a bare name.
std::pair<std::string, std::string> split(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

} // namespace

std::optional<std::string> ownership_problem(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return path + " cannot be examined: " + error_text(EINVAL);
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return path + " cannot be examined: " + error_text(errno);
    }
    return judge(info, path);
}

std::optional<std::string> ownership_problem(NativeHandle handle, const std::string& name) {
    struct stat info {};
    if (::fstat(static_cast<int>(handle), &info) != 0) {
        return name + " cannot be examined: " + error_text(errno);
    }
    return judge(info, name);
}

std::optional<std::string> ownership_problem_along(NativeHandle file, const std::string& path) {
    if (auto problem = ownership_problem(file, path)) {
        return problem;
    }
    for (std::string folder = split(path).first; folder.size() > 1 && folder[0] == '/';
         folder = split(folder).first) {
        if (auto problem = ownership_problem(folder)) {
            return problem;
        }
    }
    return ownership_problem("/");
}

namespace posix {

std::variant<int, FileError> open_owned(const std::string& path, int flags) {
    if (path.find('\0') != std::string::npos) {
        return FileError{error_text(EINVAL)};
    }
    const auto [folder_name, leaf] = split(path);
    if (leaf.empty()) {
        return FileError{path + " names a folder, not a file"};
    }
    // The folder as it is reached now, then the file inside that very folder: renaming either
    // after its check leaves this process with what was checked.
    Descriptor folder(::open(folder_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) {
        return FileError{folder_name + ": " + error_text(errno)};
    }
    if (auto problem = ownership_problem(folder.get(), folder_name)) {
        return FileError{*problem};
    }
    Descriptor file(::openat(folder.get(), leaf.c_str(),
                             flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    if (file.get() < 0) {
        const int code = errno;
        return FileError{code == ELOOP ? path + " is a symbolic link"
                                       : path + ": " + error_text(code)};
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        return FileError{path + " cannot be examined: " + error_text(errno)};
    }
    if (!S_ISREG(info.st_mode)) {
        return FileError{path + " is not a regular file"};
    }
    if (auto problem = judge(info, path)) {
        return FileError{*problem};
    }
    const int status = ::fcntl(file.get(), F_GETFL);
    if (status < 0 || ::fcntl(file.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        return FileError{path + ": " + error_text(errno)};
    }
    return file.release();
}

} // namespace posix

std::variant<std::string, FileError> read_owned_file(const std::string& path) {
    auto opened = posix::open_owned(path, O_RDONLY);
    if (auto* error = std::get_if<FileError>(&opened)) {
        return *error;
    }
    const Descriptor file(std::get<int>(opened));
    std::string content;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n > 0) {
            content.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return content;
        } else if (errno != EINTR) {
            return FileError{error_text(errno)};
        }
    }
}

} // namespace korvan::platform
