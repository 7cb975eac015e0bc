#pragma once

#include "korvan/platform/files.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace korvan::platform {

// A loaded shared library (HMODULE on Windows, dlopen handle elsewhere).
struct LibraryHandle {
    void* native = nullptr;
};

// Why a load or a lookup failed, as the text the parent shows.
struct LibraryError {
    std::string text;
};

// A module file held open from the moment it is checked until it is loaded, so that the file
// whose digest the policy compared is the file whose code runs.
class ModuleFile final : public ByteSource {
  public:
    // `path` absolute; File::open_held's rules.
    static std::variant<ModuleFile, FileError> open(const std::string& path);

    ReadResult read_some(std::span<std::uint8_t> into) override { return file_.read_some(into); }
    FileError last_error() const { return file_.last_error(); }
    bool rewind() { return file_.rewind(); }
    const std::string& path() const { return path_; }
    NativeHandle native_handle() const { return file_.native_handle(); }

  private:
    ModuleFile(File file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
    File file_;
    std::string path_;
};

// Loads the held file itself. Linux: through /proc/self/fd; where that does not name the held
// file, by path, and a loaded file other than the held one is refused. Windows: by path while the
// handle keeps the file from being replaced, then the loaded file is compared with the held one.
// On Windows the module's dependencies are looked for in its own folder first, then in the system
// folders and PATH, never in the current folder, and no critical-error dialog can appear while it
// runs; elsewhere the loader's default rules apply.
std::variant<LibraryHandle, LibraryError> load_library(const ModuleFile& module);

// The address of an exported function, or the failure text (naming the lookup call).
std::variant<void*, LibraryError> find_symbol(LibraryHandle library, const char* name);

// Releases the library; the result is of no use to anyone.
void free_library(LibraryHandle library);

} // namespace korvan::platform
