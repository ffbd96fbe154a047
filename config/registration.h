#pragma once

#include <string>

// Records this product and its distributor in the user's software registry file, %USERPROFILE%\.velmor\config.toml:
// updates the first entry with this product's id, or appends one. Never fails visibly; the installation goes on
// whatever happens here.
void RegisterProduct();

// The same for a given profile folder.
void RegisterProductInProfile(const std::wstring& profileFolder);
