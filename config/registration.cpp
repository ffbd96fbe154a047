#include "config/registration.h"

#include <windows.h>

#include <shlobj.h>

#include <filesystem>
#include <string>

#include "base/desktop_user.h"
#include "base/desktop_user_seams.h"
#include "base/plain_entry.h"
#include "config/product.h"
#include "config/software_registry.h"

namespace {

// The same for a file that may be missing, which is fine. The file is not held open: it is to be replaced.
bool IsMissingOrPlainFile(const std::wstring& path, const std::wstring& expected) {
    const UniqueFileHandle file =
        OpenEntry(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  FILE_FLAG_OPEN_REPARSE_POINT);
    return !file || IsPlainEntry(file.get(), expected);
}

}  // namespace

Registration RegisterProductInProfile(const std::wstring& profileFolder, const std::string& distributorId) {
    // A broken or huge registry file must not stop the installer: whatever goes wrong here is swallowed.
    try {
        const UniqueFileHandle profile =
            OpenEntry(profileFolder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        const std::wstring folder = profileFolder + kConfigFolderPart;
        CreateDirectoryW(folder.c_str(), nullptr);
        // Held without FILE_SHARE_DELETE to the end, so that the checked folder cannot be renamed or replaced. An
        // open for attributes alone takes no part in sharing: listing access makes it count.
        const UniqueFileHandle pinned =
            OpenEntry(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OPEN_REPARSE_POINT);
        const std::wstring finalFolder = FinalPath(profile.get()) + kConfigFolderPart;
        if (!pinned || !IsPlainEntry(pinned.get(), finalFolder))
            return Registration::kLeftAlone;
        FILE_BASIC_INFO hiddenAlone{};
        hiddenAlone.FileAttributes = FILE_ATTRIBUTE_HIDDEN;  // zero times stay as they are
        SetFileInformationByHandle(pinned.get(), FileBasicInfo, &hiddenAlone, sizeof(hiddenAlone));

        const std::wstring filePath = folder + kConfigFilePart;
        if (!IsMissingOrPlainFile(filePath, finalFolder + kConfigFilePart))
            return Registration::kLeftAlone;

        const std::filesystem::path file(filePath);
        std::vector<SoftwareEntry> entries = ReadSoftwareEntries(file);

        const std::string productId = std::to_string(ProductId);
        bool found = false;
        for (SoftwareEntry& entry : entries) {
            if (entry.product_id == productId) {
                entry.distributor_id = distributorId;
                found = true;
                break;
            }
        }
        if (!found)
            entries.push_back({ProductName, productId, distributorId});
        if (g_userPlaceWriteProbe)
            g_userPlaceWriteProbe();
        return WriteSoftwareEntries(file, entries) ? Registration::kWritten : Registration::kNotWritten;
    } catch (...) {
        return Registration::kNotWritten;
    }
}

RegistrationReport RegisterProduct(const std::string& distributorId) {
    // Reverted when this returns, exceptions included: the registration swallows every one of its own.
    const DesktopUserImpersonation asUser;
    RegistrationReport report;
    report.way = asUser.way();
    wchar_t profile[MAX_PATH] = {};
    report.result = FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile))
                        ? Registration::kNoProfile
                        : RegisterProductInProfile(profile, distributorId);
    return report;
}
