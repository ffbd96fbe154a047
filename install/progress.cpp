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
// Whether a picture is asked for and not yet begun: set by the reporting thread, cleared by the window's.
std::atomic<bool> g_pictureAskedFor{false};

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
    // The values are stored before the question (and begun pictures read them after their answer): either the picture
    // asked for sees them, or this report asks for another.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!g_pictureAskedFor.exchange(true))
        InvalidateRect(window, nullptr, FALSE);
    if (valueChanged)
        NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, window, OBJID_CLIENT, CHILDID_SELF);
}

void SetProgressBarWidth(int pixels) {
    g_barWidth.store(pixels, std::memory_order_relaxed);
}

void NoteProgressPictureBegun() {
    g_pictureAskedFor.store(false);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void ForgetShownProgress() {
    g_shown = ProgressView{};
    g_pictureAskedFor.store(false);
}
