#pragma once

#include <windows.h>

#include <cstdint>

// Experiment only, never shipped: the installer's progress body (install/progress.h) with the repaint requests
// limited to one per kRepaintIntervalMs and the last report. Every report is still recorded. Runs on the worker
// thread, which is the only caller.
constexpr std::uint64_t kRepaintIntervalMs = 40;
void OnDownloadProgressThrottled(HWND window, std::uint64_t received, std::uint64_t total);
