#pragma once

#include <windows.h>

#include "base/com.h"
#include "base/unique_handle.h"

// The installer runs elevated, but some of what it writes lies in the signed-in user's own places (the profile, the
// temporary folder), where every program of that user can turn a folder into a link to a place that only
// administrators may change. Written with the user's own rights, a link there can only lead where the user could
// write anyway.

// The desktop in the window list of the signed-in user's shell: the object through which that shell opens addresses,
// and the desktop's window. Empty when no shell runs. Needs COM on this thread.
struct ShellDesktop {
    ComPtr<IDispatch> dispatch;
    HWND window = nullptr;
};
ShellDesktop FindShellDesktop();

// A window of the desktop shell's process: the one that Windows names the shell window, or else the taskbar, which the
// same process owns (Wine names no shell window). Null when no shell runs. Asks no COM server, so that it costs nothing
// on the way to the window's first picture.
HWND FindDesktopShellWindow();

// While it lives, the calling thread acts with the rights of the user that the desktop shell runs as, provided that
// is the user this process runs as (the elevation was accepted in the user's own session). Otherwise, and when any
// step fails, the thread keeps this process's own rights, and way() says why. The end of the owner reverts the
// thread to the process's rights, so construct and destroy it on the same thread.
class DesktopUserImpersonation {
public:
    enum class Way {
        kAsDesktopUser,  // impersonating the shell's user
        kNoShell,        // no desktop shell runs
        kOtherAccount,   // the shell runs as another account: this process's own profile is another user's
        kFailed,         // the shell's token could not be had or used
    };

    DesktopUserImpersonation();
    ~DesktopUserImpersonation();
    DesktopUserImpersonation(const DesktopUserImpersonation&) = delete;
    DesktopUserImpersonation& operator=(const DesktopUserImpersonation&) = delete;

    Way way() const { return way_; }

private:
    Way way_ = Way::kFailed;
};

// "as the desktop user", "as administrator: ..." with the reason, for the diagnostics log.
const char* DescribeWay(DesktopUserImpersonation::Way way);
