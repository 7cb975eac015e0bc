#pragma once

// The C runtimes loaded in this process. Ours is msvcrt.dll; ucrtbase.dll is loaded before main by
// system libraries and is what most vendor modules print, read and abort through. Each keeps
// descriptors and a signal table of its own, so whatever we arrange for one we arrange for each.
#include <windows.h>

#include <vector>

namespace korvan::platform::win32 {

enum class RuntimeKind { ucrt, msvcrt };

struct LoadedRuntime {
    HMODULE module;
    RuntimeKind kind;
};

// Each loaded runtime once, ucrtbase.dll first; a name that resolves to a module already listed is
// left out. Nothing is loaded for this.
inline std::vector<LoadedRuntime> loaded_runtimes() {
    static constexpr struct {
        const wchar_t* name;
        RuntimeKind kind;
    } candidates[] = {{L"ucrtbase.dll", RuntimeKind::ucrt}, {L"msvcrt.dll", RuntimeKind::msvcrt}};
    std::vector<LoadedRuntime> found;
    for (const auto& [name, kind] : candidates) {
        const HMODULE module = GetModuleHandleW(name);
        bool listed = false;
        for (const LoadedRuntime& runtime : found) {
            listed = listed || runtime.module == module;
        }
        if (module != nullptr && !listed) {
            found.push_back({module, kind});
        }
    }
    return found;
}

template <class F> bool find_export(HMODULE library, const char* name, F& function) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    return function != nullptr;
}

} // namespace korvan::platform::win32
