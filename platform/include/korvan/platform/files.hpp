#pragma once

// File operations whose rules differ per operating system. Paths are UTF-8 text; on Windows they
// are widened once at the call. Every file but a held one is opened with read, write and delete
// sharing, so other processes may rename or delete a file this process holds open.

#include "korvan/platform/streams.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

namespace korvan::platform {

// The operating system's own description of a failure.
struct FileError {
    std::string text;
};

// The final path of an existing file or directory: links resolved, letter case as stored on disk.
// On Windows the result carries the verbatim prefix (\\?\C:\... or \\?\UNC\server\share\...).
std::variant<std::string, FileError> canonicalize(const std::string& path);

// An open file, closed when it dies.
class File final : public ByteSource, public ByteSink {
  public:
    File() = default;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // For reading; the file must exist.
    static std::variant<File, FileError> open_read(const std::string& path);
    // For appending: created when missing, contents kept, every write lands at the current end.
    static std::variant<File, FileError> open_append(const std::string& path);
    // For reading a file about to be trusted: a regular file only (a FIFO, device or folder is
    // refused without blocking on it). On Windows, while this handle lives, others may only read
    // the file: a write, rename or delete of it fails, and a file open for writing is refused.
    static std::variant<File, FileError> open_held(const std::string& path);

    ReadResult read_some(std::span<std::uint8_t> into) override;
    bool write_all(std::span<const std::uint8_t> bytes) override;
    // The error of the last failed read or write.
    FileError last_error() const;
    void close();
    bool is_open() const;
    NativeHandle native_handle() const { return handle_; }
    // Moves the read position back to the first byte; false when the file cannot seek.
    bool rewind();

  private:
    explicit File(NativeHandle handle) : handle_(handle) {}
    NativeHandle handle_ = -1;
    std::int64_t last_error_ = 0;
};

// The lock was still held by another when the wait ran out.
struct LockTimedOut {};

// An exclusive lock between processes, held on a lock file from its creation until it dies.
class FileLock final {
  public:
    FileLock() = default;
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // Creates the lock file when missing and waits up to `wait` until no other holder has it.
    // Independent of the in-process locks: two locks of one process on one file exclude each
    // other too. The lock file lies where others may plant one: on POSIX it and its folder must
    // pass the ownership rule (ownership.hpp) and it must be a regular file, not reached through
    // a symbolic link; on Windows it must be a plain file, not a reparse point.
    static std::variant<FileLock, LockTimedOut, FileError> acquire(const std::string& path,
                                                                   std::chrono::milliseconds wait);

  private:
    explicit FileLock(NativeHandle handle) : handle_(handle) {}
    void release();
    NativeHandle handle_ = -1;
};

// The whole content of a file.
std::variant<std::string, FileError> read_file(const std::string& path);

// Replaces the file's whole content in one step: the bytes go to a new file of a unique name in
// the same folder, are flushed to the disk, and that file is renamed over `path` (on Windows with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH). A reader opening `path` at any moment gets
// the old content or the new one, never a part. The new file is created for its owner only (mode
// 0600 on POSIX); on failure it is removed again and `path` is untouched.
std::optional<FileError> replace_file(const std::string& path,
                                      std::span<const std::uint8_t> content);

// Creates the directory and any missing parents; an existing directory is success.
std::optional<FileError> create_directories(const std::string& path);

// Size by name (not through a handle); none when the query fails.
std::optional<std::uint64_t> file_size(const std::string& path);

// Whether querying the attributes of the name itself succeeds.
bool path_exists(const std::string& path);

// Replaces an existing destination file.
std::optional<FileError> rename_path(const std::string& from, const std::string& to);
std::optional<FileError> remove_file(const std::string& path);

// The same operations behind an interface, for code that wants its failures injectable.
class FileSystem {
  public:
    virtual ~FileSystem() = default;
    virtual std::optional<FileError> create_directories(const std::string& path) {
        return platform::create_directories(path);
    }
    virtual std::variant<File, FileError> open_append(const std::string& path) {
        return File::open_append(path);
    }
    virtual std::variant<File, FileError> open_read(const std::string& path) {
        return File::open_read(path);
    }
    virtual std::optional<std::uint64_t> file_size(const std::string& path) {
        return platform::file_size(path);
    }
    virtual bool path_exists(const std::string& path) { return platform::path_exists(path); }
    virtual std::optional<FileError> rename_path(const std::string& from, const std::string& to) {
        return platform::rename_path(from, to);
    }
    virtual std::optional<FileError> remove_file(const std::string& path) {
        return platform::remove_file(path);
    }
    // Waits a few seconds at most; a lock still held then is a failure like any other.
    virtual std::variant<FileLock, FileError> lock_exclusive(const std::string& path);
};

// The real file system.
FileSystem& native_file_system();

} // namespace korvan::platform
