// Keeps the Wine prefix's desktop up, as a Windows session always has one. Wine closes the desktop (and its
// explorer.exe process) a moment after the last program with a window exits, and the next program that makes a
// window starts it again, which can stall that program for about ten seconds. This program also pays Wine's
// one-time cost of the first visible window and the first text in a new prefix.
// Prints "ready" once its window exists, then stays until its standard input ends or, with --until-killed, until
// the prefix's wineserver ends it.
//   desktop_keeper [--until-killed]
#include <windows.h>

#include <cstdio>

namespace {

void DrawSomeText(HWND window) {
    HDC dc = GetDC(window);
    HFONT font = CreateFontW(20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Microsoft YaHei");
    HGDIOBJ previous = SelectObject(dc, font);
    TextOutW(dc, 0, 0, L"\u5F55", 1);
    SelectObject(dc, previous);
    DeleteObject(font);
    ReleaseDC(window, dc);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    HWND window = CreateWindowExW(0, L"STATIC", L"desktop keeper", WS_POPUP | WS_VISIBLE, 0, 0, 1, 1, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (!window) {
        std::fprintf(stderr, "CreateWindowExW failed: %lu\n", GetLastError());
        return 1;
    }
    DrawSomeText(window);
    ShowWindow(window, SW_HIDE);
    std::printf("ready\n");
    std::fflush(stdout);

    if (argc > 1 && lstrcmpW(argv[1], L"--until-killed") == 0) {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0))
            DispatchMessageW(&message);
    } else {
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        char buffer[64];
        DWORD count = 0;
        while (ReadFile(input, buffer, sizeof(buffer), &count, nullptr) && count > 0) {
        }
    }
    DestroyWindow(window);
    return 0;
}
