#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <io.h>

#include "base/product_values.h"

// What the run's helper programs share.

// The installer window's class (product.toml's program_name).
inline constexpr wchar_t kInstallerClass[] = L"" VELMOR_PRODUCT_PROGRAM_NAME;

inline std::string ToUtf8(const wchar_t* text) {
    char utf8[16384] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
    return utf8;
}

// Whether the installer's window is on screen now.
inline bool InstallerVisible() {
    HWND installer = FindWindowW(kInstallerClass, nullptr);
    return installer && IsWindowVisible(installer);
}

// Standard output as the tests read it: line feeds as they are, and at once.
inline void UnbufferedBinaryStdout() {
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}
