#pragma once

#include <windows.h>

#include <string>

// A step of the install flow on its own, for tests.

// Starts the setup program held open as program, named by the full path, with folder as its current directory, and
// waits for it without limit. False if it cannot start, also after waiting while another program holds the file for
// a moment.
bool RunSetupProgram(HANDLE program, const std::wstring& path, const std::wstring& folder);
