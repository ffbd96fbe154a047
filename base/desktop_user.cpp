#include "base/desktop_user.h"

#include <shlobj.h>

#include <exdisp.h>

#include "base/com.h"
#include "base/desktop_user_seams.h"

void (*g_userPlaceWriteProbe)() = nullptr;

namespace {

// The user a token belongs to, compared by SID; false when either cannot be read.
bool SameUser(HANDLE first, HANDLE second) {
    // TOKEN_USER followed by its SID, at most SECURITY_MAX_SID_SIZE bytes.
    alignas(TOKEN_USER) BYTE users[2][sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    for (int index = 0; index < 2; ++index) {
        if (!GetTokenInformation(index == 0 ? first : second, TokenUser, users[index], sizeof(users[index]), &size))
            return false;
    }
    return EqualSid(reinterpret_cast<TOKEN_USER*>(users[0])->User.Sid,
                    reinterpret_cast<TOKEN_USER*>(users[1])->User.Sid) != FALSE;
}

// A token to impersonate the desktop shell's user with, when that is this process's user; way tells otherwise.
UniqueKernelHandle DesktopUserToken(DesktopUserImpersonation::Way& way) {
    using Way = DesktopUserImpersonation::Way;
    DWORD processId = 0;
    const HWND shell = FindDesktopShellWindow();
    if (!shell || !GetWindowThreadProcessId(shell, &processId)) {
        way = Way::kNoShell;
        return {};
    }
    way = Way::kFailed;
    const UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    UniqueKernelHandle shellToken, ownToken, impersonation;
    if (!process || !OpenProcessToken(process.get(), TOKEN_DUPLICATE | TOKEN_QUERY, shellToken.put()) ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, ownToken.put()))
        return {};
    if (!SameUser(shellToken.get(), ownToken.get())) {
        way = Way::kOtherAccount;
        return {};
    }
    if (!DuplicateTokenEx(shellToken.get(), TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr, SecurityImpersonation,
                          TokenImpersonation, impersonation.put()))
        return {};
    return impersonation;
}

}  // namespace

ShellDesktop FindShellDesktop() {
    ShellDesktop desktop;
    ComPtr<IShellWindows> shellWindows;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                PutVoid(shellWindows))))
        return desktop;
    VARIANT desktopLocation;
    VariantInit(&desktopLocation);  // empty: the desktop has no location
    long window = 0;
    if (shellWindows.get()->FindWindowSW(&desktopLocation, &desktopLocation, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                                         desktop.dispatch.put()) != S_OK ||
        !desktop.dispatch)
        return {};
    desktop.window = reinterpret_cast<HWND>(static_cast<LONG_PTR>(window));
    return desktop;
}

HWND FindDesktopShellWindow() {
    if (const HWND shell = GetShellWindow())
        return shell;
    return FindWindowW(L"Shell_TrayWnd", nullptr);
}

DesktopUserImpersonation::DesktopUserImpersonation() {
    const UniqueKernelHandle token = DesktopUserToken(way_);
    if (token && SetThreadToken(nullptr, token.get()))
        way_ = Way::kAsDesktopUser;
    else if (token)
        way_ = Way::kFailed;
}

DesktopUserImpersonation::~DesktopUserImpersonation() {
    if (way_ == Way::kAsDesktopUser)
        RevertToSelf();
}

const char* DescribeWay(DesktopUserImpersonation::Way way) {
    switch (way) {
        case DesktopUserImpersonation::Way::kAsDesktopUser:
            return "as the desktop user";
        case DesktopUserImpersonation::Way::kNoShell:
            return "as administrator: no desktop shell runs";
        case DesktopUserImpersonation::Way::kOtherAccount:
            return "as administrator: the desktop shell runs as another account";
        case DesktopUserImpersonation::Way::kFailed:
            return "as administrator: the desktop shell's token could not be used";
    }
    return "";
}
