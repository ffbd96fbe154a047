// Benchmark peer: the download most small installers make, one URLDownloadToFileW call (urlmon) with no callback.
//   urlmon_download <https url> <save file>
// Prints "bytes=<size of the saved file> seconds=<s> start_ms=<t> end_ms=<t>" (the call alone, and its wall-clock
// start and end in ms since 1970) and returns 0 when the call succeeded.
#include <windows.h>

#include <objbase.h>

#include <cstdio>

#include <urlmon.h>

#include "bench/bench_clock.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: urlmon_download <https url> <save file>\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    const double startMs = UnixMilliseconds();
    const HRESULT result = URLDownloadToFileW(nullptr, argv[1], argv[2], 0, nullptr);
    const double endMs = UnixMilliseconds();

    WIN32_FILE_ATTRIBUTE_DATA saved{};
    unsigned long long bytes = 0;
    if (GetFileAttributesExW(argv[2], GetFileExInfoStandard, &saved))
        bytes = (static_cast<unsigned long long>(saved.nFileSizeHigh) << 32) | saved.nFileSizeLow;
    std::printf("bytes=%llu seconds=%.6f start_ms=%.3f end_ms=%.3f\n", bytes, (endMs - startMs) / 1000.0, startMs,
                endMs);
    if (FAILED(result)) {
        std::fprintf(stderr, "URLDownloadToFileW failed: 0x%08lx\n", static_cast<unsigned long>(result));
        return 1;
    }
    CoUninitialize();
    return 0;
}
