#include "install/install_log.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "base/plain_entry.h"
#include "base/unique_handle.h"
#include "config/build_hosts.h"
#include "config/product.h"

namespace {

constexpr wchar_t kLogName[] = L"VelmorInstaller.log";

// Written by LogStep under g_logLock, from any thread; opened once by StartInstallLog, before other threads exist.
UniqueFileHandle g_log;
std::mutex g_logLock;

}  // namespace

void StartInstallLog() {
    if (!kLogEnabled)
        return;
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH)
        return;
    // Held without delete sharing while the file is made, so that the checked folder cannot be replaced meanwhile.
    const UniqueFileHandle folder = OpenEntry(temp, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!folder || !IsReachedWithoutLinks(folder.get(), temp))
        return;
    const std::wstring path = std::wstring(temp, length) + kLogName;
    DeleteFileW(path.c_str());  // the previous run's, or a link of that name itself, never what it points to
    g_log.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

void LogStep(const std::string& text) {
    if (!g_log)
        return;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    const std::string line = stamp + text + "\r\n";
    DWORD written = 0;
    const std::lock_guard<std::mutex> lock(g_logLock);
    WriteFile(g_log.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::string ErrorText(unsigned long code) {
    return "error " + std::to_string(code);
}

void LogRunStart() {
    if (!g_log)
        return;
    LogStep(std::string("VelmorInstaller ") + kInstallerVersion + ", channel " + DistributorId +
            (sizeof(void*) == 8 ? ", x64" : ", x86"));
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

void LogRegistration(Registration result) {
    static constexpr const char* kOutcomes[] = {"config.toml written", "no profile folder",
                                                "left alone, .velmor or config.toml is a link",
                                                "config.toml could not be written"};
    LogStep(std::string("registration: ") + kOutcomes[static_cast<int>(result)]);
}
