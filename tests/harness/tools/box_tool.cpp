// Finds a message box by its caption, prints whether the installer's window was visible at that moment
// ("installer_visible=0" or "=1") and, on the next lines, the box's text (UTF-8); then answers the box.
//   box_tool <caption> <timeout-ms> <ok|cancel|esc|close|none>
// close is what the caption's close button sends.
// Exit code 0 when the box was found, 3 when it did not appear in time.
#include <windows.h>

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <io.h>

namespace {

BOOL CALLBACK CollectStaticText(HWND child, LPARAM param) {
    wchar_t className[64] = {};
    GetClassNameW(child, className, 64);
    if (lstrcmpiW(className, L"Static") == 0) {
        wchar_t text[4096] = {};
        GetWindowTextW(child, text, 4096);
        if (text[0])
            *reinterpret_cast<std::wstring*>(param) = text;
    }
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4)
        return 2;
    const std::wstring answer = argv[3];
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(_wtoi(argv[2]));
    // The box counts as up once it is shown with its text filled in.
    HWND box = nullptr;
    std::wstring text;
    for (;;) {
        box = FindWindowW(L"#32770", argv[1]);
        if (box && IsWindowVisible(box)) {
            text.clear();
            EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(&text));
            if (!text.empty())
                break;
        }
        if (static_cast<LONG>(GetTickCount() - deadline) > 0)
            return 3;
        Sleep(50);
    }

    _setmode(_fileno(stdout), _O_BINARY);  // the text's line feeds go out as they are
    HWND installer = FindWindowW(L"VelmorInstaller", nullptr);
    std::printf("installer_visible=%d\n", installer && IsWindowVisible(installer) ? 1 : 0);

    char utf8[16384] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8, sizeof(utf8), nullptr, nullptr);
    std::fwrite(utf8, 1, strlen(utf8), stdout);
    std::fflush(stdout);

    if (answer == L"ok")
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    else if (answer == L"cancel")
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, IDCANCEL)));
    else if (answer == L"esc")
        PostMessageW(box, WM_KEYDOWN, VK_ESCAPE, 0);
    else if (answer == L"close")
        PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
}
