#include "install/staging_folder.h"

#include <array>
#include <cstdint>

#include <bcrypt.h>
#include <sddl.h>

#include "base/ascii.h"
#include "base/plain_entry.h"

namespace {

// SYSTEM and the Administrators group, full control, passed on to files and folders inside; "P": nothing inherited.
constexpr wchar_t kAdministratorsOnly[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr int kRemoveAttempts = 20;
constexpr DWORD kRemoveRetryDelayMs = 50;

struct FindTraits {
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE search) { FindClose(search); }
};
using UniqueFind = UniqueHandle<HANDLE, FindTraits>;

// Deletes what the folder holds, depth first. A link inside (a junction or a symbolic link) is removed itself; what
// it points to is never entered.
void RemoveContents(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    const UniqueFind search(
        FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
    if (!search)
        return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = folder + L"\\" + name;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // read-only files resist deletion
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveContents(path);
            RemoveDirectoryW(path.c_str());
        } else {
            DeleteFileW(path.c_str());
        }
    } while (FindNextFileW(search.get(), &found));
}

}  // namespace

UniqueLocalMemory AdministratorsOnlySecurity() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdministratorsOnly, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return {};
    return UniqueLocalMemory(descriptor);
}

StagingFolder StagingFolder::Create() {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    std::array<std::uint8_t, 16> name{};
    const UniqueLocalMemory security = AdministratorsOnlySecurity();
    if (length == 0 || length >= MAX_PATH || !security ||
        BCryptGenRandom(nullptr, name.data(), static_cast<ULONG>(name.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        return {};

    const std::wstring path = std::wstring(windows, length) + L"\\Temp\\velmor-" + WidenAscii(ToHex(name));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), security.get(), FALSE};
    // Fails when anything has that name already, a link included: nothing that another program made is used.
    if (!CreateDirectoryW(path.c_str(), &attributes))
        return {};
    UniqueFileHandle held = OpenEntry(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OPEN_REPARSE_POINT);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!held || !GetFileInformationByHandle(held.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
        return {};  // not entered, and so not removed either
    StagingFolder folder;
    folder.path_ = path;
    folder.held_ = std::move(held);
    return folder;
}

bool StagingFolder::Remove() {
    if (path_.empty())
        return true;
    held_.reset();  // the held handle refuses the folder's own removal
    // A folder that was a child process's current directory may stay in use for a moment after the child has ended
    // (seen under Wine), and a file inside may be held for a moment by a scanner.
    for (int attempt = 1; attempt <= kRemoveAttempts; ++attempt) {
        RemoveContents(path_);
        if (RemoveDirectoryW(path_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
            path_.clear();
            return true;
        }
        if (attempt < kRemoveAttempts)
            Sleep(kRemoveRetryDelayMs);
    }
    return false;
}
