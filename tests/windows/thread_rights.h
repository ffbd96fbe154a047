#pragma once

#include <windows.h>

#include <string>

#include <sddl.h>

#include "base/desktop_user.h"
#include "base/unique_handle.h"

// Who a token acts for: its user's SID and its logon session, as text; empty when it cannot be read.
inline std::wstring TokenIdentity(HANDLE token) {
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    TOKEN_STATISTICS statistics{};
    DWORD size = 0;
    wchar_t* sid = nullptr;
    if (!GetTokenInformation(token, TokenUser, user, sizeof(user), &size) ||
        !GetTokenInformation(token, TokenStatistics, &statistics, sizeof(statistics), &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid))
        return {};
    const std::wstring identity = std::wstring(sid) + L" logon " +
                                  std::to_wstring(statistics.AuthenticationId.HighPart) + L":" +
                                  std::to_wstring(statistics.AuthenticationId.LowPart);
    LocalFree(sid);
    return identity;
}

// Whom the calling thread impersonates: the identity of its token, "own rights" when it has none, "?" on failure.
inline std::wstring ThreadRights() {
    UniqueKernelHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()))
        return GetLastError() == ERROR_NO_TOKEN ? L"own rights" : L"?";
    TOKEN_TYPE type = TokenPrimary;
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenType, &type, sizeof(type), &size) || type != TokenImpersonation)
        return L"?";
    return TokenIdentity(token.get());
}

// The identity of the desktop shell's process; empty when there is none.
inline std::wstring DesktopShellIdentity() {
    DWORD processId = 0;
    const HWND shell = FindDesktopShellWindow();
    UniqueKernelHandle process, token;
    if (!shell || !GetWindowThreadProcessId(shell, &processId) ||
        !(process = UniqueKernelHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId))) ||
        !OpenProcessToken(process.get(), TOKEN_QUERY, token.put()))
        return {};
    return TokenIdentity(token.get());
}
