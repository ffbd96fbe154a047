#pragma once

#include <windows.h>

#include <cstdint>

// The body of the download's progress callback: records the report (see RecordProgress) and asks the window to
// repaint, without erasing, on every report. Runs on the worker thread.
void OnDownloadProgress(HWND window, std::uint64_t received, std::uint64_t total);
