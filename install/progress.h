#pragma once

#include <windows.h>

#include <cstdint>

// The body of the download's progress callback: records the report (see RecordProgress) and, when that changes what
// the window shows (see ViewOfProgress), asks the window to repaint, without erasing, unless a picture is asked for
// already and not yet begun (it will show the change); and, when the report changes the percentage, tells screen
// readers that the window's value changed. A report that changes nothing on the screen costs no paint. Runs on the
// worker thread; allocates nothing and takes no lock.
void OnDownloadProgress(HWND window, std::uint64_t received, std::uint64_t total);

// Called by the window as it begins a picture, before it reads the progress: a report that changes what the window
// shows asks for another from then on.
void NoteProgressPictureBegun();

// The width in pixels of the window's progress bar as laid out now, which the reports measure the fill against. Set
// by the window (on the window's thread) whenever it lays itself out.
void SetProgressBarWidth(int pixels);
