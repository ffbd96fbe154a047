#include "bench/throttled_progress.h"

#include "install/progress_state.h"

namespace {

// Written and read by the worker thread only.
std::uint64_t g_lastRepaintRequestMs = 0;

}  // namespace

void OnDownloadProgressThrottled(HWND window, std::uint64_t received, std::uint64_t total) {
    const std::uint64_t now = GetTickCount64();
    RecordProgress(received, total, now);
    if (now - g_lastRepaintRequestMs >= kRepaintIntervalMs || received == total) {
        g_lastRepaintRequestMs = now;
        InvalidateRect(window, nullptr, FALSE);
    }
}
