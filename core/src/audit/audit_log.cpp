#include "korvan/audit/audit_log.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/platform/streams.hpp"
#include "korvan/platform/unicode.hpp"

#include <date/date.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>

namespace korvan::audit {

struct AuditLog::Handle {
    std::mutex mutex;
    // Set when a holder left halfway through an operation; nothing may trust the handle then.
    bool poisoned = false;
    platform::File file;
};

namespace {

// Holds the lock; marks it poisoned when an exception leaves the guarded operation halfway.
class Locked {
  public:
    explicit Locked(AuditLog::Handle& handle)
        : handle_(handle), lock_(handle.mutex), exceptions_(std::uncaught_exceptions()) {
        if (handle_.poisoned) {
            platform::HandleStream error(platform::standard_error());
            constexpr std::string_view message = "audit log mutex poisoned\n";
            error.write_all(std::span<const std::uint8_t>(
                reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
            std::abort();
        }
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() {
        if (std::uncaught_exceptions() > exceptions_) {
            handle_.poisoned = true;
        }
    }

  private:
    AuditLog::Handle& handle_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
};

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Everything up to and including the first line feed, or to the end; none when unreadable.
std::optional<std::string> first_line(platform::FileSystem& files, const std::string& path) {
    auto opened = files.open_read(path);
    auto* file = std::get_if<platform::File>(&opened);
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string line;
    std::uint8_t buffer[8192];
    for (;;) {
        const platform::ReadResult r = file->read_some(buffer);
        if (r.status == platform::ReadResult::Status::Error) {
            return std::nullopt;
        }
        if (r.status == platform::ReadResult::Status::End) {
            return line;
        }
        const std::string_view chunk(reinterpret_cast<const char*>(buffer), r.count);
        const std::size_t end = chunk.find('\n');
        if (end != std::string_view::npos) {
            line.append(chunk.substr(0, end + 1));
            return line;
        }
        line.append(chunk);
    }
}

// Whole days from `earlier` to `later`, truncated toward zero.
std::int64_t whole_days_between(platform::UtcTime earlier, platform::UtcTime later) {
    std::int64_t seconds = later.seconds - earlier.seconds;
    std::int64_t nanos = static_cast<std::int64_t>(later.nanoseconds) - earlier.nanoseconds;
    if (nanos < 0) {
        nanos += 1000000000;
        --seconds;
    }
    constexpr std::int64_t day = 86400;
    if (seconds >= 0) {
        return seconds / day;
    }
    // Negative: the fraction moves the value toward zero.
    return -((-seconds - (nanos > 0 ? 1 : 0)) / day);
}

// Whether the first record of the file is older than the limit. Every failure on the way means
// "not by age".
bool too_old(platform::FileSystem& files, const std::string& path, std::uint32_t max_age_days,
             const platform::Clock& clock) {
    const std::optional<std::string> line = first_line(files, path);
    // The parser would end the line at a raw NUL and take what stands before it as the record.
    if (!line || line->empty() || !platform::is_valid_utf8(*line) ||
        line->find('\0') != std::string::npos) {
        return false;
    }
    const nlohmann::json value = nlohmann::json::parse(*line, nullptr, false);
    if (value.is_discarded()) {
        return false;
    }
    std::string ts;
    if (value.is_object()) {
        const auto it = value.find("ts");
        if (it != value.end() && it->is_string()) {
            ts = it->get<std::string>();
        }
    }
    const std::optional<platform::UtcTime> written = parse_rfc3339(ts);
    if (!written) {
        return false;
    }
    return whole_days_between(*written, clock.now()) > static_cast<std::int64_t>(max_age_days);
}

// Steps 5 to 12 of opening: whether the file at `path` is over the size limit or, failing that,
// its first record over the age limit.
bool due_for_rotation(platform::FileSystem& files, const std::string& path, std::uint64_t max_bytes,
                      std::uint32_t max_age_days, const platform::Clock& clock) {
    const std::optional<std::uint64_t> size = files.file_size(path);
    if (!size || *size == 0) {
        return false;
    }
    return *size > max_bytes || too_old(files, path, max_age_days, clock);
}

} // namespace

std::string error_text(const AuditError& error) {
    if (const auto* io = std::get_if<IoError>(&error)) {
        return fmt::format("audit log IO failed at {}: {}", io->path, io->os_error);
    }
    if (const auto* serialization = std::get_if<SerializationError>(&error)) {
        return fmt::format("audit log serialization failed: {}", serialization->text);
    }
    return fmt::format("rotation failed: {}", std::get<RotationError>(error).text);
}

std::optional<platform::UtcTime> parse_rfc3339(std::string_view text) {
    // date-time = YYYY-MM-DDTHH:MM:SS[.digits](Z|+HH:MM|-HH:MM); the letters in either case.
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() < shape.size() + 1) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = text[i];
        const bool fits = shape[i] == 'd'   ? is_digit(c)
                          : shape[i] == 'T' ? (c == 'T' || c == 't')
                                            : c == shape[i];
        if (!fits) {
            return std::nullopt;
        }
    }
    std::size_t at = shape.size();
    std::uint32_t nanoseconds = 0;
    if (text[at] == '.') {
        ++at;
        const std::size_t digits_start = at;
        std::uint32_t scale = 100000000;
        while (at < text.size() && is_digit(text[at])) {
            nanoseconds += static_cast<std::uint32_t>(text[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == digits_start) {
            return std::nullopt;
        }
    }
    std::string offset(text.substr(at));
    if (offset == "Z" || offset == "z") {
        offset = "+00:00";
    }
    if (offset.size() != 6 || (offset[0] != '+' && offset[0] != '-') || !is_digit(offset[1]) ||
        !is_digit(offset[2]) || offset[3] != ':' || !is_digit(offset[4]) || !is_digit(offset[5])) {
        return std::nullopt;
    }
    auto number = [&text](std::size_t from, std::size_t count) {
        int value = 0;
        for (std::size_t i = from; i < from + count; ++i) {
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    auto offset_number = [&offset](std::size_t from) {
        return (offset[from] - '0') * 10 + (offset[from + 1] - '0');
    };
    // The calendar is the date library's: it rejects a 13th month or a 30th of February.
    const date::year_month_day day{date::year{number(0, 4)},
                                   date::month{static_cast<unsigned>(number(5, 2))},
                                   date::day{static_cast<unsigned>(number(8, 2))}};
    const int hour = number(11, 2);
    const int minute = number(14, 2);
    const int second = number(17, 2); // 60 is a leap second
    const int offset_hours = offset_number(1);
    const int offset_minutes = offset_number(4);
    if (!day.ok() || hour > 23 || minute > 59 || second > 60 || offset_hours > 23 ||
        offset_minutes > 59) {
        return std::nullopt;
    }
    const std::int64_t offset_seconds =
        (offset[0] == '-' ? -1 : 1) * (offset_hours * 3600 + offset_minutes * 60);
    const std::int64_t local =
        static_cast<std::int64_t>(date::sys_days{day}.time_since_epoch().count()) * 86400 +
        hour * 3600 + minute * 60 + second;
    return platform::UtcTime{local - offset_seconds, nanoseconds};
}

std::string rotated_path(const std::string& path, std::uint32_t n) {
    return path + "." + std::to_string(n);
}

AuditLog::AuditLog(std::string path, std::string lock_path, std::unique_ptr<Handle> handle,
                   std::uint64_t max_bytes, std::uint32_t max_files, platform::FileSystem& files)
    : path_(std::move(path)), lock_path_(std::move(lock_path)), handle_(std::move(handle)),
      max_bytes_(max_bytes), max_files_(max_files), files_(&files) {}

AuditLog::AuditLog(AuditLog&&) noexcept = default;
AuditLog& AuditLog::operator=(AuditLog&&) noexcept = default;
AuditLog::~AuditLog() = default;

std::variant<AuditLog, AuditError>
AuditLog::open(const std::string& dir, std::uint64_t max_bytes, std::uint32_t max_age_days,
               std::uint32_t max_files, const platform::Clock& clock, platform::FileSystem& files) {
    if (auto failed = files.create_directories(dir)) {
        return IoError{dir, failed->text};
    }
    std::string path = app_dirs::join_path(dir, "audit.log");
    auto opened = files.open_append(path);
    if (auto* failed = std::get_if<platform::FileError>(&opened)) {
        return IoError{path, failed->text};
    }
    auto handle = std::make_unique<Handle>();
    handle->file = std::move(std::get<platform::File>(opened));
    AuditLog log(std::move(path), app_dirs::join_path(dir, "audit.lock"), std::move(handle),
                 max_bytes, max_files, files);

    auto due = [&files, &path = log.path_, max_bytes, max_age_days, &clock] {
        return due_for_rotation(files, path, max_bytes, max_age_days, clock);
    };
    if (due()) {
        if (auto failed = log.rotate_if_due(due)) {
            return *failed; // the log and its handle close here
        }
    }
    return log;
}

std::optional<AuditError> AuditLog::append(const AuditRecord& record) {
    auto serialized = record.to_json();
    if (auto* failed = std::get_if<SerializationError>(&serialized)) {
        return *failed;
    }
    std::string& line = std::get<std::string>(serialized);
    line.push_back('\n');
    {
        Locked locked(*handle_);
        if (!handle_->file.write_all(as_bytes(line))) {
            return IoError{path_, handle_->file.last_error().text};
        }
    }
    auto due = [this] {
        const std::optional<std::uint64_t> size = files_->file_size(path_);
        return size && *size > max_bytes_;
    };
    if (due()) {
        return rotate_if_due(due);
    }
    return std::nullopt;
}

std::optional<AuditError> AuditLog::rotate() {
    return rotate_if_due([] { return true; });
}

std::optional<AuditError> AuditLog::rotate_if_due(const std::function<bool()>& due) {
    Locked locked(*handle_);
    // Two processes shifting the numbered files at once delete and rename over each other's
    // files, and both rotating on one decision turns the new live file away too. Without the lock
    // file (a folder that takes no new files) the rotation goes ahead as it would alone.
    const auto turn = files_->lock_exclusive(lock_path_);
    if (due()) {
        return shift_files();
    }
    // Rotated by another process since the decision; whatever this handle writes next belongs in
    // the live file, not in the one it was rotated into.
    auto reopened = files_->open_append(path_);
    if (auto* file = std::get_if<platform::File>(&reopened)) {
        handle_->file = std::move(*file);
    }
    return std::nullopt;
}

std::optional<AuditError> AuditLog::shift_files() {
    for (std::uint32_t i = max_files_; i >= 2; --i) {
        const std::string from = rotated_path(path_, i - 1);
        const std::string to = rotated_path(path_, i);
        if (!files_->path_exists(from)) {
            continue;
        }
        if (files_->path_exists(to)) {
            if (auto failed = files_->remove_file(to)) {
                return RotationError{failed->text};
            }
        }
        if (auto failed = files_->rename_path(from, to)) {
            return RotationError{failed->text};
        }
    }
    // Strays from a larger limit of an earlier version; failures do not matter.
    for (const std::uint64_t i : {std::uint64_t{max_files_} + 1, std::uint64_t{max_files_} + 2}) {
        if (i <= 0xFFFFFFFFu) {
            const std::string stray = rotated_path(path_, static_cast<std::uint32_t>(i));
            if (files_->path_exists(stray)) {
                files_->remove_file(stray);
            }
        }
    }
    if (files_->path_exists(path_)) {
        if (auto failed = files_->rename_path(path_, rotated_path(path_, 1))) {
            return RotationError{failed->text};
        }
    }
    auto reopened = files_->open_append(path_);
    if (auto* failed = std::get_if<platform::FileError>(&reopened)) {
        // The old handle stays, writing into what is now ".1".
        return RotationError{error_text(IoError{path_, failed->text})};
    }
    handle_->file = std::move(std::get<platform::File>(reopened));
    return std::nullopt;
}

} // namespace korvan::audit
