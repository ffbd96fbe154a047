#include "app/main_window.h"

#include <new>

#include "app/window_accessible.h"
#include "config/registration.h"
#include "install/install_log.h"
#include "install/own_channel.h"
#include "install/progress.h"
#include "install/progress_state.h"
#include "install/worker.h"
#include "ui/dpi.h"
#include "ui/layout.h"
#include "ui/paint.h"

#ifdef VELMOR_PAINT_TRACE
#include "ui/paint_trace.h"
#endif

HINSTANCE g_instance = nullptr;
HWND g_mainWindow = nullptr;
UniqueBitmap g_backgroundBitmap;
ULONG_PTR g_gdiplusToken = 0;
std::unique_ptr<Gdiplus::Bitmap> g_trackImage;
std::unique_ptr<Gdiplus::Bitmap> g_fillImage;
std::unique_ptr<Gdiplus::Bitmap> g_largeBackgroundImage;
std::unique_ptr<Gdiplus::Bitmap> g_largeTrackImage;
std::unique_ptr<Gdiplus::Bitmap> g_largeFillImage;
int g_windowDpi = 96;
bool g_highContrast = false;

namespace {

// A fast download changes the bar's picture far more often than a screen shows frames: no two pictures are drawn closer
// together than this, and a picture asked for sooner is drawn when it is due (the timer below).
constexpr ULONGLONG kMinPaintIntervalMs = 33;
constexpr UINT_PTR kPaintTimer = 1;
ULONGLONG g_lastPaintTick = 0;  // of the window's thread

// Lays the window out for dpi: what painting and the progress reports measure by. The large pictures are loaded the
// first time a screen needs them.
void LayOut(int dpi) {
    g_windowDpi = dpi;
    if (dpi > kLargePicturesAboveDpi && !g_largeBackgroundImage) {
        g_largeBackgroundImage = LoadPngResource(kLargeBackgroundPngId);
        g_largeTrackImage = LoadPngResource(kLargeTrackPngId);
        g_largeFillImage = LoadPngResource(kLargeFillPngId);
    }
    const WindowLayout layout = CurrentLayout();
    SetProgressBarWidth(layout.bar.right - layout.bar.left);
}

void OnCreate(HWND window) {
    Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, background thread and codecs left on
    if (Gdiplus::GdiplusStartup(&g_gdiplusToken, &input, nullptr) != Gdiplus::Ok)
        g_gdiplusToken = 0;

    // The entry point loaded the background already; this copy replaces it, and the first one is released.
    g_backgroundBitmap = LoadBackgroundBitmap(window);
    g_trackImage = LoadPngResource(kTrackPngId);
    g_fillImage = LoadPngResource(kFillPngId);
    g_highContrast = IsHighContrastOn();
    LayOut(WindowDpi(window));

    StartInstallWorker(window);
    LogRegistration(RegisterProduct(DistributorIdOfThisInstaller()));
}

void OnLeftButtonUp(HWND window, LPARAM lParam) {
    // The packed coordinates are read unsigned: a release left of or above the client area is far outside.
    if (IsInCloseArea(CurrentLayout().closeArea, LOWORD(lParam), HIWORD(lParam)))
        CloseMainWindow(window);
}

// Esc and Alt+F4 close the window as its glyph does. Alt+F4 is taken here: DefWindowProc turns it into SC_CLOSE only
// through a system menu, which this popup window lacks. True when the key was one of them.
bool OnCloseKey(HWND window, UINT message, WPARAM key) {
    if (!(message == WM_KEYDOWN && key == VK_ESCAPE) && !(message == WM_SYSKEYDOWN && key == VK_F4))
        return false;
    CloseMainWindow(window);
    return true;
}

// Windows moved the window to a screen of another DPI, or that screen's scaling changed: it is laid out anew and
// takes the place and size that Windows suggests for it.
void OnDpiChanged(HWND window, WPARAM wParam, LPARAM lParam) {
    LayOut(LOWORD(wParam));
    const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(window, nullptr, FALSE);
}

// Colours or the high-contrast setting may have changed.
void OnSettingChange(HWND window) {
    g_highContrast = IsHighContrastOn();
    InvalidateRect(window, nullptr, FALSE);
}

// Draws the whole window anew from its pictures and one reading of the progress values; or, sooner than
// kMinPaintIntervalMs after the last picture, leaves the one on screen and has the timer ask again when it is due.
void PaintMainWindow(HWND window) {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(window, &paint);
    const ULONGLONG now = GetTickCount64();
    const bool due = now - g_lastPaintTick >= kMinPaintIntervalMs;
    if (dc && !due)
        SetTimer(window, kPaintTimer, static_cast<UINT>(kMinPaintIntervalMs - (now - g_lastPaintTick)), nullptr);
    if (dc && due) {
        g_lastPaintTick = now;
        NoteProgressPictureBegun();
        RECT client{};
        GetClientRect(window, &client);
        DrawMainWindow(dc, client, paint.rcPaint,
                       {g_backgroundBitmap.get(), g_trackImage.get(), g_fillImage.get(), g_largeBackgroundImage.get(),
                        g_largeTrackImage.get(), g_largeFillImage.get()},
                       ReadProgress(), {g_windowDpi, g_highContrast});
    }
    EndPaint(window, &paint);
#ifdef VELMOR_PAINT_TRACE
    if (dc && due)
        NotePaintForTrace();
#endif
}

void OnTimer(HWND window, WPARAM timer) {
    if (timer != kPaintTimer)
        return;
    KillTimer(window, kPaintTimer);
    InvalidateRect(window, nullptr, FALSE);
}

void OnDestroy() {
    // Before anything that the accessible object reads goes away.
    DisconnectWindowAccessible();
    g_backgroundBitmap.reset();
    // The pictures are GDI+ objects: they must go before GDI+ shuts down.
    g_trackImage.reset();
    g_fillImage.reset();
    g_largeBackgroundImage.reset();
    g_largeTrackImage.reset();
    g_largeFillImage.reset();
    if (g_gdiplusToken != 0) {
        Gdiplus::GdiplusShutdown(g_gdiplusToken);
        g_gdiplusToken = 0;
    }
    PostQuitMessage(0);
}

}  // namespace

