#include "install/failure_dialog.h"

#include <windows.h>

#include <shlobj.h>

#include <string>

#include <exdisp.h>
#include <oleauto.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>

#include "base/ascii.h"
#include "base/com.h"
#include "base/desktop_user.h"
#include "base/product_values.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "config/build_hosts.h"
#include "install/failure_dialog_seams.h"
#include "install/install_log.h"

namespace {

using UniqueBstr = UniqueHandle<BSTR, NullEmptyTraits<BSTR, SysFreeString>>;

constexpr wchar_t kCaption[] = L"" VELMOR_PRODUCT_BOX_CAPTION;

// Asks the shell of the signed-in user's desktop to open url, so that the browser starts with that user's rights and
// not with this elevated process's. False when there is no such shell: nothing was opened then.
bool OpenThroughDesktopShell(const std::wstring& url) {
    const ShellDesktop desktop = FindShellDesktop();
    if (!desktop.dispatch)
        return false;

    ComPtr<IServiceProvider> services;
    ComPtr<IShellBrowser> browser;
    ComPtr<IShellView> view;
    ComPtr<IDispatch> background;
    ComPtr<IShellFolderViewDual> folderView;
    ComPtr<IDispatch> application;
    ComPtr<IShellDispatch2> shell;
    if (FAILED(desktop.dispatch.get()->QueryInterface(IID_IServiceProvider, PutVoid(services))) ||
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

// Opens url through the desktop shell; false, and logged, when it could not: the address is then shown instead. It is
// never opened by this elevated process itself, whose https handler comes from the user's registry and would run
// with administrator rights.
bool OpenInBrowser(const std::wstring& url) {
    const bool opened = g_openThroughDesktopShell(url);
    if (!opened)
        LogStep("not opened, no desktop shell to open it: " + Utf8FromWide(url));
    return opened;
}

std::wstring SupportUrl() {
    return L"https://" + WidenAscii(kSupportHost);
}

// The box's text: what failed, where the download page is, and the question.
std::wstring FailureMessage(const wchar_t* firstLine, const std::wstring& downloadUrl, bool pageOpened) {
    const std::wstring page =
        pageOpened ? L"" VELMOR_PRODUCT_PAGE_OPENED : L"" VELMOR_PRODUCT_OPEN_PAGE_YOURSELF L"\n" + downloadUrl;
    return std::wstring(firstLine) + L"\n\n" + page + L"\n\n" + L"" VELMOR_PRODUCT_ASK_SUPPORT;
}

}  // namespace

bool (*g_openThroughDesktopShell)(const std::wstring& url) = OpenThroughDesktopShell;

void ShowInstallFailure(HWND owner, const wchar_t* firstLine, const wchar_t* downloadUrl) {
    const ScopedComApartment com;
    const bool pageOpened = OpenInBrowser(downloadUrl);
    // A failed box (0) counts as not answered with OK.
    if (MessageBoxW(owner, FailureMessage(firstLine, downloadUrl, pageOpened).c_str(), kCaption,
                    MB_OKCANCEL | MB_ICONERROR) == IDOK &&
        !OpenInBrowser(SupportUrl())) {
        MessageBoxW(owner, (L"" VELMOR_PRODUCT_OPEN_SUPPORT_YOURSELF L"\n" + SupportUrl()).c_str(), kCaption,
                    MB_OK | MB_ICONINFORMATION);
    }
}
