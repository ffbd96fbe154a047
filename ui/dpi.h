#pragma once

#include <windows.h>

// The window's DPI where Windows keeps one per window (Windows 10 1607 on), else the system's.
int WindowDpi(HWND window);

// The system's DPI, for a window yet to be made.
int SystemDpi();

// Whether Windows' high-contrast setting is on.
bool IsHighContrastOn();
