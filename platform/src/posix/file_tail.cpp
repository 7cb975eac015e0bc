#include "korvan/platform/file_tail.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace korvan::platform {
namespace {

FileError last_error_text() {
    return {std::generic_category().message(errno)};
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { ::close(fd_); }
    int get() const { return fd_; }

  private:
    int fd_;
};

NotRegularFile::Kind kind_of(mode_t mode) {
    if (S_ISDIR(mode)) {
        return NotRegularFile::Kind::folder;
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return NotRegularFile::Kind::device;
    }
    if (S_ISFIFO(mode)) {
        return NotRegularFile::Kind::fifo;
    }
    return NotRegularFile::Kind::other;
}

} // namespace

std::variant<FileTail, NotRegularFile, FileError> read_regular_tail(const std::string& path,
                                                                    std::uint64_t limit) {
    if (path.find('\0') != std::string::npos) {
        return FileError{std::generic_category().message(EINVAL)};
    }
    // Opening some devices does something (a tape rewinds, a line is taken): what is plainly no
    // regular file is not opened at all. It may still be swapped in before the open, so what was
    // opened is judged again below.
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0) {
        return last_error_text();
    }
    if (!S_ISREG(named.st_mode)) {
        return NotRegularFile{kind_of(named.st_mode)};
    }
    // O_NONBLOCK: a FIFO swapped in opens at once even without a writer; a regular file ignores
    // it. O_NOCTTY: a terminal swapped in must not become this process's.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return last_error_text();
    }
    const Descriptor file(fd);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        return last_error_text();
    }
    if (!S_ISREG(info.st_mode)) {
        return NotRegularFile{kind_of(info.st_mode)};
    }
    FileTail tail;
    tail.size = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t start = tail.size > limit ? tail.size - limit : 0;
    tail.content.resize(static_cast<std::size_t>(tail.size - start));
    std::size_t got = 0;
    while (got < tail.content.size()) {
        const ssize_t n = ::pread(file.get(), tail.content.data() + got, tail.content.size() - got,
                                  static_cast<off_t>(start + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return last_error_text();
        }
        if (n == 0) {
            break; // shortened since fstat: what is there is the tail
        }
        got += static_cast<std::size_t>(n);
    }
    tail.content.resize(got);
    return tail;
}

} // namespace korvan::platform
