#pragma once

// Arithmetic behind the installer window's picture: where everything goes. No drawing here. Positions and sizes are
// kept in the units of a 96-DPI screen and scaled by the window's DPI when it is laid out.

struct LayoutRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    friend bool operator==(const LayoutRect&, const LayoutRect&) = default;
};

// Size of the progress-bar track picture, in 96-DPI units; absent when the picture could not be loaded.
struct TrackPictureSize {
    bool present = false;
    int width = 0;
    int height = 0;
};

struct WindowLayout {
    LayoutRect name;
    LayoutRect closeGlyph;
    LayoutRect closeArea;  // where a left-button release closes the window
    LayoutRect bar;
    LayoutRect percentage;
    LayoutRect speed;
};

// The installer's client area in 96-DPI units.
inline constexpr int kClientWidth = 560;
inline constexpr int kClientHeight = 310;

// value (not negative), in 96-DPI units, in pixels of a screen of dpi: value * dpi / 96, halves rounded up. At 96 DPI,
// value itself.
int ScaleForDpi(int value, int dpi);

// The rectangles of the window's elements for a client rectangle, in 96-DPI units. The bar takes the track picture's
// size (at most the client width less 40), or 12 high and the client width less 120 (less 80 below 380) without it;
// it is centred horizontally and ends 23 above the bottom. The close area is 29 x 29 from (right - 36, top + 12).
WindowLayout ComputeWindowLayout(const LayoutRect& client, const TrackPictureSize& track);

// The same for a window at dpi: every rectangle of the 96-DPI layout scaled with ScaleForDpi, edge by edge.
WindowLayout ComputeWindowLayout(const LayoutRect& client, const TrackPictureSize& track, int dpi);

// True when a left-button release at client position (x, y) lies in area. The coordinates are the unsigned 16-bit
// halves of the message, so a position left of or above the client area reads as far outside.
bool IsInCloseArea(const LayoutRect& area, unsigned x, unsigned y);

enum class FillShape { None, Circle, Capsule };

// A fill no wider than the bar is high is drawn inside the circle at the bar's left end; a wider one as a capsule.
FillShape ChooseFillShape(int fillWidth, int barHeight);
