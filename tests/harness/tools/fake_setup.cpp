// The test setup program and the harness's helper commands, in one program. Started without a command (as the
// installer starts what it downloaded) it is the setup program: it writes to the file named by VELMOR_SETUP_LOG
// (UTF-8, one "key=value" per line) its current directory and whether the installer's window was visible when it
// started, loads winmm.dll by name, stays for VELMOR_SETUP_SLEEP_MS milliseconds (or, when VELMOR_SETUP_WAIT_FOR names
// a file, until that file exists, at most a minute), and writes "ended=1" as it leaves. When VELMOR_SETUP_COPY names a
// file, it first copies its own program file there, so a test can compare what ran with what was served. The commands:
//   box <caption> <timeout-ms> <ok|cancel|esc|close>  finds a message box by its caption, prints
//       "installer_visible=0|1" (the installer's window at that moment) and the box's text, then answers it; exit
//       code 3 when no box appeared in time
//   tamper <path>               whether the file is there, then tries to open it for writing, to rename it and to
//                               delete it, and prints which of these succeeded ("found=1 write=0 rename=0 delete=0"
//                               when it was there and all failed)
//   hold <ms>                   a virus scanner's hold: waits (up to a minute) for a new installer staging folder
//                               (%SystemRoot%\Temp\velmor-*) to hold the setup program or its partial file, opens
//                               that file without delete sharing as soon as it can, holds it for ms milliseconds and
//                               prints "held=<file name>"; exit code 3 when none appeared
//   url <log file> <address>    the browser stand-in: appends "<address>\t<executable name of the process that
//                               started it>" to the log (the name is empty when that process has already gone)
//   trust <ca.der>              makes the certificate the only test CA in the machine's Root store
//   desktop                     keeps the prefix's desktop up until wineserver ends it (see run-setup); prints "ready"
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <tlhelp32.h>

#include "../../file_bytes.h"

namespace {

std::string ToUtf8(const wchar_t* text) {
    char utf8[16384] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
    return utf8;
}

std::wstring Env(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    return GetEnvironmentVariableW(name, value, MAX_PATH) ? value : L"";
}

bool InstallerVisible() {
    HWND installer = FindWindowW(L"VelmorInstaller", nullptr);
    return installer && IsWindowVisible(installer);
}

int Setup() {
    const std::wstring copy = Env(L"VELMOR_SETUP_COPY");
    FILE* log = _wfopen(Env(L"VELMOR_SETUP_LOG").c_str(), L"ab");
    if (!log)
        return 2;
    std::setvbuf(log, nullptr, _IONBF, 0);  // a test reads it while this program runs
    wchar_t directory[MAX_PATH] = {}, self[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    std::fprintf(log, "cwd=%s\nwindow_found=%d\nwindow_visible=%d\n", ToUtf8(directory).c_str(),
                 FindWindowW(L"VelmorInstaller", nullptr) ? 1 : 0, InstallerVisible() ? 1 : 0);
    // Setup programs load DLLs by name; where this one comes from shows whether a DLL planted beside the installer
    // can reach the setup program.
    LoadLibraryW(L"winmm.dll");
    if (!copy.empty() && GetModuleFileNameW(nullptr, self, MAX_PATH))
        CopyFileW(self, copy.c_str(), FALSE);
    const std::wstring waitFor = Env(L"VELMOR_SETUP_WAIT_FOR");
    if (waitFor.empty())
        Sleep(static_cast<DWORD>(_wtoi(Env(L"VELMOR_SETUP_SLEEP_MS").c_str())));
    for (int waited = 0;
         !waitFor.empty() && waited < 60000 && GetFileAttributesW(waitFor.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 50)
        Sleep(50);
    std::fprintf(log, "ended=1\n");
    std::fclose(log);
    return 0;
}

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
    HANDLE search = FindFirstFileW((temp + L"\\velmor-*").c_str(), &found);
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
            for (const wchar_t* name : {L"velmor-cap-setup.exe.part", L"velmor-cap-setup.exe"}) {
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

int RecordUrl(const wchar_t* log, const wchar_t* address) {
    std::map<DWORD, std::wstring> names;
    DWORD parent = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        names[entry.th32ProcessID] = entry.szExeFile;
        if (entry.th32ProcessID == GetCurrentProcessId())
            parent = entry.th32ParentProcessID;
    }
    CloseHandle(snapshot);
    FILE* file = _wfopen(log, L"ab");
    if (!file)
        return 1;
    std::fprintf(file, "%s\t%s\n", ToUtf8(address).c_str(),
                 ToUtf8(names.count(parent) ? names[parent].c_str() : L"").c_str());
    std::fclose(file);
    return 0;
}

int TrustCa(const wchar_t* path) {
    const std::string der = FileBytes(path);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store || der.empty())
        return 1;
    // Earlier runs' CAs go first: deleting also frees the context.
    while (PCCERT_CONTEXT old = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                                           L"Velmor Test", nullptr))
        CertDeleteCertificateFromStore(old);
    const BOOL added =
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                         static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added ? 0 : 1;
}

// Wine closes the desktop (and its explorer.exe) a moment after the last program with a window exits, and the next
// program that makes a window starts it again, which can stall that program for about ten seconds. A window of our
// own keeps it up, as a Windows session always has one, and pays Wine's one-time cost of the first visible window
// and the first text in a new prefix.
int KeepDesktop() {
    HWND window = CreateWindowExW(0, L"STATIC", L"desktop keeper", WS_POPUP | WS_VISIBLE, 0, 0, 1, 1, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (!window)
        return 1;
    HDC dc = GetDC(window);
    HFONT font = CreateFontW(20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Microsoft YaHei");
    HGDIOBJ previous = SelectObject(dc, font);
    TextOutW(dc, 0, 0, L"\u5F55", 1);
    DeleteObject(SelectObject(dc, previous));
    ReleaseDC(window, dc);
    ShowWindow(window, SW_HIDE);
    std::printf("ready\n");
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0))
        DispatchMessageW(&message);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // line feeds go out as they are, and at once
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command.empty())
        return Setup();
    if (command == L"box" && argc == 5)
        return Box(argv[2], argv[3], argv[4]);
    if (command == L"tamper" && argc == 3)
        return Tamper(argv[2]);
    if (command == L"hold" && argc == 3)
        return Hold(argv[2]);
    if (command == L"url" && argc == 4)
        return RecordUrl(argv[2], argv[3]);
    if (command == L"trust" && argc == 3)
        return TrustCa(argv[2]);
    if (command == L"desktop")
        return KeepDesktop();
    return 2;
}
