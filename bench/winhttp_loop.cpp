// Benchmark peer: the bare WinHTTP read loop. GETs one https:// address with the same calls the installer's
// downloader makes (WinHttpOpen, WinHttpConnect, WinHttpOpenRequest, WinHttpSendRequest, WinHttpReceiveResponse),
// sets no options, and writes the body in 8 KiB WinHttpReadData reads into a file through std::ofstream.
//   winhttp_loop <https url> <save file>
// Prints "bytes=<n> seconds=<s> start_ms=<t> end_ms=<t>" (the transfer from WinHttpOpen until the handles are
// closed, and its wall-clock start and end in ms since 1970) and returns 0 when the status was 200 and the whole body
// arrived.
#include <windows.h>

#include <winhttp.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_clock.h"

namespace {

constexpr DWORD kReadBufferSize = 8192;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: winhttp_loop <https url> <save file>\n");
        return 2;
    }
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = static_cast<DWORD>(std::size(host));
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = static_cast<DWORD>(std::size(path));
    if (!WinHttpCrackUrl(argv[1], 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS) {
        std::fprintf(stderr, "not an https:// address\n");
        return 2;
    }

    const double startMs = UnixMilliseconds();
    HINTERNET session = WinHttpOpen(L"VelmorBench/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host, parts.nPort, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                   : nullptr;
    if (!request || !WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        std::fprintf(stderr, "request failed: %lu\n", GetLastError());
        return 1;
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    DWORD total = 0;
    size = sizeof(total);
    const bool lengthKnown =
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &total, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;

    std::ofstream file(std::filesystem::path(argv[2]), std::ios::binary | std::ios::out | std::ios::trunc);
    static char buffer[kReadBufferSize];
    std::uint64_t received = 0;
    bool readFailed = false;
    for (;;) {
        DWORD count = 0;
        if (!WinHttpReadData(request, buffer, kReadBufferSize, &count)) {
            readFailed = true;
            break;
        }
        if (count == 0)
            break;
        file.write(buffer, count);
        received += count;
    }
    file.close();
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    const double endMs = UnixMilliseconds();

    std::printf("bytes=%llu seconds=%.6f start_ms=%.3f end_ms=%.3f\n", static_cast<unsigned long long>(received),
                (endMs - startMs) / 1000.0, startMs, endMs);
    const bool complete = status == 200 && !readFailed && !file.fail() && (!lengthKnown || received == total);
    return complete ? 0 : 1;
}
