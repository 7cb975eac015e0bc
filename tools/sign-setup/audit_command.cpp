#include "audit_command.hpp"
#include "setup_messages.hpp"

#include "shared/text_sink.hpp"

#include "korvan/audit/audit_reader.hpp"

#include <fmt/format.h>

namespace korvan::setup {
namespace {

std::string_view kind_text(platform::NotRegularFile::Kind kind) {
    switch (kind) {
    case platform::NotRegularFile::Kind::folder:
        return "a folder";
    case platform::NotRegularFile::Kind::device:
        return "a device";
    case platform::NotRegularFile::Kind::fifo:
        return "a FIFO";
    case platform::NotRegularFile::Kind::other:
        break;
    }
    return "another special file";
}

std::string record_line(const audit::AuditRecord& record, bool json) {
    if (json) {
        // Read back from JSON, so it writes as JSON again.
        auto line = record.to_json();
        return (std::holds_alternative<std::string>(line) ? std::get<std::string>(line) : "{}") +
               "\n";
    }
    return fmt::format("{}\t{}\t{}\t{}\n", visible_text(record.ts), audit::wire_name(record.action),
                       visible_text(record.file.value_or("-")),
                       visible_text(record.error.value_or("-")));
}

// What was not read, or not wholly, on standard error.
void tell_files(const audit::AuditReading& reading, SetupWorld& world) {
    const std::size_t skipped = reading.not_regular_files.size();
    if (skipped > 0) {
        std::string names;
        for (const audit::SkippedFile& file : reading.not_regular_files) {
            names += fmt::format("{}{} ({})", names.empty() ? "" : ", ", visible_text(file.path),
                                 kind_text(file.kind));
        }
        say(world, fmt::format("skipped {} {} not {}: {}", skipped,
                               skipped == 1 ? "file that is" : "files that are",
                               skipped == 1 ? "a regular file" : "regular files", names));
    }
    for (const std::string& path : reading.unreadable_files) {
        say(world, fmt::format("{} could not be read", visible_text(path)));
    }
    for (const std::string& path : reading.partly_read_files) {
        say(world, fmt::format("{} is larger than {} bytes: only its newest records were read",
                               visible_text(path), audit::audit_read_limit_bytes));
    }
}

} // namespace

std::string visible_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            out += fmt::format("\\x{:02x}", c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // A C1 control (CSI is one) in its UTF-8 form.
            out += fmt::format("\\u{:04x}", next);
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int run_audit(const SetupArgs& args, SetupWorld& world) {
    const std::optional<std::string> dir = per_user_dir(world);
    if (!dir) {
        return exit_usage;
    }
    // Written as it is read, so that what is held at once stays small however long the log.
    std::string out;
    const audit::AuditReading reading = audit::visit_audit_log(
        *dir, audit::rejection_log_max_files, [&](const audit::AuditRecord& record) {
            out += record_line(record, args.json);
            if (out.size() >= 65536) {
                cli::write_text(world.output, out);
                out.clear();
            }
        });
    out += args.json ? fmt::format("{{\"unreadable_lines\":{}}}\n", reading.unreadable_lines)
                     : fmt::format("unreadable lines: {}\n", reading.unreadable_lines);
    cli::write_text(world.output, out);
    tell_files(reading, world);
    return exit_ok;
}

} // namespace korvan::setup
