#include "base/held_file.h"

#include <windows.h>

namespace {

constexpr DWORD kRetryDelayMs = 100;

bool IsHeld(DWORD error, HoldErrors errors) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           (errors == HoldErrors::kSharingLockOrAccessDenied && error == ERROR_ACCESS_DENIED);
}

}  // namespace

bool RetryWhileHeld(const std::function<bool()>& step, HoldErrors errors) {
    const ULONGLONG deadline = GetTickCount64() + kHeldFileRetryMs;
    for (;;) {
        if (step())
            return true;
        const DWORD error = GetLastError();
        if (!IsHeld(error, errors) || GetTickCount64() >= deadline)
            return false;
        Sleep(kRetryDelayMs);
    }
}
