#include <windows.h>

#include <commctrl.h>

#include "app/main_window.h"
#include "install/worker.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    g_instance = instance;

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

    g_mainWindow = CreateWindowExW(0, kWindowClassName, kWindowTitle, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                                   kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);

    RECT bounds{};
    GetWindowRect(g_mainWindow, &bounds);
    const int x = (GetSystemMetrics(SM_CXSCREEN) - (bounds.right - bounds.left)) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - (bounds.bottom - bounds.top)) / 2;
    SetWindowPos(g_mainWindow, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);

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
