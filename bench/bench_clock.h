#pragma once

#include <windows.h>

#include <cstdint>

// Wall-clock time in milliseconds since 1970 (with a fraction), comparable with the Linux clock that
// bench/run_bench.py reads when it launches a tool.
inline double UnixMilliseconds() {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<double>(ticks - 116444736000000000ull) / 10000.0;  // 100-ns ticks since 1601
}