void CloseMainWindow(HWND window) {
    PostMessageW(window, WM_CLOSE, 0, 0);
}

WindowLayout CurrentLayout() {
    const TrackPictureSize track = g_trackImage ? TrackPictureSize{true, static_cast<int>(g_trackImage->GetWidth()),
                                                                   static_cast<int>(g_trackImage->GetHeight())}
                                                : TrackPictureSize{};
    return ComputeWindowLayout({0, 0, kClientWidth, kClientHeight}, track, g_windowDpi);
}

SIZE WindowSizeForDpi(int dpi) {
    return {ScaleForDpi(kClientWidth, dpi), ScaleForDpi(kClientHeight, dpi)};
}

UniqueBitmap LoadBackgroundBitmap(HWND owner) {
    UniqueBitmap bitmap(static_cast<HBITMAP>(
        LoadImageW(g_instance, MAKEINTRESOURCEW(kBackgroundBitmapId), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR)));
    if (!bitmap)
        MessageBoxW(owner, L"" VELMOR_PRODUCT_BACKGROUND_MISSING, L"" VELMOR_PRODUCT_ERROR_CAPTION, MB_ICONERROR);
    return bitmap;
}

std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(int id) {
    // Without GDI+ running, no GDI+ object may be made: its allocator and its constructors need it.
    if (g_gdiplusToken == 0)
        return nullptr;
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
    if (!info)
        return nullptr;
    // Resource handles are not real HGLOBALs: they are neither unlocked nor freed.
    HGLOBAL resource = LoadResource(module, info);
    const DWORD size = SizeofResource(module, info);
    const void* bytes = resource ? LockResource(resource) : nullptr;
    if (!bytes || size == 0)
        return nullptr;

    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block)
        return nullptr;
    void* copy = GlobalLock(block);
    if (!copy) {
        GlobalFree(block);
        return nullptr;
    }
    memcpy(copy, bytes, size);

    // From here on the stream owns the block and frees it when it is released.
    IStream* stream = nullptr;
    if (CreateStreamOnHGlobal(block, TRUE, &stream) != S_OK) {
        GlobalUnlock(block);
        GlobalFree(block);
        return nullptr;
    }
    // GDI+'s own operator new answers null when memory is short, and a new-expression would then run the
    // constructor at address 0: the memory is taken and checked first. Deleting the object gives it back to GDI+.
    void* memory = Gdiplus::GdiplusBase::operator new(sizeof(Gdiplus::Bitmap));
    std::unique_ptr<Gdiplus::Bitmap> bitmap(memory ? ::new (memory) Gdiplus::Bitmap(stream, FALSE) : nullptr);
    stream->Release();
    if (!bitmap || bitmap->GetLastStatus() != Gdiplus::Ok)
        return nullptr;
    return bitmap;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate(window);
            return 0;
        case WM_PAINT:
            PaintMainWindow(window);
            return 0;
        case WM_LBUTTONUP:
            OnLeftButtonUp(window, lParam);
            return 0;
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            if (OnCloseKey(window, message, wParam))
                return 0;
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_GETOBJECT:
            return AnswerGetObject(window, wParam, lParam);
        case WM_TIMER:
            OnTimer(window, wParam);
            return 0;
        case WM_DPICHANGED:
            OnDpiChanged(window, wParam, lParam);
            return 0;
        case WM_SETTINGCHANGE:
        case WM_SYSCOLORCHANGE:
            OnSettingChange(window);
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_DESTROY:
            OnDestroy();
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}
