#include "../common/locked_pages.hpp"

#include <windows.h>

namespace korvan::platform::detail {
namespace {

// Windows Error Reporting leaves registered blocks out of its reports and dumps (Windows 10 1703
// on); older systems lack the calls.
struct ReportExclusion {
    using Register = HRESULT(WINAPI*)(const void*, DWORD);
    using Unregister = HRESULT(WINAPI*)(const void*);
    Register add = nullptr;
    Unregister remove = nullptr;

    static const ReportExclusion& get() {
        static const ReportExclusion calls = [] {
            ReportExclusion found;
            if (const HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
                found.add = reinterpret_cast<Register>(reinterpret_cast<void*>(
                    GetProcAddress(kernel, "WerRegisterExcludedMemoryBlock")));
                found.remove = reinterpret_cast<Unregister>(reinterpret_cast<void*>(
                    GetProcAddress(kernel, "WerUnregisterExcludedMemoryBlock")));
            }
            return found;
        }();
        return calls;
    }
};

} // namespace

std::size_t page_size() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// VirtualAlloc hands out pages of their own.
void* lock_new_pages(std::size_t bytes) {
    void* block = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (block != nullptr) {
        // Beyond the working-set minimum the lock fails and the secret may be paged out.
        (void)VirtualLock(block, bytes);
        // Past the registration limit the block stays in reports; a crash in module code still
        // ends through our filter, which writes nothing.
        if (const auto add = ReportExclusion::get().add; add != nullptr && bytes <= MAXDWORD) {
            (void)add(block, static_cast<DWORD>(bytes));
        }
    }
    return block;
}

void free_locked_pages(void* block, std::size_t bytes) noexcept {
    if (const auto remove = ReportExclusion::get().remove; remove != nullptr) {
        (void)remove(block);
    }
    (void)VirtualUnlock(block, bytes);
    VirtualFree(block, 0, MEM_RELEASE);
}

} // namespace korvan::platform::detail
