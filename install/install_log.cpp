#include "install/install_log.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <new>

#include "base/ascii.h"
#include "base/desktop_user.h"
#include "base/desktop_user_seams.h"
#include "base/plain_entry.h"
#include "base/product_values.h"
#include "base/unique_handle.h"
#include "config/build_hosts.h"
#include "install/own_channel.h"

namespace {

constexpr wchar_t kLogName[] = L"" VELMOR_PRODUCT_LOG_NAME;

// The open log. Made once by StartInstallLog, before other threads exist, and never destroyed: a detached worker may
// still log while the process's static objects are destroyed at its end.
struct InstallLog {
    UniqueFileHandle file;
    std::mutex lock;  // around each line's write
    DesktopUserImpersonation::Way createdAs = DesktopUserImpersonation::Way::kFailed;
};
InstallLog* g_log = nullptr;

}  // namespace

void StartInstallLog() {
    if (!kLogEnabled)
        return;
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH)
        return;
    // %TEMP% is the user's: the file is made with the user's rights, so that a link there leads nowhere the user could
    // not write anyway. The handle is used with the process's own rights from then on.
    const DesktopUserImpersonation asUser;
    // Held without delete sharing while the file is made, so that the checked folder cannot be replaced meanwhile.
    const UniqueFileHandle folder = OpenEntry(temp, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!folder || !IsReachedWithoutLinks(folder.get(), temp))
        return;
    const std::wstring path = std::wstring(temp, length) + kLogName;
    DeleteFileW(path.c_str());  // the previous run's, or a link of that name itself, never what it points to
    if (g_userPlaceWriteProbe)
        g_userPlaceWriteProbe();
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file)
        return;
    g_log = new (std::nothrow) InstallLog{std::move(file), {}, asUser.way()};
}

void LogStep(const std::string& text) {
    if (!g_log)
        return;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    // Values in a line may come from the user's registry or from a server: one step stays one line.
    const std::string line = stamp + EscapeControlCharacters(text) + "\r\n";
    DWORD written = 0;
    const std::lock_guard<std::mutex> lock(g_log->lock);
    WriteFile(g_log->file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::string ErrorText(unsigned long code) {
    return "error " + std::to_string(code);
}

void LogRunStart() {
    if (!g_log)
        return;
    LogStep(std::string(VELMOR_PRODUCT_PROGRAM_NAME " ") + kInstallerVersion + ", channel " +
            DistributorIdOfThisInstaller() + (sizeof(void*) == 8 ? ", x64" : ", x86"));
    LogStep(std::string("log created ") + DescribeWay(g_log->createdAs));
    // The version as it is, not as the compatibility layer tells a program built for older Windows.
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    const auto getVersion = reinterpret_cast<RtlGetVersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (getVersion && getVersion(&version) == 0) {
        LogStep("Windows " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) +
                "." + std::to_string(version.dwBuildNumber) + " service pack " +
                std::to_string(version.wServicePackMajor));
    }
}

void LogRegistration(const RegistrationReport& report) {
    const char* outcome = "";
    switch (report.result) {
        case Registration::kWritten:
            outcome = VELMOR_PRODUCT_CONFIG_FILE " written";
            break;
        case Registration::kNoProfile:
            outcome = "no profile folder";
            break;
        case Registration::kLeftAlone:
            outcome = "left alone, " VELMOR_PRODUCT_CONFIG_FOLDER " or " VELMOR_PRODUCT_CONFIG_FILE " is a link";
            break;
        case Registration::kNotWritten:
            outcome = VELMOR_PRODUCT_CONFIG_FILE " could not be written";
            break;
    }
    LogStep(std::string("registration: ") + outcome + ", " + DescribeWay(report.way));
}
