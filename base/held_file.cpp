#include "base/held_file.h"

#include <windows.h>

namespace {

constexpr DWORD kRetryDelayMs = 100;

bool IsHeld(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

}  // namespace

bool RetryWhileHeld(const std::function<bool()>& step) {
    const ULONGLONG deadline = GetTickCount64() + kHeldFileRetryMs;
    for (;;) {
        if (step())
            return true;
        const DWORD error = GetLastError();
        if (!IsHeld(error) || GetTickCount64() >= deadline)
            return false;
        Sleep(kRetryDelayMs);
    }
}
