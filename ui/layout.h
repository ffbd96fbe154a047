#pragma once

#include <cstdint>
#include <string>

// Arithmetic behind the installer window's picture: where everything goes and what the texts say. No drawing here.

struct LayoutRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    friend bool operator==(const LayoutRect&, const LayoutRect&) = default;
};

// Size of the progress-bar track picture; absent when the picture could not be loaded.
struct TrackPictureSize {
    bool present = false;
    int width = 0;
    int height = 0;
};

struct WindowLayout {
    LayoutRect name;
    LayoutRect closeGlyph;
    LayoutRect bar;
    LayoutRect percentage;
    LayoutRect speed;
};

// The rectangles of the window's elements for a client rectangle. The bar takes the track picture's size (at most
// the client width less 40), or 12 pixels high and the client width less 120 (less 80 below 380) without it; it is
// centred horizontally and ends 23 pixels above the bottom.
WindowLayout ComputeWindowLayout(const LayoutRect& client, const TrackPictureSize& track);

// True when a left-button release at client position (x, y) lies on the close glyph's hit area: 29 x 29 pixels from
// (right - 36, top + 12) to (right - 8, top + 40), both ends included. The coordinates are the unsigned 16-bit
// halves of the message, so a position left of or above the client area reads as far outside.
bool IsInCloseArea(const LayoutRect& client, unsigned x, unsigned y);

// Share of the download that is done, in [0, 1]; 0 while the total is unknown (0).
double ProgressFraction(std::uint64_t received, std::uint64_t total);

// "0%" to "100%", rounded half up.
std::wstring PercentageText(double fraction);

// "0 KB/s" when not above 0, whole KiB/s below 1024 KiB/s, MiB/s with two decimals from there on.
std::wstring SpeedText(double bytesPerSecond);

// Filled width of a bar, rounded half up and at most barWidth; 0 means that nothing is filled.
int FillWidth(int barWidth, double fraction);

enum class FillShape { None, Circle, Capsule };

// A fill no wider than the bar is high is drawn inside the circle at the bar's left end; a wider one as a capsule.
FillShape ChooseFillShape(int fillWidth, int barHeight);
