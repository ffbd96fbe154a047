#include "ui/layout.h"

#include <algorithm>

namespace {

constexpr int kFallbackBarHeight = 12;

LayoutRect Scaled(const LayoutRect& r, int dpi) {
    return {ScaleForDpi(r.left, dpi), ScaleForDpi(r.top, dpi), ScaleForDpi(r.right, dpi), ScaleForDpi(r.bottom, dpi)};
}

}  // namespace

int ScaleForDpi(int value, int dpi) {
    return static_cast<int>((2LL * value * dpi + 96) / 192);
}

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
    layout.closeArea = {client.right - 36, client.top + 12, client.right - 7, client.top + 41};
    layout.bar = {barX, barY, barRight, barY + barHeight};
    layout.percentage = {barX, barY - 28, barX + 160, barY - 8};
    layout.speed = {barRight - 160, barY - 28, barRight, barY - 8};
    return layout;
}

WindowLayout ComputeWindowLayout(const LayoutRect& client, const TrackPictureSize& track, int dpi) {
    const WindowLayout layout = ComputeWindowLayout(client, track);
    return {Scaled(layout.name, dpi), Scaled(layout.closeGlyph, dpi), Scaled(layout.closeArea, dpi),
            Scaled(layout.bar, dpi),  Scaled(layout.percentage, dpi), Scaled(layout.speed, dpi)};
}

bool IsInCloseArea(const LayoutRect& area, unsigned x, unsigned y) {
    const long px = static_cast<long>(x);
    const long py = static_cast<long>(y);
    return area.left <= px && px < area.right && area.top <= py && py < area.bottom;
}

FillShape ChooseFillShape(int fillWidth, int barHeight) {
    if (fillWidth <= 0)
        return FillShape::None;
    return fillWidth <= barHeight ? FillShape::Circle : FillShape::Capsule;
}
