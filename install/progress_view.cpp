#include "install/progress_view.h"

#include <algorithm>
#include <cwchar>

double ProgressFraction(std::uint64_t received, std::uint64_t total) {
    if (total == 0)
        return 0.0;
    return std::clamp(static_cast<double>(received) / static_cast<double>(total), 0.0, 1.0);
}

int FillWidth(int barWidth, double fraction) {
    const int width = static_cast<int>(barWidth * fraction + 0.5);
    if (width <= 0)
        return 0;
    return std::min(width, barWidth);
}

void UpdateProgressView(ProgressView& view, const ProgressSnapshot& progress, int barWidth) {
    view.sizeKnown = progress.total != 0;
    // The clamp absorbs a received count and a total taken from different reports.
    const double fraction = ProgressFraction(progress.received, progress.total);
    view.fillWidth = FillWidth(barWidth, fraction);
    const int percent = static_cast<int>(fraction * 100.0 + 0.5);
    if (percent != view.percent) {
        view.percent = percent;
        std::swprintf(view.percentage.data(), view.percentage.size(), L"%d%%", percent);
    }
    if (progress.bytesPerSecond == view.bytesPerSecond)
        return;
    view.bytesPerSecond = progress.bytesPerSecond;

    // The unit is chosen before rounding, so 1023.6 KiB/s reads "1024 KB/s". The largest speed a report can give
    // (2^64 bytes in a second) still fits.
    const double kib = progress.bytesPerSecond * 0.0009765625;
    if (!(progress.bytesPerSecond > 0.0))
        std::swprintf(view.speed.data(), view.speed.size(), L"0 KB/s");
    else if (kib < 1024.0)
        std::swprintf(view.speed.data(), view.speed.size(), L"%.0f KB/s", kib);
    else
        std::swprintf(view.speed.data(), view.speed.size(), L"%.2f MB/s", kib * 0.0009765625);
}

ProgressView ViewOfProgress(const ProgressSnapshot& progress, int barWidth) {
    ProgressView view;
    UpdateProgressView(view, progress, barWidth);
    return view;
}
