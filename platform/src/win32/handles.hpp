#pragma once

// NativeHandle <-> HANDLE, and the 32-bit counts ReadFile and WriteFile take.
#include "korvan/platform/streams.hpp"

#include <windows.h>

#include <cstddef>

namespace korvan::platform::win32 {

inline HANDLE as_handle(NativeHandle h) {
    return reinterpret_cast<HANDLE>(h);
}
inline NativeHandle from_handle(HANDLE h) {
    return reinterpret_cast<NativeHandle>(h);
}

inline DWORD io_chunk(std::size_t size) {
    return size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
}

// Whether two handles refer to one kernel object: two handles to one pipe are one channel.
// CompareObjectHandles exists from Windows 10 on; before that only equal values count.
inline bool same_object(HANDLE a, HANDLE b) {
    using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
    static const Compare compare = [] {
        for (const wchar_t* library : {L"kernelbase.dll", L"kernel32.dll"}) {
            if (const HMODULE module = GetModuleHandleW(library)) {
                if (FARPROC found = GetProcAddress(module, "CompareObjectHandles")) {
                    return reinterpret_cast<Compare>(reinterpret_cast<void*>(found));
                }
            }
        }
        return Compare{nullptr};
    }();
    if (a == b) {
        return true;
    }
    return compare != nullptr && compare(a, b) != FALSE;
}

} // namespace korvan::platform::win32
