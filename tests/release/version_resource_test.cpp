// Every shipped .exe carries the project's version in its version resource, and a manifest that
// runs it as the invoker on the Windows versions it is written for: read back the way Windows
// Explorer and the loader read them (version.dll, the resource of a module loaded as data).
#include "child_process.hpp"

#include "korvan/version.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvan::test {
namespace {

std::wstring widen(const std::string& utf8) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string narrow(std::wstring_view wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                        nullptr, nullptr);
    return text;
}

// "0.1.0" as the four numbers of a fixed file version: major, minor, patch, 0.
std::vector<unsigned> version_numbers() {
    std::vector<unsigned> numbers{0};
    for (const char c : korvan::version) {
        if (c == '.') {
            numbers.push_back(0);
        } else {
            numbers.back() = numbers.back() * 10 + static_cast<unsigned>(c - '0');
        }
    }
    numbers.resize(4, 0);
    return numbers;
}

std::string string_value(const std::vector<char>& info, const std::wstring& name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\040904b0\\" + name;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) {
        return "<none>";
    }
    // The length counts the terminating NUL.
    return narrow(std::wstring_view(static_cast<const wchar_t*>(value), length - 1));
}

std::string manifest_of(const std::wstring& program) {
    HMODULE image = LoadLibraryExW(program.c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) {
        return "<not loadable as data>";
    }
    std::string text = "<no manifest>";
    if (HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        const HGLOBAL loaded = LoadResource(image, found);
        const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
        if (bytes != nullptr) {
            text.assign(static_cast<const char*>(bytes), SizeofResource(image, found));
        }
    }
    FreeLibrary(image);
    return text;
}

// The Id of every supportedOS entry, in order.
std::vector<std::string> supported_systems(const std::string& manifest) {
    std::vector<std::string> ids;
    const std::string entry = "<supportedOS Id=\"";
    for (std::size_t at = manifest.find(entry); at != std::string::npos;
         at = manifest.find(entry, at)) {
        at += entry.size();
        const std::size_t end = manifest.find('"', at);
        ids.push_back(manifest.substr(at, end == std::string::npos ? end : end - at));
    }
    return ids;
}

TEST(VersionResource, EveryProgramCarriesTheProjectsVersionAndManifest) {
    const std::vector<unsigned> v = version_numbers();
    for (const std::string name : {"sign-cli", "sign-client", "sign-setup"}) {
        const std::wstring program = widen(program_path(name));
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
        ASSERT_GT(size, 0u) << name << ": no version resource";
        std::vector<char> info(size);
        ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, info.data())) << name;

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length))
            << name;
        ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, (v[0] << 16) | v[1]) << name;
        EXPECT_EQ(fixed->dwFileVersionLS, (v[2] << 16) | v[3]) << name;
        EXPECT_EQ(fixed->dwProductVersionMS, (v[0] << 16) | v[1]) << name;
        EXPECT_EQ(fixed->dwProductVersionLS, (v[2] << 16) | v[3]) << name;
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP)) << name;

        EXPECT_EQ(string_value(info, L"FileVersion"), std::string(korvan::version)) << name;
        EXPECT_EQ(string_value(info, L"ProductVersion"), std::string(korvan::version)) << name;
        EXPECT_EQ(string_value(info, L"ProductName"), "sign-cli") << name;
        EXPECT_EQ(string_value(info, L"FileDescription").rfind(name + ": ", 0), 0u) << name;
        EXPECT_EQ(string_value(info, L"OriginalFilename"), name + ".exe");

        const std::string manifest = manifest_of(program);
        EXPECT_NE(
            manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
            std::string::npos)
            << name << "\n"
            << manifest;
        // Windows 10 and 11 only: the programs rely on calls older systems lack.
        EXPECT_EQ(supported_systems(manifest),
                  std::vector<std::string>{"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
            << name << "\n"
            << manifest;
    }
}

} // namespace
} // namespace korvan::test
