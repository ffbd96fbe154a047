#include "config/registration.h"

#include <windows.h>

#include <shlobj.h>

#include <filesystem>
#include <string>

#include "base/unique_handle.h"
#include "config/product.h"
#include "config/software_registry.h"

namespace {

// Opens an existing file or folder for its attributes and name; flags may add FILE_FLAG_OPEN_REPARSE_POINT to open a
// link itself rather than what it points to (where the system can tell them apart: Wine follows symbolic links).
UniqueFileHandle OpenEntry(const std::wstring& path, DWORD access, DWORD share, DWORD flags) {
    return UniqueFileHandle(
        CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
}

// The path that the system resolves an open handle to, every link followed; empty on failure.
std::wstring FinalPath(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length >= path.size()) {
        path.resize(length);
        length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    }
    path.resize(length < path.size() ? length : 0);
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// True when the opened entry is no link (a junction or symbolic link, or a file with another name beside this one)
// and resolves to exactly expected, a final path: any program of the user can turn the entries in the profile into
// links to places that only administrators may change. Everything is read through the handle.
bool IsPlainEntry(HANDLE opened, const std::wstring& expected) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(opened, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || info.nNumberOfLinks == 1) &&
           SamePath(FinalPath(opened), expected);
}

// The same for a file that may be missing, which is fine. The file is not held open: it is to be replaced.
bool IsMissingOrPlainFile(const std::wstring& path, const std::wstring& expected) {
    const UniqueFileHandle file =
        OpenEntry(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  FILE_FLAG_OPEN_REPARSE_POINT);
    return !file || IsPlainEntry(file.get(), expected);
}

}  // namespace

void RegisterProductInProfile(const std::wstring& profileFolder) {
    // A broken or huge registry file must not stop the installer: whatever goes wrong here is swallowed.
    try {
        const UniqueFileHandle profile =
            OpenEntry(profileFolder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        const std::wstring folder = profileFolder + L"\\.velmor";
        CreateDirectoryW(folder.c_str(), nullptr);
        // Held without FILE_SHARE_DELETE to the end, so that the checked folder cannot be renamed or replaced. An
        // open for attributes alone takes no part in sharing: listing access makes it count.
        const UniqueFileHandle pinned =
            OpenEntry(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OPEN_REPARSE_POINT);
        const std::wstring finalFolder = FinalPath(profile.get()) + L"\\.velmor";
        if (!pinned || !IsPlainEntry(pinned.get(), finalFolder))
            return;
        FILE_BASIC_INFO hiddenAlone{};
        hiddenAlone.FileAttributes = FILE_ATTRIBUTE_HIDDEN;  // zero times stay as they are
        SetFileInformationByHandle(pinned.get(), FileBasicInfo, &hiddenAlone, sizeof(hiddenAlone));

        const std::wstring filePath = folder + L"\\config.toml";
        if (!IsMissingOrPlainFile(filePath, finalFolder + L"\\config.toml"))
            return;

        const std::filesystem::path file(filePath);
        std::vector<SoftwareEntry> entries = ReadSoftwareEntries(file);

        const std::string productId = std::to_string(ProductId);
        bool found = false;
        for (SoftwareEntry& entry : entries) {
            if (entry.product_id == productId) {
                entry.distributor_id = DistributorId;
                found = true;
                break;
            }
        }
        if (!found)
            entries.push_back({ProductName, productId, DistributorId});
        WriteSoftwareEntries(file, entries);
    } catch (...) {
    }
}

void RegisterProduct() {
    wchar_t profile[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)))
        return;
    RegisterProductInProfile(profile);
}
