#include "base/dll_search.h"

#include <windows.h>

#include <string>

bool RestrictDllSearchToSystem32() {
    // Looked up rather than imported: a static import of a function that Windows lacks stops the program from
    // starting at all.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return true;
    SetDllDirectoryW(L"");
    return false;
}

void LoadFromSystem32(std::initializer_list<const wchar_t*> names, bool systemSearchKnown) {
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    for (const wchar_t* name : names) {
        if (systemSearchKnown) {
            LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        } else if (length > 0 && length < MAX_PATH) {
            LoadLibraryExW((std::wstring(system, length) + L"\\" + name).c_str(), nullptr,
                           LOAD_WITH_ALTERED_SEARCH_PATH);
        }
    }
}

void PreferSystem32Images() {
    // PROCESS_MITIGATION_IMAGE_LOAD_POLICY's flags and ProcessImageLoadPolicy (10), which the Windows 7 headers this
    // program is built against do not declare.
    constexpr DWORD kNoRemoteImages = 0x1;
    constexpr DWORD kPreferSystem32Images = 0x4;
    constexpr int kProcessImageLoadPolicy = 10;
    using SetPolicyFunction = BOOL(WINAPI*)(int policy, void* buffer, SIZE_T length);
    const auto setPolicy = reinterpret_cast<SetPolicyFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessMitigationPolicy")));
    DWORD flags = kNoRemoteImages | kPreferSystem32Images;
    if (setPolicy)
        setPolicy(kProcessImageLoadPolicy, &flags, sizeof(flags));
}
