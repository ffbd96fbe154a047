#pragma once

#include <array>
#include <cstdint>

#include "install/progress_state.h"

// What the window shows of the download's progress: the one rule that its painting, the download's progress reports
// (which ask for a paint only when it changes) and its screen-reader object all follow. No drawing here.

// Share of the download that is done, in [0, 1]; 0 while the total is unknown (0).
double ProgressFraction(std::uint64_t received, std::uint64_t total);

// Filled width of a bar, rounded half up and at most barWidth; 0 means that nothing is filled.
int FillWidth(int barWidth, double fraction);

struct ProgressView {
    bool sizeKnown = false;               // the total is known (not 0)
    int fillWidth = 0;                    // pixels of the bar that are filled
    std::array<wchar_t, 8> percentage{};  // "0%" to "100%", rounded half up
    std::array<wchar_t, 32> speed{};      // "0 KB/s" when not above 0, whole KiB/s below 1024 KiB/s, else MiB/s
    // What the texts were made from; nothing the window shows.
    int percent = -1;
    double bytesPerSecond = -1.0;

    // The same on the screen: the bar and the texts, whatever they were made from.
    friend bool operator==(const ProgressView& a, const ProgressView& b) {
        return a.sizeKnown == b.sizeKnown && a.fillWidth == b.fillWidth && a.percentage == b.percentage &&
               a.speed == b.speed;
    }
};

// Brings view up to date with one reading of the progress, for a bar barWidth pixels wide; a text is made anew only
// when what it shows changed, so that a report that changes nothing on the screen costs next to nothing. Allocates
// nothing and takes no lock: the download's progress callback compares the result with what it last asked the window
// to show.
void UpdateProgressView(ProgressView& view, const ProgressSnapshot& progress, int barWidth);

// What the window shows for one reading of the progress: a view made up to date from nothing.
ProgressView ViewOfProgress(const ProgressSnapshot& progress, int barWidth);
