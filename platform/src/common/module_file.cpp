#include "korvan/platform/library.hpp"

namespace korvan::platform {

std::variant<ModuleFile, FileError> ModuleFile::open(const std::string& path) {
    auto opened = File::open_held(path);
    if (auto* error = std::get_if<FileError>(&opened)) {
        return std::move(*error);
    }
    return ModuleFile(std::move(std::get<File>(opened)), path);
}

} // namespace korvan::platform
