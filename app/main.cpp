#include <windows.h>

#include <commctrl.h>

#include "app/main_window.h"
#include "base/com.h"
#include "base/dll_search.h"
#include "install/install_log.h"
#include "install/publisher.h"
#include "install/worker.h"
#include "ui/dpi.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // First of all: the installer runs elevated from a folder that other programs can write into. Every DLL that is
    // not one of Windows' KnownDLLs is delay-loaded, so none is resolved before this line.
    const bool systemSearchKnown = RestrictDllSearchToSystem32();
    PreferSystem32Images();
    // Windows' own DLLs that WinHTTP (and the signature check) load later by bare name, searching this program's
    // folder whatever the default directories say; with them what they import (crypt32: msasn1), and gdiplus and
    // oleacc, which are delay-loaded by bare name (comctl32 comes from the side-by-side store, which the manifest
    // names).
    LoadFromSystem32(
        {L"msasn1.dll", L"crypt32.dll", L"bcrypt.dll", L"ncrypt.dll", L"secur32.dll", L"sspicli.dll", L"rsaenh.dll",
         L"cryptsp.dll", L"dnsapi.dll", L"iphlpapi.dll", L"winhttp.dll", L"gdiplus.dll", L"oleacc.dll"},
        systemSearchKnown);
    if (IsPublisherPinned())
        LoadFromSystem32({L"wintrust.dll"}, systemSearchKnown);
    StartInstallLog();
    LogRunStart();
    if (!systemSearchKnown)
        LogStep("DLL search not limited to System32: Windows lacks update KB2533623");

    g_instance = instance;
    // The window's thread is a single-threaded apartment: screen readers' calls into the window's accessible object
    // then arrive through its message loop, on the thread that owns what the object reads.
    const ScopedComApartment com;

    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kWindowClassName;

    // Loaded here and again at window creation, which replaces this handle.
    g_backgroundBitmap = LoadBackgroundBitmap(nullptr);

    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconId));
    RegisterClassW(&windowClass);

    // Sized for the system's DPI, then, once made, for its own (a screen of its own DPI may differ).
    const SIZE size = WindowSizeForDpi(SystemDpi());
    g_mainWindow = CreateWindowExW(0, kWindowClassName, kWindowTitle, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, size.cx,
                                   size.cy, nullptr, nullptr, instance, nullptr);
    const SIZE own = WindowSizeForDpi(g_windowDpi);
    const int x = (GetSystemMetrics(SM_CXSCREEN) - own.cx) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - own.cy) / 2;
    SetWindowPos(g_mainWindow, nullptr, x, y, own.cx, own.cy, SWP_NOZORDER);

    ShowWindow(g_mainWindow, showCommand);
    NoteMainWindowShown();
    UpdateWindow(g_mainWindow);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
