#pragma once

#include <string>

// For tests: how the failure dialog asks the desktop shell to open an address; true when it did. A test may put a
// function in its place that fails, as when no shell runs.
extern bool (*g_openThroughDesktopShell)(const std::wstring& url);
