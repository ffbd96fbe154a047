#pragma once

#include <memory>

#include "base/gdiplus.h"
#include "base/product_values.h"
#include "base/unique_handle.h"
#include "ui/layout.h"

// The installer's window and what it owns. All of these are written on the window's (UI) thread only.
extern HINSTANCE g_instance;                           // set first thing by the entry point
extern HWND g_mainWindow;                              // set when CreateWindowExW returns; not yet during WM_CREATE
extern UniqueBitmap g_backgroundBitmap;                // bitmap 102, may be empty; released in WM_DESTROY
extern ULONG_PTR g_gdiplusToken;                       // 0 while GDI+ is not running
extern std::unique_ptr<Gdiplus::Bitmap> g_trackImage;  // PNG 201, may be null; released before GDI+ shuts down
extern std::unique_ptr<Gdiplus::Bitmap> g_fillImage;   // PNG 202, likewise
// The same pictures drawn at twice the size (PNG 203, 211 and 212), for screens above 120 DPI; likewise.
extern std::unique_ptr<Gdiplus::Bitmap> g_largeBackgroundImage;
extern std::unique_ptr<Gdiplus::Bitmap> g_largeTrackImage;
extern std::unique_ptr<Gdiplus::Bitmap> g_largeFillImage;
extern int g_windowDpi;      // the window's DPI, from its creation on; its layout is scaled by it
extern bool g_highContrast;  // Windows' high-contrast setting, as last seen

inline constexpr wchar_t kWindowClassName[] = L"" VELMOR_PRODUCT_PROGRAM_NAME;
inline constexpr wchar_t kWindowTitle[] = L"" VELMOR_PRODUCT_WINDOW_TITLE;

inline constexpr int kIconId = 101;
inline constexpr int kBackgroundBitmapId = 102;
inline constexpr int kTrackPngId = 201;
inline constexpr int kFillPngId = 202;
inline constexpr int kLargeBackgroundPngId = 203;
inline constexpr int kLargeTrackPngId = 211;
inline constexpr int kLargeFillPngId = 212;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Closes the window as a click on its close glyph does (also for Esc, Alt+F4 and a screen reader's "press"): posts
// WM_CLOSE, which the window's thread handles after the message at hand.
void CloseMainWindow(HWND window);

// Decodes the executable's resource of type "PNG" with the given id. Null on any failure, also when GDI+ is not
// running. Needs GDI+ started.
std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(int id);

// Loads bitmap 102 from the executable; shows the error box (owned by owner, which may be null) when it is missing.
UniqueBitmap LoadBackgroundBitmap(HWND owner);

// The window's layout at its DPI, with the track picture's size.
WindowLayout CurrentLayout();

// The window's size for a DPI: the client area of 560 x 310 pixels at 96 DPI, scaled.
SIZE WindowSizeForDpi(int dpi);
