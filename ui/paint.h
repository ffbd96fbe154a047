#pragma once

#include "base/gdiplus.h"
#include "install/progress_state.h"

// The pictures one paint draws with; each may be missing (null), and painting then uses its fallback.
struct WindowPictures {
    HBITMAP background = nullptr;
    Gdiplus::Bitmap* track = nullptr;
    Gdiplus::Bitmap* fill = nullptr;
};

// Draws the installer's picture for the client rectangle onto target from the given pictures and progress values:
// composed in one off-screen bitmap, then copied onto target with a single BitBlt. update is the area that the
// background fallback fills when there is no background picture. Every GDI and GDI+ object it makes is released
// before it returns.
void DrawMainWindow(HDC target,
                    const RECT& client,
                    const RECT& update,
                    const WindowPictures& pictures,
                    const ProgressSnapshot& progress);
