#include "ui/layout.h"

#include <algorithm>
#include <cwchar>

namespace {

constexpr int kFallbackBarHeight = 12;

}  // namespace

WindowLayout ComputeWindowLayout(const LayoutRect& client, const TrackPictureSize& track) {
    const int width = client.right - client.left;
    int barWidth = 0;
    int barHeight = 0;
    if (track.present) {
        barWidth = track.width;
        barHeight = track.height;
    } else {
        barWidth = width >= 380 ? width - 120 : width - 80;
        barHeight = kFallbackBarHeight;
    }
    barWidth = std::min(barWidth, width - 40);
    const int barX = client.left + (width - barWidth) / 2;
    const int barY = client.bottom - 35;
    const int barRight = barX + barWidth;

    WindowLayout layout;
    layout.name = {client.left + 20, client.top + 8, client.right - 100, client.top + 46};
    layout.closeGlyph = {client.right - 36, client.top + 8, client.right - 8, client.top + 46};
    layout.bar = {barX, barY, barRight, barY + barHeight};
    layout.percentage = {barX, barY - 28, barX + 160, barY - 8};
    layout.speed = {barRight - 160, barY - 28, barRight, barY - 8};
    return layout;
}

bool IsInCloseArea(const LayoutRect& client, unsigned x, unsigned y) {
    const long left = client.right - 36L;
    const long top = client.top + 12L;
    const long px = static_cast<long>(x);
    const long py = static_cast<long>(y);
    return left <= px && px <= left + 28 && top <= py && py <= top + 28;
}

double ProgressFraction(std::uint64_t received, std::uint64_t total) {
    if (total == 0)
        return 0.0;
    return std::clamp(static_cast<double>(received) / static_cast<double>(total), 0.0, 1.0);
}

std::wstring PercentageText(double fraction) {
    const int percent = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100.0 + 0.5);
    wchar_t text[16];
    std::swprintf(text, 16, L"%d%%", percent);
    return text;
}

std::wstring SpeedText(double bytesPerSecond) {
    if (!(bytesPerSecond > 0.0))
        return L"0 KB/s";
    // The unit is chosen before rounding, so 1023.6 KiB/s reads "1024 KB/s".
    const double kib = bytesPerSecond * 0.0009765625;
    wchar_t text[32];
    if (kib < 1024.0)
        std::swprintf(text, 32, L"%.0f KB/s", kib);
    else
        std::swprintf(text, 32, L"%.2f MB/s", kib * 0.0009765625);
    return text;
}

int FillWidth(int barWidth, double fraction) {
    const int width = static_cast<int>(barWidth * fraction + 0.5);
    if (width <= 0)
        return 0;
    return std::min(width, barWidth);
}

FillShape ChooseFillShape(int fillWidth, int barHeight) {
    if (fillWidth <= 0)
        return FillShape::None;
    return fillWidth <= barHeight ? FillShape::Circle : FillShape::Capsule;
}
