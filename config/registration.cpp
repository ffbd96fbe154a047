#include "config/registration.h"

#include <windows.h>

#include <shlobj.h>

#include <filesystem>
#include <string>

#include "config/product.h"
#include "config/software_registry.h"

void RegisterProductInProfile(const std::wstring& profileFolder) {
    // A broken or huge registry file must not stop the installer: whatever goes wrong here is swallowed.
    try {
        const std::wstring folder = profileFolder + L"\\.velmor";
        CreateDirectoryW(folder.c_str(), nullptr);
        SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_HIDDEN);

        const std::filesystem::path file(folder + L"\\config.toml");
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
