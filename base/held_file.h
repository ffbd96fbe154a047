#pragma once

#include <functional>

// How long a step on a newly written file is tried again while another program holds it.
inline constexpr unsigned kHeldFileRetryMs = 5000;

// Which errors of a step mean that another program holds the file for a moment.
enum class HoldErrors {
    kSharingOrLock,              // ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION
    kSharingLockOrAccessDenied,  // also ERROR_ACCESS_DENIED, which a scanner's hold gives a rename or an open
};

// Runs step (a call on a file that returns false and sets the thread's last error on failure) until it succeeds, or
// fails otherwise than because another program holds the file: virus scanners open a new program as soon as it is
// closed and hold it for a moment, so a rename, an open or a start fails meanwhile with one of the errors that
// `errors` names. Those are tried again, for up to kHeldFileRetryMs in all. Returns the last result; after a failure
// the thread's last error is the last step's.
bool RetryWhileHeld(const std::function<bool()>& step, HoldErrors errors = HoldErrors::kSharingLockOrAccessDenied);
