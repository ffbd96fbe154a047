#pragma once

#include "base/product_values.h"  // made by the build from product.toml

// What this installer installs, and through which distribution channel it was handed out.
inline constexpr char ProductName[] = VELMOR_PRODUCT_DISPLAY_NAME;  // UTF-8
inline constexpr int ProductId = VELMOR_PRODUCT_PRODUCT_ID;
// Compiled into each executable from its build's VELMOR_DISTRIBUTOR_ID (see velmor_add_hosts).
extern const char DistributorId[];

// Where the registration keeps the software registry file: a hidden folder in the user's profile, and the file in it;
// each as the part it adds to the path of the folder it is in.
inline constexpr wchar_t kConfigFolderPart[] = L"\\" VELMOR_PRODUCT_CONFIG_FOLDER;
inline constexpr wchar_t kConfigFilePart[] = L"\\" VELMOR_PRODUCT_CONFIG_FILE;
