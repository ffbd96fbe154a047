// Benchmark of the installer's downloader: DownloadFile (net/download.h) on a second thread, with the installer's
// progress callable (OnDownloadProgress), while the main thread runs the message loop of a real, shown window, as in
// the installer. The window's paint handler only validates (BeginPaint/EndPaint); the installer's own drawing is
// measured by running the installer itself.
//   downloadfile_bench <https url> <save file>
// Prints "bytes=<n> seconds=<s> start_ms=<t> end_ms=<t> callbacks=<n> paints=<n>" (the DownloadFile call alone, and
// its wall-clock start and end in ms since 1970) and returns 0 when DownloadFile succeeded.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "bench/bench_clock.h"
#include "install/progress.h"
#include "net/download.h"

namespace {

constexpr wchar_t kWindowClass[] = L"VelmorDownloadBench";
constexpr int kWindowWidth = 560;
constexpr int kWindowHeight = 310;

// Written by the window procedure (main thread) only, read after the message loop ends.
std::uint64_t g_paints = 0;

LRESULT CALLBACK BenchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint{};
            BeginPaint(window, &paint);
            EndPaint(window, &paint);
            ++g_paints;
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

std::string ToUtf8(const wchar_t* text) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(needed > 0 ? needed - 1 : 0, '\0');
    if (needed > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), needed, nullptr, nullptr);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: downloadfile_bench <https url> <save file> [attempts]\n");
        return 2;
    }
    const int attempts = argc == 4 ? _wtoi(argv[3]) : 1;
    const std::string url = ToUtf8(argv[1]);
    const std::string savePath = ToUtf8(argv[2]);

    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = BenchWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, kWindowClass, L"DownloadFile benchmark", WS_POPUP, 0, 0, kWindowWidth,
                                  kWindowHeight, nullptr, nullptr, instance, nullptr);
    if (!window) {
        std::fprintf(stderr, "CreateWindowExW failed: %lu\n", GetLastError());
        return 1;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    bool downloaded = false;
    double startMs = 0;
    double endMs = 0;
    std::uint64_t calls = 0;
    std::string error;
    DownloadOptions options;
    options.attempts = attempts;
    std::thread worker([&] {
        startMs = UnixMilliseconds();
        downloaded = DownloadFile(
            url, savePath, error,
            [&calls, window](std::uint64_t received, std::uint64_t total) {
                ++calls;
                OnDownloadProgress(window, received, total);
            },
            options);
        endMs = UnixMilliseconds();
        PostMessageW(window, WM_CLOSE, 0, 0);
    });

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    worker.join();

    WIN32_FILE_ATTRIBUTE_DATA saved{};
    unsigned long long bytes = 0;
    if (GetFileAttributesExW(argv[2], GetFileExInfoStandard, &saved))
        bytes = (static_cast<unsigned long long>(saved.nFileSizeHigh) << 32) | saved.nFileSizeLow;
    std::printf("bytes=%llu seconds=%.6f start_ms=%.3f end_ms=%.3f callbacks=%llu paints=%llu\n", bytes,
                (endMs - startMs) / 1000.0, startMs, endMs, static_cast<unsigned long long>(calls),
                static_cast<unsigned long long>(g_paints));
    if (!downloaded) {
        std::fprintf(stderr, "DownloadFile failed: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
