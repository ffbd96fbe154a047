// The installer tests' helper commands, run inside the run's Wine prefix:
//   box <caption> <timeout-ms> <ok|cancel|esc|close>  finds a message box by its caption, prints
//       "installer_visible=0|1" (the installer's window at that moment) and the box's text, then answers it; exit
//       code 3 when no box appeared in time
//   tamper <path>               whether the file is there, then tries to open it for writing, to rename it and to
//                               delete it, and prints which of these succeeded ("found=1 write=0 rename=0 delete=0"
//                               when it was there and all failed)
//   hold <ms>                   a virus scanner's hold: waits (up to a minute) for a new installer staging folder
//                               (in %SystemRoot%\Temp) to hold the setup program or its partial file, opens
//                               that file without delete sharing as soon as it can, holds it for ms milliseconds and
//                               prints "held=<file name>"; exit code 3 when none appeared
//   dpi <dpi>                   tells the installer's window that its screen's DPI changed to dpi, as Windows does,
//                               suggesting the window's place with the size of its client at that DPI, and prints
//                               "client=<width>x<height>" afterwards; exit code 3 when there is no such window
//   accessible read             what a screen reader reads of the installer window: its client area's role, state,
//                               name, value, description and child count, its close button's (child 1) role, name,
//                               default action and place on the screen (x,y,width,height), and what a hit test at
//                               that place's centre finds; one "property=value" a line ("-" where a call failed)
//   accessible press            the close button's default action; exit code 4 when it failed
// Exit code 3 from accessible: no installer window, or no accessible object for its client area.
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>

#include "tests/harness/tools/accessible_reading.h"
#include "wine/tools/helper.h"

namespace {

BOOL CALLBACK CollectStaticText(HWND child, LPARAM param) {
    wchar_t className[64] = {}, text[4096] = {};
    GetClassNameW(child, className, 64);
    if (lstrcmpiW(className, L"Static") == 0 && GetWindowTextW(child, text, 4096) > 0)
        *reinterpret_cast<std::wstring*>(param) = text;
    return TRUE;
}

int Box(const wchar_t* caption, const wchar_t* timeoutMs, const std::wstring& answer) {
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(_wtoi(timeoutMs));
    // The box counts as up once it is shown with its text filled in.
    HWND box = nullptr;
    std::wstring text;
    for (;;) {
        if ((box = FindWindowW(L"#32770", caption)) && IsWindowVisible(box))
            EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(&text));
        if (!text.empty())
            break;
        if (static_cast<LONG>(GetTickCount() - deadline) > 0)
            return 3;
        Sleep(50);
    }
    std::printf("installer_visible=%d\n%s", InstallerVisible() ? 1 : 0, ToUtf8(text.c_str()).c_str());
    if (answer == L"ok" || answer == L"cancel") {
        const int id = answer == L"ok" ? IDOK : IDCANCEL;
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
    } else if (answer == L"esc") {
        PostMessageW(box, WM_KEYDOWN, VK_ESCAPE, 0);
    } else if (answer == L"close") {
        PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);  // what the caption's close button sends
    }
    return 0;
}

int Tamper(const std::wstring& path) {
    const bool found = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool wrote = writer != INVALID_HANDLE_VALUE;
    if (wrote)
        CloseHandle(writer);
    const bool renamed = MoveFileExW(path.c_str(), (path + L".moved").c_str(), 0) != FALSE;
    const bool deleted = DeleteFileW((renamed ? path + L".moved" : path).c_str()) != FALSE;
    std::printf("found=%d write=%d rename=%d delete=%d\n", found, wrote, renamed, deleted);
    return 0;
}

