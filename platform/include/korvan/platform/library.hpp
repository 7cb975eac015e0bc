#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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

// Loads the library at `path` (absolute). On Windows its dependencies are looked for in its own
// folder first, then in the system folders and PATH, never in the current folder, and no
// critical-error dialog can appear while it runs; elsewhere the loader's default rules apply.
std::variant<LibraryHandle, LibraryError> load_library(std::string_view path);

// The address of an exported function, or the failure text (naming the lookup call).
std::variant<void*, LibraryError> find_symbol(LibraryHandle library, const char* name);

// Releases the library; the result is of no use to anyone.
void free_library(LibraryHandle library);

} // namespace korvan::platform
