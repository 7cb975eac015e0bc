// Writes to the audit log in a folder as fast as it can, as one of several processes at once:
//   korvan-audit-append <dir> <count> <tag> [<max_bytes> <max_age_days> <max_files> [<mode>]]
// Without limits the file never rotates. Modes: "keep" (the default) opens the log once and
// appends <count> records; "reopen" opens it afresh for every record, as a rejection does;
// "rotate" opens it once and rotates it <count> times without writing. Record i carries the tag
// as role_name and i as role_len. Exit 0 when every call succeeded, 1 when the log could not be
// opened, 3 when some later call failed (each failure is printed on standard error).
#include "korvan/audit/audit_log.hpp"

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

using namespace korvan;

namespace {

class ZeroClock final : public platform::Clock {
  public:
    platform::UtcTime now() const override { return {1740820502, 0}; }
};

struct Limits {
    std::uint64_t max_bytes = 1ULL << 40;
    std::uint32_t max_age_days = 30;
    std::uint32_t max_files = 3;
};

template <typename T> bool parse_number(std::string_view text, T& into) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), into);
    return error == std::errc() && end == text.data() + text.size();
}

void report(const audit::AuditError& error) {
    std::fprintf(stderr, "%s\n", audit::error_text(error).c_str());
}

std::variant<audit::AuditLog, audit::AuditError> open_log(const char* dir, const Limits& limits,
                                                          const platform::Clock& clock) {
    return audit::AuditLog::open(dir, limits.max_bytes, limits.max_age_days, limits.max_files,
                                 clock);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 7 && argc != 8) {
        return 2;
    }
    Limits limits;
    std::uint32_t count = 0;
    if (!parse_number(argv[2], count) ||
        (argc >= 7 &&
         (!parse_number(argv[4], limits.max_bytes) || !parse_number(argv[5], limits.max_age_days) ||
          !parse_number(argv[6], limits.max_files)))) {
        return 2;
    }
    const std::string_view mode = argc == 8 ? argv[7] : "keep";
    if (mode != "keep" && mode != "reopen" && mode != "rotate") {
        return 2;
    }
    ZeroClock clock;
    auto opened = open_log(argv[1], limits, clock);
    if (auto* error = std::get_if<audit::AuditError>(&opened)) {
        report(*error);
        return 1;
    }
    std::optional<audit::AuditLog> log(std::move(std::get<audit::AuditLog>(opened)));

    audit::AuditRecord record;
    record.ts = audit::now_rfc3339(clock);
    record.role_name = argv[3];
    // Long records make a split between the text and its line feed likely if there ever is one.
    record.error = std::string(4000, argv[3][0]);
    bool all_succeeded = true;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (mode == "rotate") {
            if (auto failed = log->rotate()) {
                report(*failed);
                all_succeeded = false;
            }
            continue;
        }
        if (mode == "reopen" && i > 0) {
            log.reset();
            auto reopened = open_log(argv[1], limits, clock);
            if (auto* error = std::get_if<audit::AuditError>(&reopened)) {
                // This record is not written: the test sees it missing.
                report(*error);
                all_succeeded = false;
                continue;
            }
            log.emplace(std::move(std::get<audit::AuditLog>(reopened)));
        }
        record.role_len = i;
        if (auto failed = log->append(record)) {
            report(*failed);
            all_succeeded = false;
        }
    }
    return all_succeeded ? 0 : 3;
}
