#include "install/staging_folder.h"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include <bcrypt.h>
#include <sddl.h>

#include "base/ascii.h"
#include "base/plain_entry.h"
#include "base/product_values.h"

namespace {

// SYSTEM and the Administrators group, full control, passed on to files and folders inside; "P": nothing inherited.
constexpr wchar_t kAdministratorsOnly[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr int kRemoveAttempts = 20;
constexpr DWORD kRemoveRetryDelayMs = 50;

constexpr wchar_t kNamePrefix[] = L"" VELMOR_PRODUCT_STAGING_PREFIX;
constexpr size_t kNameDigits = 32;

struct FindTraits {
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE search) { FindClose(search); }
};
using UniqueFind = UniqueHandle<HANDLE, FindTraits>;

// %SystemRoot%\Temp; empty when it cannot be had.
std::wstring SystemTemp() {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(windows, length) + L"\\Temp";
}

// Whether name is one that StagingFolder::Create gives: the prefix and 32 lower-case hex digits.
bool IsStagingFolderName(const std::wstring& name) {
    const size_t prefix = std::size(kNamePrefix) - 1;
    return name.size() == prefix + kNameDigits && name.compare(0, prefix, kNamePrefix) == 0 &&
           name.find_first_not_of(L"0123456789abcdef", prefix) == std::wstring::npos;
}

// Opens an entry to remove it: the entry itself rather than what a link points to (where the system tells them
// apart), and without delete sharing, so that it can be neither renamed nor replaced while the handle is held.
UniqueFileHandle OpenForRemoval(const std::wstring& path, DWORD access) {
    return OpenEntry(path, access | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     FILE_FLAG_OPEN_REPARSE_POINT);
}

// The entries of a folder open with list access, "." and ".." left out, read through that handle.
std::vector<std::pair<std::wstring, bool>> ListFolder(HANDLE folder) {
    std::vector<std::pair<std::wstring, bool>> entries;  // name, and whether it is a folder (or a link to one)
    std::vector<std::uint64_t> buffer(8192);             // 64 KiB, aligned as the entries must be
    while (GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof(buffer[0])))) {
        const auto* bytes = reinterpret_cast<const BYTE*>(buffer.data());
        for (DWORD offset = 0;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + offset);
            const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                entries.emplace_back(name, (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
            if (info->NextEntryOffset == 0)
                break;
            offset += info->NextEntryOffset;
        }
    }
    return entries;
}

// Deletes what the held folder at path holds (its final path being finalPath), depth first. Only a folder that is
// exactly where it is expected and no link is entered, and it is held meanwhile; every entry is deleted by its name
// alone, which never reaches what a link points to. Read-only attributes, which resist deletion, are cleared only
// through a handle to a plain entry.
void RemoveContents(HANDLE held, const std::wstring& path, const std::wstring& finalPath) {
    for (const auto& [name, folder] : ListFolder(held)) {
        const std::wstring entry = path + L"\\" + name, finalEntry = finalPath + L"\\" + name;
        {
            const UniqueFileHandle opened = OpenForRemoval(entry, folder ? FILE_LIST_DIRECTORY : 0);
            if (opened && IsPlainEntry(opened.get(), finalEntry)) {
                FILE_BASIC_INFO plain{};
                plain.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // zero times stay as they are
                SetFileInformationByHandle(opened.get(), FileBasicInfo, &plain, sizeof(plain));
                if (folder)
                    RemoveContents(opened.get(), entry, finalEntry);
            }
        }
        if (folder)
            RemoveDirectoryW(entry.c_str());
        else
            DeleteFileW(entry.c_str());
    }
}

// Removes the folder at path, which must resolve to exactly finalPath, with everything inside (see RemoveContents):
// held without delete sharing while its contents go, then deleted through that handle. False when it cannot be so
// opened (another program holds it: a running installer holds its own), is not that plain folder, or is not empty in
// the end; the thread's last error then says which, ERROR_FILE_NOT_FOUND when it is gone.
bool RemoveTree(const std::wstring& path, const std::wstring& finalPath) {
    const UniqueFileHandle folder = OpenForRemoval(path, DELETE | FILE_LIST_DIRECTORY);
    if (!folder)
        return false;
    if (!IsPlainEntry(folder.get(), finalPath)) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    RemoveContents(folder.get(), path, finalPath);
    FILE_DISPOSITION_INFO dispose{TRUE};
    return SetFileInformationByHandle(folder.get(), FileDispositionInfo, &dispose, sizeof(dispose));
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
    const std::wstring temp = SystemTemp();
    std::array<std::uint8_t, kNameDigits / 2> name{};
    const UniqueLocalMemory security = AdministratorsOnlySecurity();
    if (temp.empty() || !security ||
        BCryptGenRandom(nullptr, name.data(), static_cast<ULONG>(name.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        return {};

    const std::wstring path = temp + L"\\" + kNamePrefix + WidenAscii(ToHex(name));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), security.get(), FALSE};
    // Fails when anything has that name already, a link included: nothing that another program made is used.
    if (!CreateDirectoryW(path.c_str(), &attributes))
        return {};
    UniqueFileHandle held = OpenEntry(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OPEN_REPARSE_POINT);
    const std::wstring finalPath = held ? FinalPath(held.get()) : std::wstring();
    if (!held || !IsPlainEntry(held.get(), finalPath))
        return {};  // not entered, and so not removed either
    StagingFolder folder;
    folder.path_ = path;
    folder.finalPath_ = finalPath;
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
        if (RemoveTree(path_, finalPath_) || GetLastError() == ERROR_FILE_NOT_FOUND) {
            path_.clear();
            return true;
        }
        if (attempt < kRemoveAttempts)
            Sleep(kRemoveRetryDelayMs);
    }
    return false;
}

int RemoveEarlierStagingFolders() {
    const std::wstring temp = SystemTemp();
    const UniqueFileHandle root =
        temp.empty() ? UniqueFileHandle()
                     : OpenEntry(temp, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    const std::wstring finalRoot = root ? FinalPath(root.get()) : std::wstring();
    WIN32_FIND_DATAW found{};
    const UniqueFind search(finalRoot.empty()
                                ? INVALID_HANDLE_VALUE
                                : FindFirstFileExW((temp + L"\\" + kNamePrefix + L"*").c_str(), FindExInfoBasic, &found,
                                                   FindExSearchNameMatch, nullptr, 0));
    int removed = 0;
    if (!search)
        return removed;
    do {
        const std::wstring name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsStagingFolderName(name) &&
            RemoveTree(temp + L"\\" + name, finalRoot + L"\\" + name))
            ++removed;
    } while (FindNextFileW(search.get(), &found));
    return removed;
}