// The installer staging folders there are now.
std::set<std::wstring> StagingFolders(const std::wstring& temp) {
    std::set<std::wstring> folders;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((temp + L"\\" VELMOR_PRODUCT_STAGING_PREFIX L"*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
        folders.insert(found.cFileName);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return folders;
}

int Hold(const wchar_t* milliseconds) {
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring temp = std::wstring(windows) + L"\\Temp";
    const std::set<std::wstring> before = StagingFolders(temp);
    for (const DWORD deadline = GetTickCount() + 60000; static_cast<LONG>(GetTickCount() - deadline) < 0; Sleep(5)) {
        for (const std::wstring& folder : StagingFolders(temp)) {
            for (const wchar_t* name : {L"" VELMOR_PRODUCT_SETUP_NAME L".part", L"" VELMOR_PRODUCT_SETUP_NAME}) {
                HANDLE file = before.count(folder)
                                  ? INVALID_HANDLE_VALUE
                                  : CreateFileW((temp + L"\\" + folder + L"\\" + name).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
                if (file != INVALID_HANDLE_VALUE) {
                    Sleep(static_cast<DWORD>(_wtoi(milliseconds)));
                    CloseHandle(file);
                    std::printf("held=%s\n", ToUtf8(name).c_str());
                    return 0;
                }
            }
        }
    }
    return 3;
}

// WM_DPICHANGED carries a pointer to the suggested rectangle, which Windows does not carry across processes: it is
// written into the installer's own memory.
int ChangeDpi(const wchar_t* dpiText) {
    const int dpi = _wtoi(dpiText);
    HWND window = FindWindowW(kInstallerClass, nullptr);
    DWORD processId = 0;
    RECT place{};
    if (!window || !GetWindowThreadProcessId(window, &processId) || !GetWindowRect(window, &place))
        return 3;
    const RECT suggested{place.left, place.top, place.left + (560 * dpi + 48) / 96, place.top + (310 * dpi + 48) / 96};
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, processId);
    void* remote = process ? VirtualAllocEx(process, nullptr, sizeof(suggested), MEM_COMMIT, PAGE_READWRITE) : nullptr;
    if (!remote || !WriteProcessMemory(process, remote, &suggested, sizeof(suggested), nullptr))
        return 1;
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(remote), SMTO_NORMAL,
                        10000, &result);
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    RECT client{};
    GetClientRect(window, &client);
    std::printf("client=%ldx%ld\n", client.right, client.bottom);
    return 0;
}

int Accessible(const std::wstring& what) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HWND window = FindWindowW(kInstallerClass, nullptr);
    IAccessible* object = nullptr;
    if (!window || AccessibleObjectFromWindow(window, OBJID_CLIENT, kIidAccessible, reinterpret_cast<void**>(&object)))
        return 3;
    const VARIANT close = Child(1);
    if (what == L"press")
        return object->accDoDefaultAction(close) == S_OK ? 0 : 4;
    LONG children = -1, x = 0, y = 0, width = 0, height = 0;
    object->get_accChildCount(&children);
    VARIANT hit{};
    if (object->accLocation(&x, &y, &width, &height, close) == S_OK)
        object->accHitTest(x + width / 2, y + height / 2, &hit);
    std::printf("role=%s\nstate=%s\nname=%s\nvalue=%s\ndescription=%s\nchildren=%ld\n",
                Said(object, &IAccessible::get_accRole, 0).c_str(), Said(object, &IAccessible::get_accState, 0).c_str(),
                Said(object, &IAccessible::get_accName, 0).c_str(), Said(object, &IAccessible::get_accValue, 0).c_str(),
                Said(object, &IAccessible::get_accDescription, 0).c_str(), children);
    std::printf("close_role=%s\nclose_name=%s\nclose_action=%s\nclose_place=%ld,%ld,%ld,%ld\nclose_hit=%ld\n",
                Said(object, &IAccessible::get_accRole, 1).c_str(), Said(object, &IAccessible::get_accName, 1).c_str(),
                Said(object, &IAccessible::get_accDefaultAction, 1).c_str(), x, y, width, height,
                hit.vt == VT_I4 ? hit.lVal : -1);
    object->Release();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    UnbufferedBinaryStdout();
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"box" && argc == 5)
        return Box(argv[2], argv[3], argv[4]);
    if (command == L"tamper" && argc == 3)
        return Tamper(argv[2]);
    if (command == L"hold" && argc == 3)
        return Hold(argv[2]);
    if (command == L"dpi" && argc == 3)
        return ChangeDpi(argv[2]);
    if (command == L"accessible" && argc == 3)
        return Accessible(argv[2]);
    return 2;
}
