// Keeps the Wine prefix's desktop open for the whole benchmark, as a Windows session always has one: Wine closes
// the desktop (and its explorer.exe process) a moment after the last program with a window exits, and the next
// program that makes a window then starts it again, which sometimes stalls that program for about 10 s.
// Creates one hidden window, prints "ready" and stays until its standard input reaches end of file.
//   desktop_keeper
#include <windows.h>

#include <cstdio>

int wmain() {
    HWND window = CreateWindowExW(0, L"STATIC", L"desktop keeper", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (!window) {
        std::fprintf(stderr, "CreateWindowExW failed: %lu\n", GetLastError());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[64];
    DWORD count = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &count, nullptr) && count > 0) {
    }
    DestroyWindow(window);
    return 0;
}
