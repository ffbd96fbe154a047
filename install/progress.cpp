#include "install/progress.h"

#include <atomic>

#include "install/progress_seams.h"
#include "install/progress_state.h"
#include "install/progress_view.h"

namespace {

// Written by the window's thread, read by the reporting thread.
std::atomic<int> g_barWidth{0};
// What the reports last asked the window to show; the reporting thread's alone.
ProgressView g_shown;

}  // namespace

void OnDownloadProgress(HWND window, std::uint64_t received, std::uint64_t total) {
    RecordProgress(received, total, GetTickCount64());
    // This thread is the values' only writer, so they are read back as just stored.
    ProgressView view = g_shown;
    UpdateProgressView(view, ReadProgress(), g_barWidth.load(std::memory_order_relaxed));
    const bool changed = !(view == g_shown), valueChanged = view.percentage != g_shown.percentage;
    g_shown = view;
    if (!changed)
        return;
    InvalidateRect(window, nullptr, FALSE);
    if (valueChanged)
        NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, window, OBJID_CLIENT, CHILDID_SELF);
}

void SetProgressBarWidth(int pixels) {
    g_barWidth.store(pixels, std::memory_order_relaxed);
}

void ForgetShownProgress() {
    g_shown = ProgressView{};
}
