#include "install/progress.h"

#include "install/progress_state.h"

void OnDownloadProgress(HWND window, std::uint64_t received, std::uint64_t total) {
    RecordProgress(received, total, GetTickCount64());
    InvalidateRect(window, nullptr, FALSE);
}
