#include "install/progress_state.h"

std::atomic<std::uint64_t> g_receivedBytes{0};
std::atomic<std::uint64_t> g_totalBytes{0};
std::atomic<double> g_bytesPerSecond{0.0};

namespace {

// Written and read by the reporting thread only. A tick of 0 means that no sample has been taken yet.
std::atomic<std::uint64_t> g_lastSampleTick{0};
std::atomic<std::uint64_t> g_lastSampleBytes{0};

constexpr std::uint64_t kSampleIntervalMs = 1000;

}  // namespace

static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<double>::is_always_lock_free,
              "progress values must be plain 64-bit loads and stores");

void RecordProgress(std::uint64_t received, std::uint64_t total, std::uint64_t nowMs) {
    constexpr auto relaxed = std::memory_order_relaxed;
    g_receivedBytes.store(received, relaxed);
    g_totalBytes.store(total, relaxed);

    const std::uint64_t lastTick = g_lastSampleTick.load(relaxed);
    const std::uint64_t lastBytes = g_lastSampleBytes.load(relaxed);
    // A download that starts over from its first byte counts from there: a speed over bytes from before the restart
    // would be negative, and as an unsigned difference absurdly large.
    if (lastTick == 0 || received < lastBytes) {
        g_bytesPerSecond.store(0.0, relaxed);
    } else {
        const std::uint64_t elapsedMs = nowMs - lastTick;
        if (elapsedMs < kSampleIntervalMs)
            return;
        const std::uint64_t bytes = received - lastBytes;
        g_bytesPerSecond.store(static_cast<double>(bytes) / (static_cast<double>(elapsedMs) / 1000.0), relaxed);
    }
    g_lastSampleBytes.store(received, relaxed);
    g_lastSampleTick.store(nowMs, relaxed);
}

ProgressSnapshot ReadProgress() {
    constexpr auto relaxed = std::memory_order_relaxed;
    return {g_receivedBytes.load(relaxed), g_totalBytes.load(relaxed), g_bytesPerSecond.load(relaxed)};
}

void ResetProgressState() {
    for (auto* value : {&g_receivedBytes, &g_totalBytes, &g_lastSampleTick, &g_lastSampleBytes})
        value->store(0, std::memory_order_relaxed);
    g_bytesPerSecond.store(0.0, std::memory_order_relaxed);
}
