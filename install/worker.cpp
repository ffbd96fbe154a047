#include "install/worker.h"

#include <algorithm>
#include <cwchar>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "base/held_file.h"
#include "base/product_values.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "config/build_hosts.h"
#include "install/failure_dialog.h"
#include "install/install_log.h"
#include "install/progress.h"
#include "install/publisher.h"
#include "install/staging_folder.h"
#include "install/worker_steps.h"
#include "net/download.h"
#include "net/pe_image.h"

namespace {

constexpr wchar_t kSaveName[] = L"" VELMOR_PRODUCT_SETUP_NAME;

constexpr wchar_t kDownloadFailedText[] = L"" VELMOR_PRODUCT_DOWNLOAD_FAILED;
constexpr wchar_t kLaunchFailedText[] = L"" VELMOR_PRODUCT_LAUNCH_FAILED;

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

// One line of the diagnostics log for a request of the download.
void LogTry(const TryReport& report) {
    std::string line = "attempt " + std::to_string(report.attempt) + " via " + report.route + ": " + report.outcome;
    line += ", status " + std::to_string(report.status) + ", " + ErrorText(report.error) + ", " +
            std::to_string(report.bytes) + " bytes, " + std::to_string(report.milliseconds) + " ms";
    if (report.waitSeconds != 0)
        line += "; next attempt in " + std::to_string(report.waitSeconds) + " s";
    LogStep(line);
}

bool DownloadSetupProgram(HWND window, const std::string& url, DownloadFunction download, const std::wstring& path) {
    std::string error;  // diagnostics only; never shown
    const bool done = download(url, Utf8FromWide(path), error, [window](std::uint64_t received, std::uint64_t total) {
        OnDownloadProgress(window, received, total);
    });
    LogStep(done ? "downloaded to " + Utf8FromWide(path) : "download failed: " + error);
    return done;
}

// Set once the entry point has shown the window; manual-reset, so it stays set. It lives as long as the process,
// since a detached worker may still wait on it while the process ends.
HANDLE WindowShownEvent() {
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Opens the downloaded program so that no other process can change, replace or delete it while the handle is held,
// waiting while another program (a virus scanner) holds it for a moment. Empty when it cannot be held.
UniqueFileHandle HoldProgram(const std::wstring& path) {
    UniqueFileHandle file;
    const bool held = RetryWhileHeld([&] {
        file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(file);
    });
    if (!held) {
        const DWORD error = GetLastError();
        LogStep(error == ERROR_FILE_NOT_FOUND ? "the setup program vanished after the download (quarantined?)"
                                              : "the setup program cannot be held: " + ErrorText(error));
    }
    return file;
}

// In builds that pin a publisher: whether the held program carries that publisher's signature.
bool IsFromPinnedPublisher(HANDLE program, const std::wstring& path) {
    if (!IsPublisherPinned()) {
        LogStep("publisher: not checked (none pinned)");
        return true;
    }
    const bool signedByPublisher = IsSignedByPinnedPublisher(program, path);
    LogStep(signedByPublisher ? "publisher: signed by the pinned publisher" : "publisher: NOT the pinned publisher's");
    return signedByPublisher;
}

// How the downloaded program fared.
enum class Launch { kNotHeld, kNotStarted, kRan };

// Holds the downloaded program from here until it has ended, so that what starts elevated is what came over HTTPS
// (and, where a publisher is pinned, carries its signature); hides the window once the entry point has shown it, and
// runs the program from folder. The handle is released when this returns, so that the caller can remove the folder
// with the file: Windows deletes no file that is still open.
Launch LaunchHeldProgram(HWND window, const std::wstring& path, const std::wstring& folder, bool& hidden) {
    const UniqueFileHandle program = HoldProgram(path);
    if (!program || !IsFromPinnedPublisher(program.get(), path))
        return Launch::kNotHeld;
    // A window shown after this hide would stay up over the setup program, and could be closed before the file is
    // deleted.
    WaitForSingleObject(WindowShownEvent(), INFINITE);
    ShowWindow(window, SW_HIDE);
    hidden = true;
    return RunSetupProgram(program.get(), path, folder) ? Launch::kRan : Launch::kNotStarted;
}

using UniqueEnvironmentStrings = UniqueHandle<wchar_t*, NullEmptyTraits<wchar_t*, FreeEnvironmentStringsW>>;

// The name of an environment entry "NAME=value"; a name may begin with "=" (the current directories of drives).
std::wstring_view EntryName(std::wstring_view entry) {
    return entry.substr(0, entry.find(L'=', 1));
}

// This process's environment with TEMP and TMP naming temp, as an environment block: its entries sorted by name, as
// Windows keeps them, each ended by a null and the block by another. Empty when the environment cannot be read.
std::vector<wchar_t> EnvironmentWithTemp(const std::wstring& temp) {
    const UniqueEnvironmentStrings strings(GetEnvironmentStringsW());
    if (!strings)
        return {};
    const auto isTemp = [](std::wstring_view name) {
        return CompareStringOrdinal(name.data(), static_cast<int>(name.size()), L"TEMP", -1, TRUE) == CSTR_EQUAL ||
               CompareStringOrdinal(name.data(), static_cast<int>(name.size()), L"TMP", -1, TRUE) == CSTR_EQUAL;
    };
    std::vector<std::wstring> entries;
    for (const wchar_t* at = strings.get(); *at; at += wcslen(at) + 1) {
        if (!isTemp(EntryName(at)))
            entries.emplace_back(at);
    }
    entries.push_back(L"TEMP=" + temp);
    entries.push_back(L"TMP=" + temp);
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        const std::wstring_view first = EntryName(a), second = EntryName(b);
        return CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                                    static_cast<int>(second.size()), TRUE) == CSTR_LESS_THAN;
    });
    std::vector<wchar_t> block;
    for (const std::wstring& entry : entries)
        block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    block.push_back(L'\0');
    return block;
}

}  // namespace

