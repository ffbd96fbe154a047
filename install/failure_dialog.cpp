#include "install/failure_dialog.h"

#include <windows.h>

#include <shellapi.h>

#include <string>

#include "base/ascii.h"
#include "config/build_hosts.h"

namespace {

void OpenInBrowser(const std::wstring& url) {
    ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

std::wstring SupportUrl() {
    return L"https://" + WidenAscii(kSupportHost);
}

std::wstring FailureMessage(const wchar_t* firstLine) {
    return std::wstring(firstLine) + L"\n\n" + L"已为您打开下载页面，请手动安装。\n\n" +
           L"点击\"确定\"联系客服\n点击\"取消\"稍后处理";
}

}  // namespace

void ShowInstallFailure(HWND owner, const wchar_t* firstLine, const wchar_t* downloadUrl) {
    OpenInBrowser(downloadUrl);
    // A failed box (0) counts as not answered with OK.
    if (MessageBoxW(owner, FailureMessage(firstLine).c_str(), L"系统提示", MB_OKCANCEL | MB_ICONERROR) == IDOK)
        OpenInBrowser(SupportUrl());
}
