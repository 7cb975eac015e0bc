#pragma once

// The per-user audit file: JSON lines appended with one write per record, rotated by size and by
// the age of its first record into numbered siblings (".1" newest). Best effort: callers decide
// whether a failure matters. Processes append without waiting for each other; they rotate one at
// a time, under a lock file "audit.lock" beside the log.

#include "korvan/audit/audit_record.hpp"
#include "korvan/platform/clock.hpp"
#include "korvan/platform/files.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace korvan::audit {

struct IoError {
    std::string path;
    std::string os_error;
};
struct RotationError {
    std::string text;
};
using AuditError = std::variant<IoError, SerializationError, RotationError>;

std::string error_text(const AuditError& error);

// An RFC 3339 date-time with any offset and an optional fraction, as a UTC instant.
std::optional<platform::UtcTime> parse_rfc3339(std::string_view text);

class AuditLog {
  public:
    static std::variant<AuditLog, AuditError>
    open(const std::string& dir, std::uint64_t max_bytes, std::uint32_t max_age_days,
         std::uint32_t max_files, const platform::Clock& clock,
         platform::FileSystem& files = platform::native_file_system());

    AuditLog(AuditLog&&) noexcept;
    AuditLog& operator=(AuditLog&&) noexcept;
    ~AuditLog();

    // The record's JSON text and its line feed go out in one write, so records of processes
    // appending at once never share a line.
    std::optional<AuditError> append(const AuditRecord& record);
    // Unconditionally; open and append rotate only what is still due once it is their turn.
    std::optional<AuditError> rotate();

    const std::string& path() const { return path_; }

    struct Handle; // the file handle behind its lock; opaque

  private:
    AuditLog(std::string path, std::string lock_path, std::unique_ptr<Handle> handle,
             std::uint64_t max_bytes, std::uint32_t max_files, platform::FileSystem& files);

    // Rotates if `due` still holds once no other process is rotating. When it no longer does,
    // another process rotated first: the handle moves on to the new live file instead.
    std::optional<AuditError> rotate_if_due(const std::function<bool()>& due);
    std::optional<AuditError> shift_files();

    std::string path_;
    std::string lock_path_;
    std::unique_ptr<Handle> handle_;
    std::uint64_t max_bytes_;
    std::uint32_t max_files_;
    platform::FileSystem* files_;
};

// The log path with "." and n appended: "audit.log.1" is the newest rotated file.
std::string rotated_path(const std::string& path, std::uint32_t n);

} // namespace korvan::audit
