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
            LoadLibraryW((std::wstring(system, length) + L"\\" + name).c_str());
        }
    }
}
