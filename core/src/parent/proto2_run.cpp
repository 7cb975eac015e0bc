#include "korvan/parent/proto2_run.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>

namespace korvan::parent {
namespace {

constexpr std::string_view marker = "<<KORVAN_SIGN_PROTO_2>>\n";

std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text) {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        int padding = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            const bool last_group = i + 4 == text.size();
            if (c == '=' && last_group && j >= 2 && (j == 3 || text[i + 3] == '=')) {
                ++padding;
                group <<= 6;
                continue;
            }
            const std::size_t value = alphabet.find(c);
            if (value == std::string_view::npos || padding > 0) {
                return std::nullopt;
            }
            group = (group << 6) | static_cast<std::uint32_t>(value);
        }
        bytes.push_back(static_cast<std::uint8_t>(group >> 16));
        if (padding < 2) {
            bytes.push_back(static_cast<std::uint8_t>(group >> 8));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<std::uint8_t>(group));
        }
    }
    return bytes;
}

std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return lines;
}

Proto2Exit exit_of(int code) {
    switch (code) {
    case 0:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
        return static_cast<Proto2Exit>(code);
    default:
        return Proto2Exit::Unknown;
    }
}

// Reads whatever is there; false once the stream has ended (or failed).
bool drain(platform::PipeEnd& pipe, std::string& into) {
    std::array<std::uint8_t, 4096> buffer{};
    const platform::ReadResult read = pipe.read_some(buffer);
    if (read.status != platform::ReadResult::Status::Data) {
        pipe.close();
        return false;
    }
    into.append(reinterpret_cast<const char*>(buffer.data()), read.count);
    return true;
}

} // namespace

std::variant<Proto2Result, Proto2Failure> run_proto2(const SignCliCommand& command,
                                                     platform::SecretBytes pin, Deadline deadline) {
    std::vector<std::string> args{"--proto=2"};
    args.insert(args.end(), command.args.begin(), command.args.end());
    auto started = platform::ChildProcess::start(command.program, args, command.environment,
                                                 platform::ErrorStream::Captured);
    if (const auto* failure = std::get_if<platform::ChildStartFailure>(&started)) {
        platform::release(pin);
        return Proto2Failure{Proto2Failure::Kind::NotStarted,
                             fmt::format("cannot start {}: {}", command.program, failure->text),
                             std::nullopt};
    }
    auto& child = std::get<platform::ChildProcess>(started);
    // A child that exits before reading the PIN makes this write fail; its exit says why.
    (void)child.input().write_all(pin);
    platform::release(pin);
    child.close_input();

    // Both streams at once, in short turns: a child blocked on a full standard-error pipe would
    // otherwise look like a hang.
    std::string out;
    std::string err;
    bool out_open = true;
    bool err_open = true;
    bool timed_out = false;
    while ((out_open || err_open) && !timed_out) {
        const Deadline turn =
            std::min(deadline, platform::Deadline::clock::now() + std::chrono::milliseconds(5));
        struct Stream {
            platform::PipeEnd& pipe;
            std::string& text;
            bool& open;
        };
        for (const Stream stream : {Stream{child.output_end(), out, out_open},
                                    Stream{child.error_end(), err, err_open}}) {
            if (stream.open && stream.pipe.wait_readable(turn) == platform::Readiness::Ready) {
                stream.open = drain(stream.pipe, stream.text);
            }
        }
        timed_out = platform::Deadline::clock::now() >= deadline && (out_open || err_open);
    }
    std::optional<platform::ChildEnd> end;
    if (!timed_out) {
        end = child.wait_until(deadline);
    }
    if (!end) {
        child.kill();
        return Proto2Failure{Proto2Failure::Kind::TimedOut,
                             "timed out before sign-cli ended; it was killed", child.wait()};
    }
    const auto* exited = std::get_if<platform::ChildExited>(&*end);
    if (exited == nullptr) {
        return Proto2Failure{Proto2Failure::Kind::Lost,
                             fmt::format("sign-cli ended without an exit code: {}",
                                         std::get<platform::ChildLost>(*end).text),
                             std::move(end)};
    }
    Proto2Result result;
    result.exit_code = exited->code;
    result.exit = exit_of(exited->code);
    result.marker_seen = std::string_view(out).substr(0, marker.size()) == marker;
    if (result.marker_seen && out.size() > marker.size()) {
        const std::vector<std::string> lines =
            lines_of(std::string_view(out).substr(marker.size()));
        if (lines.size() == 1 && out.back() == '\n') {
            result.signature = decode_base64(lines.front());
        }
    }
    result.error_lines = lines_of(err);
    if (!result.error_lines.empty()) {
        result.outcome_line = result.error_lines.back();
    }
    return result;
}

} // namespace korvan::parent
