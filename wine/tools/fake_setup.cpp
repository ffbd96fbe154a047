// The setup program that the test and demo servers hand out, and the helper commands that prepare a run's Wine prefix,
// in one program. Started without a command (as the installer starts what it downloaded) it is the setup program: it
// writes to the file named by VELMOR_SETUP_LOG (UTF-8, one "key=value" per line) its current directory, its
// temporary folder and whether the installer's window was visible when it started, loads winmm.dll by name, stays for
// VELMOR_SETUP_SLEEP_MS milliseconds (or, when VELMOR_SETUP_WAIT_FOR names a file, until that file exists, at most a
// minute), and writes "ended=1" as it leaves. When VELMOR_SETUP_COPY names a file, it first copies its own program file
// there, so a test can compare what ran with what was served. The commands:
//   url <log file> <address>    the browser stand-in: appends "<address>\t<executable name of the process that
//                               started it>" to the log (the name is empty when that process has already gone)
//   trust <ca.der>              makes the certificate the only test CA in the machine's Root store
//   desktop                     keeps the prefix's desktop up until wineserver ends it (see run-setup); prints "ready"
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <map>
#include <string>

#include <tlhelp32.h>

#include "wine/tools/file_bytes.h"
#include "wine/tools/helper.h"

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    return GetEnvironmentVariableW(name, value, MAX_PATH) ? value : L"";
}

int Setup() {
    const std::wstring copy = Env(L"VELMOR_SETUP_COPY");
    FILE* log = _wfopen(Env(L"VELMOR_SETUP_LOG").c_str(), L"ab");
    if (!log)
        return 2;
    std::setvbuf(log, nullptr, _IONBF, 0);  // a test reads it while this program runs
    wchar_t directory[MAX_PATH] = {}, self[MAX_PATH] = {}, temp[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    GetTempPathW(MAX_PATH + 1, temp);
    std::fprintf(log, "cwd=%s\ntemp=%s\nwindow_found=%d\nwindow_visible=%d\n", ToUtf8(directory).c_str(),
                 ToUtf8(temp).c_str(), FindWindowW(kInstallerClass, nullptr) ? 1 : 0, InstallerVisible() ? 1 : 0);
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
    UnbufferedBinaryStdout();
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command.empty())
        return Setup();
    if (command == L"url" && argc == 4)
        return RecordUrl(argv[2], argv[3]);
    if (command == L"trust" && argc == 3)
        return TrustCa(argv[2]);
    if (command == L"desktop")
        return KeepDesktop();
    return 2;
}
