#pragma once

#include <string>

// What became of a registration, for the diagnostics log (which names them in this order).
enum class Registration {
    kWritten,     // the file holds the list
    kNoProfile,   // the profile folder is unknown
    kLeftAlone,   // the folder or the file is a link, and nothing was written
    kNotWritten,  // the file could not be written (it is read-only, held, or in the way)
};

// Records this product and its distributor in the user's software registry file, %USERPROFILE%\.velmor\config.toml:
// updates the first entry with this product's id, or appends one. Never fails visibly; the installation goes on
// whatever happens here.
Registration RegisterProduct();

// The same for a given profile folder.
Registration RegisterProductInProfile(const std::wstring& profileFolder);
