#include "korvan/platform/command_line.hpp"

namespace korvan::platform {
namespace {

void append_quoted(std::string& line, const std::string& argument) {
    line.push_back('"');
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line.push_back(c);
    }
    line.append(backslashes * 2, '\\');
    line.push_back('"');
}

} // namespace

std::string windows_command_line(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty()) {
            line.push_back(' ');
        }
        append_quoted(line, argument);
    }
    return line;
}

} // namespace korvan::platform
