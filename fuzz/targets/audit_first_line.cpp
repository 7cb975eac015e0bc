// Opening the audit log decides from its first line whether the file is too old to go on with.
// The fuzz input is the log's content (after a first byte that picks the age limit), in a real
// file of its own; renames are only recorded, so "rotated" is what the decision was. The same
// bytes also go through parse_rfc3339, whose instants must survive being written back.

#include "check.hpp"

#include "korvan/audit/audit_log.hpp"

#include <date/date.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

using namespace korvan;

namespace {

// 2026-12-10T12:00:00Z
constexpr std::int64_t now_seconds = 1796904000;

class FixedClock final : public platform::Clock {
  public:
    platform::UtcTime now() const override { return {now_seconds, 500000000}; }
};

// The real files, except that rotation only notes that it happened.
class NotingFiles final : public platform::FileSystem {
  public:
    std::optional<platform::FileError> rename_path(const std::string&,
                                                   const std::string&) override {
        rotated = true;
        return std::nullopt;
    }
    std::optional<platform::FileError> remove_file(const std::string&) override {
        return std::nullopt;
    }
    std::optional<platform::FileError> create_directories(const std::string&) override {
        return std::nullopt; // the scratch folder exists
    }
    bool rotated = false;
};

struct Scratch {
    std::filesystem::path dir;
    std::filesystem::path log;
    Scratch() {
        std::random_device random;
        dir = std::filesystem::temp_directory_path() /
              ("korvan-fuzz-audit-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(dir);
        log = dir / "audit.log";
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

bool rotates_by_age(std::uint32_t max_age_days) {
    NotingFiles files;
    const FixedClock clock;
    const auto opened =
        audit::AuditLog::open(scratch().dir.string(), std::numeric_limits<std::uint64_t>::max(),
                              max_age_days, 3, clock, files);
    fuzz::check(std::holds_alternative<audit::AuditLog>(opened), "the log opens");
    return files.rotated;
}

void check_age_decision(std::string_view content, std::uint32_t max_age_days) {
    {
        // A new file each time: rewriting a truncated one makes ext4 flush it to disk on close.
        std::error_code ignored;
        std::filesystem::remove(scratch().log, ignored);
        std::ofstream file(scratch().log, std::ios::binary);
        file.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    const std::string_view first_line = content.substr(0, content.find('\n'));
    const bool rotated = rotates_by_age(max_age_days);
    // The member name may be written with escapes: "\u0074s".
    const bool may_have_stamp = first_line.find("ts") != std::string_view::npos ||
                                first_line.find("\\u") != std::string_view::npos;
    fuzz::check(!rotated || may_have_stamp,
                "no rotation by age without a time stamp in the first line");
    if (!rotated) {
        return;
    }
    if (max_age_days > 0) {
        fuzz::check(rotates_by_age(max_age_days - 1), "a shorter limit rotates as well");
    }
    fuzz::check(!rotates_by_age(std::numeric_limits<std::uint32_t>::max()),
                "no record is older than the longest limit");
}

// Years 1 to 9999 can be written in the four digits the format has.
constexpr std::int64_t first_writable = -62135596800; // 0001-01-01T00:00:00Z
constexpr std::int64_t last_writable = 253402300799;  // 9999-12-31T23:59:59Z

void check_rfc3339(std::string_view text) {
    const auto instant = audit::parse_rfc3339(text);
    if (!instant) {
        return;
    }
    fuzz::check(instant->nanoseconds < 1000000000, "nanoseconds below one second");
    if (instant->seconds < first_writable || instant->seconds > last_writable) {
        return;
    }
    const date::sys_seconds at{std::chrono::seconds{instant->seconds}};
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%09u", static_cast<unsigned>(instant->nanoseconds));
    const std::string written = date::format("%FT%T", at) + fraction + "Z";
    const auto again = audit::parse_rfc3339(written);
    fuzz::check(again && again->seconds == instant->seconds &&
                    again->nanoseconds == instant->nanoseconds,
                "an instant written back in UTC reads the same");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view content(reinterpret_cast<const char*>(data + 1), size - 1);
    check_age_decision(content, data[0]);
    check_rfc3339(content);
    return 0;
}
