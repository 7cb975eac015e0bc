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
inline bool same_object(HANDLE a, HANDLE b) {
    return a == b || CompareObjectHandles(a, b) != FALSE;
}

} // namespace korvan::platform::win32
