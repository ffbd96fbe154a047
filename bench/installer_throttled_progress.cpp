// Linked into the experimental installer build only (see bench/CMakeLists.txt): this definition of the progress
// body takes the place of the library's install/progress.cpp, whose object is then not pulled from the archive.
#include "bench/throttled_progress.h"
#include "install/progress.h"

void OnDownloadProgress(HWND window, std::uint64_t received, std::uint64_t total) {
    OnDownloadProgressThrottled(window, received, total);
}
