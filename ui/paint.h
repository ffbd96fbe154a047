#pragma once

#include <string>

#include "base/gdiplus.h"
#include "install/progress_state.h"

// The pictures one paint draws with; each may be missing (null), and painting then uses its fallback.
struct WindowPictures {
    HBITMAP background = nullptr;
    Gdiplus::Bitmap* track = nullptr;
    Gdiplus::Bitmap* fill = nullptr;
    // The same drawn at twice the size, for screens above kLargePicturesAboveDpi; where one is missing, the picture
    // above is scaled instead.
    Gdiplus::Bitmap* largeBackground = nullptr;
    Gdiplus::Bitmap* largeTrack = nullptr;
    Gdiplus::Bitmap* largeFill = nullptr;
};

// Above this DPI (125 %) the window draws its large pictures, scaled down; up to it, the others scaled up.
inline constexpr int kLargePicturesAboveDpi = 120;

// The product's name as the window shows it (and tells screen readers): ProductName, or "Velmor Installer" where the
// system cannot convert it.
std::wstring ProductDisplayName();

// How the window is drawn besides its pictures and its progress.
struct PaintStyle {
    int dpi = 96;               // of the window: positions, sizes and fonts are scaled by dpi / 96
    bool highContrast = false;  // Windows' high-contrast setting is on: system colours instead of the pictures
};

// Draws the installer's picture for the client rectangle onto target from the given pictures and progress values:
// composed in one off-screen bitmap, then copied onto target with a single BitBlt. update is the area that the
// background fallback fills when there is no background picture. Every GDI and GDI+ object it makes is released
// before it returns.
void DrawMainWindow(HDC target,
                    const RECT& client,
                    const RECT& update,
                    const WindowPictures& pictures,
                    const ProgressSnapshot& progress,
                    const PaintStyle& style = {});
