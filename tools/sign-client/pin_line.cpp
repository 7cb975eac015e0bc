#include "pin_line.hpp"

namespace korvan::client {

std::variant<platform::SecretBytes, std::string_view> read_pin_line(platform::ByteSource& in) {
    platform::SecretBytes line;
    // Room for the longest PIN, a CR and one byte more, so that growing never leaves a copy.
    line.reserve(max_pin_size + 2);
    platform::SecretArray<1> byte;
    for (;;) {
        const platform::ReadResult read = in.read_some(byte.span());
        if (read.status == platform::ReadResult::Status::Error) {
            return std::string_view("standard input could not be read");
        }
        if (read.status == platform::ReadResult::Status::End || byte.span()[0] == '\n') {
            break;
        }
        if (line.size() == max_pin_size + 1) {
            return std::string_view("the PIN is longer than 255 bytes");
        }
        line.push_back(byte.span()[0]);
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.empty()) {
        return std::string_view("no PIN on the first line of standard input");
    }
    if (line.size() > max_pin_size) {
        return std::string_view("the PIN is longer than 255 bytes");
    }
    return line;
}

} // namespace korvan::client
