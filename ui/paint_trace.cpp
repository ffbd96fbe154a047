#include "ui/paint_trace.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

std::vector<std::uint64_t>* g_paintTimes = nullptr;

std::uint64_t UnixMilliseconds() {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks / 10000 - 11644473600000ull;  // 100-ns ticks since 1601 to ms since 1970
}

void WriteTrace() {
    char path[MAX_PATH] = {};
    if (!g_paintTimes || !GetEnvironmentVariableA("VELMOR_PAINT_TRACE_FILE", path, MAX_PATH))
        return;
    if (FILE* file = std::fopen(path, "w")) {
        for (std::uint64_t time : *g_paintTimes)
            std::fprintf(file, "%llu\n", static_cast<unsigned long long>(time));
        std::fclose(file);
    }
}

}  // namespace

void NotePaintForTrace() {
    if (!g_paintTimes) {
        g_paintTimes = new std::vector<std::uint64_t>();
        g_paintTimes->reserve(1 << 20);
        std::atexit(WriteTrace);
    }
    g_paintTimes->push_back(UnixMilliseconds());
}