bool RunSetupProgram(HANDLE program, const std::wstring& path, const std::wstring& folder) {
    // Only a Windows program: 32-bit Windows would hand any other file that begins with "MZ" to its DOS subsystem,
    // and "start" it.
    if (!IsWholeWindowsProgramFile(program)) {
        LogStep("the setup program is no whole Windows program: not started");
        return false;
    }
    // Setup programs unpack helper DLLs into their temporary folder and load them elevated: theirs is a new one in
    // the protected folder (removed with it), not the user's, where any program of the user may write.
    const std::wstring inside = folder + L"\\temp";
    const std::vector<wchar_t> environment =
        EnvironmentWithTemp(CreateDirectoryW(inside.c_str(), nullptr) ? inside : folder);
    if (environment.empty()) {
        LogStep("the setup program's environment cannot be made: " + ErrorText(GetLastError()));
        return false;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    // Access denied means that a policy forbids the start, which waiting does not change.
    if (!RetryWhileHeld(
            [&] {
                return CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                                      const_cast<wchar_t*>(environment.data()), folder.c_str(), &startup,
                                      &process) != FALSE;
            },
            HoldErrors::kSharingOrLock)) {
        LogStep("the setup program failed to start: " + ErrorText(GetLastError()));
        return false;
    }
    UniqueKernelHandle thread(process.hThread);
    UniqueKernelHandle child(process.hProcess);  // declared last, so closed first
    LogStep("setup program started");
    WaitForSingleObject(child.get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(child.get(), &exitCode);
    LogStep("setup program ended with exit code " + std::to_string(exitCode));
    return true;
}

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

std::wstring FindWebView2RuntimeVersion() {
    for (const RuntimeClientKey& client : kWebView2ClientKeys) {
        const std::wstring version = ReadRuntimeVersion(client);
        if (!version.empty() && version != L"0.0.0.0")
            return version;
    }
    return {};
}

bool IsWebView2RuntimeInstalled() {
    return !FindWebView2RuntimeVersion().empty();
}

BuildChoice ChooseBuild() {
    // Windows 7 always gets the build that brings its own web view; the registry is not read there.
    const bool isWindows7 = IsWindowsVersionAtLeast(6, 1, 0) && !IsWindowsVersionAtLeast(6, 2, 0);
    const std::wstring runtime = isWindows7 ? std::wstring() : FindWebView2RuntimeVersion();
    const std::string reason = isWindows7        ? "Windows 7"
                               : runtime.empty() ? "no WebView2 Runtime registered"
                                                 : "WebView2 Runtime " + Utf8FromWide(runtime);
    return {std::string("https://") + kDownloadHost + (runtime.empty() ? kWebViewPath : kReleasePath), reason};
}

std::string ChooseDownloadUrl() {
    return ChooseBuild().url;
}

void InstallWorker(HWND window) {
    InstallWorker(window, [](const std::string& url, const std::string& savePath, std::string& error,
                             ProgressCallback onProgress) {
        DownloadOptions options;
        options.attempts = kDownloadAttempts;
        options.proxy = kProxyFromSystem ? ProxySource::kSystem : ProxySource::kWinHttp;
        options.onTry = LogTry;
        return DownloadFile(url, savePath, error, std::move(onProgress), options);
    });
}

void InstallWorker(HWND window, DownloadFunction download) {
    bool hidden = false;
    try {
        const BuildChoice build = ChooseBuild();
        LogStep("address " + build.url + " (" + build.reason + ")");
        const std::wstring wideUrl = WidenAscii(build.url);
        LogStep("staging folders of earlier runs removed: " + std::to_string(RemoveEarlierStagingFolders()));

        // Removed with what it holds below, and by its owner on every other way out of this block.
        StagingFolder folder = StagingFolder::Create();
        LogStep(folder ? "staging folder " + Utf8FromWide(folder.path())
                       : "no staging folder could be made: " + ErrorText(GetLastError()));
        const std::wstring path = folder.path() + L"\\" + kSaveName;
        if (!folder || !DownloadSetupProgram(window, build.url, download, path)) {
            // The window stays open, showing the last progress, until the user closes it.
            folder.Remove();
            ShowInstallFailure(window, kDownloadFailedText, wideUrl.c_str());
            return;
        }

        const Launch launch = LaunchHeldProgram(window, path, folder.path(), hidden);
        // Also after a failed start: the file is of no use to the user in a folder only administrators can open, and
        // the browser has the download page.
        LogStep(folder.Remove() ? "staging folder removed"
                                : "staging folder not removed: " + ErrorText(GetLastError()));
        if (launch == Launch::kNotHeld) {
            ShowInstallFailure(window, kDownloadFailedText, wideUrl.c_str());
            return;
        }
        if (launch == Launch::kNotStarted)
            ShowInstallFailure(window, kLaunchFailedText, wideUrl.c_str());
        PostMessageW(window, WM_CLOSE, 0, 0);
    } catch (...) {
        // Memory exhaustion anywhere in the flow (the address, the download, a dialog text) is a failed download.
        try {
            LogStep("stopped by an exception");
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
