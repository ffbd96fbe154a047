#include "install/worker.h"

#include <cwchar>
#include <system_error>
#include <thread>
#include <utility>

#include "base/ascii.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "config/build_hosts.h"
#include "install/failure_dialog.h"
#include "install/progress.h"
#include "install/publisher.h"
#include "install/staging_folder.h"
#include "net/download.h"
#include "net/pe_image.h"

namespace {

constexpr wchar_t kSaveName[] = L"velmor-cap-setup.exe";
constexpr char kReleasePath[] = "/velmor-cap/release";
constexpr char kWebViewPath[] = "/velmor-cap/ebwebview";

constexpr wchar_t kDownloadFailedText[] = L"下载失败，请检查网络连接或联系客服。";
constexpr wchar_t kLaunchFailedText[] = L"安装程序启动失败，请检查安装包或联系客服。";

using UniqueRegKey = UniqueHandle<HKEY, NullEmptyTraits<HKEY, RegCloseKey>>;

struct RuntimeClientKey {
    HKEY root;
    const wchar_t* subkey;
};

// Probed in this order; the 32-bit view of the machine hive is reached through its explicit path.
const RuntimeClientKey kWebView2ClientKeys[] = {
    {HKEY_LOCAL_MACHINE,
     L"SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\Clients\\"
     L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"},
    {HKEY_CURRENT_USER, L"Software\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"},
};

// The runtime's version text from one client key; empty when the key, the value or its fit in 256 units is missing.
std::wstring ReadRuntimeVersion(const RuntimeClientKey& client) {
    UniqueRegKey key;
    if (RegOpenKeyExW(client.root, client.subkey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return {};

    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer);
    if (RegQueryValueExW(key.get(), L"pv", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return {};
    return std::wstring(buffer, wcsnlen(buffer, std::size(buffer)));
}

bool DownloadSetupProgram(HWND window, const std::string& url, DownloadFunction download, const std::wstring& path) {
    std::string error;  // diagnostics only; never shown
    return download(url, Utf8FromWide(path), error, [window](std::uint64_t received, std::uint64_t total) {
        OnDownloadProgress(window, received, total);
    });
}

// Set once the entry point has shown the window; manual-reset, so it stays set. It lives as long as the process,
// since a detached worker may still wait on it while the process ends.
HANDLE WindowShownEvent() {
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Opens the downloaded program so that no other process can change, replace or delete it while the handle is held,
// and, in builds that pin a publisher, checks that it carries that publisher's signature. Empty when the file cannot
// be held or the check fails.
UniqueFileHandle HoldProgram(const std::wstring& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || (IsPublisherPinned() && !IsSignedByPinnedPublisher(file.get(), path)))
        return {};
    return file;
}

// Starts the held setup program with folder as its current directory and waits for it without limit. False if it
// cannot start.
bool RunSetupProgram(HANDLE program, const std::wstring& path, const std::wstring& folder) {
    // Only a Windows program: 32-bit Windows would hand any other file that begins with "MZ" to its DOS subsystem,
    // and "start" it.
    if (!IsWholeWindowsProgramFile(program))
        return false;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &process))
        return false;
    UniqueKernelHandle thread(process.hThread);
    UniqueKernelHandle child(process.hProcess);  // declared last, so closed first
    WaitForSingleObject(child.get(), INFINITE);
    return true;
}

}  // namespace

bool IsWindowsVersionAtLeast(WORD major, WORD minor, WORD servicePackMajor) {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.wServicePackMajor = servicePackMajor;

    DWORDLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != FALSE;
}

bool IsWebView2RuntimeInstalled() {
    for (const RuntimeClientKey& client : kWebView2ClientKeys) {
        const std::wstring version = ReadRuntimeVersion(client);
        if (!version.empty() && version != L"0.0.0.0")
            return true;
    }
    return false;
}

std::string ChooseDownloadUrl() {
    // Windows 7 always gets the build that brings its own web view; the registry is not read there.
    const bool isWindows7 = IsWindowsVersionAtLeast(6, 1, 0) && !IsWindowsVersionAtLeast(6, 2, 0);
    const bool useRelease = !isWindows7 && IsWebView2RuntimeInstalled();
    return std::string("https://") + kDownloadHost + (useRelease ? kReleasePath : kWebViewPath);
}

void InstallWorker(HWND window) {
    InstallWorker(window, [](const std::string& url, const std::string& savePath, std::string& error,
                             ProgressCallback onProgress) {
        return DownloadFile(url, savePath, error, std::move(onProgress), kDownloadAttempts);
    });
}

void InstallWorker(HWND window, DownloadFunction download) {
    bool hidden = false;
    try {
        const std::string url = ChooseDownloadUrl();
        const std::wstring wideUrl = WidenAscii(url);

        // Declared before the handle to the program inside it, so that it is removed after the handle is closed.
        StagingFolder folder = StagingFolder::Create();
        const std::wstring path = folder.path() + L"\\" + kSaveName;
        if (!folder || !DownloadSetupProgram(window, url, download, path)) {
            // The window stays open, showing the last progress, until the user closes it.
            folder.Remove();
            ShowInstallFailure(window, kDownloadFailedText, wideUrl.c_str());
            return;
        }

        // Held from here until the setup program has ended: what starts elevated is what came over HTTPS.
        UniqueFileHandle program = HoldProgram(path);
        if (!program) {
            folder.Remove();
            ShowInstallFailure(window, kDownloadFailedText, wideUrl.c_str());
            return;
        }

        // A window shown after this hide would stay up over the setup program, and could be closed before the file
        // is deleted.
        WaitForSingleObject(WindowShownEvent(), INFINITE);
        ShowWindow(window, SW_HIDE);
        hidden = true;
        const bool ran = RunSetupProgram(program.get(), path, folder.path());
        program.reset();  // Windows deletes no file that is still open
        // Also after a failed start: the file is of no use to the user in a folder only administrators can open, and
        // the browser has the download page.
        folder.Remove();
        if (!ran)
            ShowInstallFailure(window, kLaunchFailedText, wideUrl.c_str());
        PostMessageW(window, WM_CLOSE, 0, 0);
    } catch (...) {
        // Memory exhaustion anywhere in the flow (the address, the download, a dialog text) is a failed download.
        try {
            ShowInstallFailure(window, kDownloadFailedText, WidenAscii(ChooseDownloadUrl()).c_str());
        } catch (...) {
        }
        if (hidden)  // a hidden window would never be closed by the user
            PostMessageW(window, WM_CLOSE, 0, 0);
    }
}

void NoteMainWindowShown() {
    SetEvent(WindowShownEvent());
}

void StartInstallWorker(HWND window) {
    StartInstallWorker(window, [](HWND worker) { std::thread([worker] { InstallWorker(worker); }).detach(); });
}

void StartInstallWorker(HWND window, void (*startThread)(HWND window)) {
    try {
        startThread(window);
    } catch (const std::system_error&) {
        ShowInstallFailure(window, kDownloadFailedText, WidenAscii(ChooseDownloadUrl()).c_str());
    }
}
