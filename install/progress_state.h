#pragma once

#include <atomic>
#include <cstdint>

// Download progress shared by the worker thread (the only writer, through RecordProgress) and the window's painting
// (the only reader). Each value is one 64-bit quantity stored and loaded whole with relaxed ordering; nothing orders
// them against one another, so a reader may see a received count and a total from different reports.
extern std::atomic<std::uint64_t> g_receivedBytes;
extern std::atomic<std::uint64_t> g_totalBytes;
extern std::atomic<double> g_bytesPerSecond;

// One reading of the three values, each loaded once.
struct ProgressSnapshot {
    std::uint64_t received = 0;
    std::uint64_t total = 0;
    double bytesPerSecond = 0.0;
};
ProgressSnapshot ReadProgress();

// Stores one progress report made at nowMs (a millisecond tick count). The speed is 0 after the first report and is
// recomputed over the whole interval only when a report comes at least 1000 ms after the last sample. A report of
// fewer bytes than the last sample (the download started over) is a first report again.
// Takes no lock and allocates nothing.
void RecordProgress(std::uint64_t received, std::uint64_t total, std::uint64_t nowMs);

// Puts every value back to zero, as at process start. The installer never needs it: it makes one download.
void ResetProgressState();
