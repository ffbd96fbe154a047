#include "install/failure_dialog.h"

#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include <exdisp.h>
#include <oleauto.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>

#include "base/ascii.h"
#include "base/unique_handle.h"
#include "config/build_hosts.h"

namespace {

using UniqueBstr = UniqueHandle<BSTR, NullEmptyTraits<BSTR, SysFreeString>>;

// COM interface pointers are owned like handles: Release gives one back.
template <typename Interface>
struct ComReleaseTraits {
    static Interface* Empty() { return nullptr; }
    static void Close(Interface* pointer) { pointer->Release(); }
};
template <typename Interface>
using ComPtr = UniqueHandle<Interface*, ComReleaseTraits<Interface>>;

// Where a call that hands out an interface pointer as void** stores it.
template <typename Interface>
void** PutVoid(ComPtr<Interface>& owner) {
    return reinterpret_cast<void**>(owner.put());
}

// COM on this thread, single-threaded apartment, for the owner's lifetime. A thread that already has COM in another
// apartment keeps it, and COM is usable there as well.
class ScopedComApartment {
public:
    ScopedComApartment() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ScopedComApartment() {
        if (initialised_)
            CoUninitialize();
    }
    ScopedComApartment(const ScopedComApartment&) = delete;
    ScopedComApartment& operator=(const ScopedComApartment&) = delete;

private:
    bool initialised_;
};

// Asks the shell of the signed-in user's desktop to open url, so that the browser starts with that user's rights and
// not with this elevated process's. False when there is no such shell: nothing was opened then.
bool OpenThroughDesktopShell(const std::wstring& url) {
    ComPtr<IShellWindows> shellWindows;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                PutVoid(shellWindows))))
        return false;
    VARIANT desktopLocation;
    VariantInit(&desktopLocation);  // empty: the desktop has no location
    long desktopWindow = 0;
    ComPtr<IDispatch> desktop;
    if (shellWindows.get()->FindWindowSW(&desktopLocation, &desktopLocation, SWC_DESKTOP, &desktopWindow,
                                         SWFO_NEEDDISPATCH, desktop.put()) != S_OK ||
        !desktop)
        return false;

    ComPtr<IServiceProvider> services;
    ComPtr<IShellBrowser> browser;
    ComPtr<IShellView> view;
    ComPtr<IDispatch> background;
    ComPtr<IShellFolderViewDual> folderView;
    ComPtr<IDispatch> application;
    ComPtr<IShellDispatch2> shell;
    if (FAILED(desktop.get()->QueryInterface(IID_IServiceProvider, PutVoid(services))) ||
        FAILED(services.get()->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, PutVoid(browser))) ||
        FAILED(browser.get()->QueryActiveShellView(view.put())) ||
        FAILED(view.get()->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, PutVoid(background))) ||
        FAILED(background.get()->QueryInterface(IID_IShellFolderViewDual, PutVoid(folderView))) ||
        FAILED(folderView.get()->get_Application(application.put())) || !application ||
        FAILED(application.get()->QueryInterface(IID_IShellDispatch2, PutVoid(shell))))
        return false;

    const UniqueBstr file(SysAllocString(url.c_str()));
    const UniqueBstr verb(SysAllocString(L"open"));
    if (!file || !verb)
        return false;
    VARIANT none;
    VariantInit(&none);
    VARIANT operation;
    VariantInit(&operation);
    operation.vt = VT_BSTR;
    operation.bstrVal = verb.get();
    VARIANT show;
    VariantInit(&show);
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    return SUCCEEDED(shell.get()->ShellExecute(file.get(), none, none, operation, show));
}

void OpenInBrowser(const std::wstring& url) {
    if (!OpenThroughDesktopShell(url))
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
    const ScopedComApartment com;
    OpenInBrowser(downloadUrl);
    // A failed box (0) counts as not answered with OK.
    if (MessageBoxW(owner, FailureMessage(firstLine).c_str(), L"系统提示", MB_OKCANCEL | MB_ICONERROR) == IDOK)
        OpenInBrowser(SupportUrl());
}
