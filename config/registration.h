#pragma once

#include <string>

#include "base/desktop_user.h"

// What became of a registration, for the diagnostics log (which names them in this order).
enum class Registration {
    kWritten,     // the file holds the list
    kNoProfile,   // the profile folder is unknown
    kLeftAlone,   // the folder or the file is a link, and nothing was written
    kNotWritten,  // the file could not be written (it is read-only, held, or in the way)
};

struct RegistrationReport {
    Registration result = Registration::kNotWritten;
    DesktopUserImpersonation::Way way = DesktopUserImpersonation::Way::kFailed;  // whose rights it was done with
};

// Records this product and distributorId in the user's software registry file (%USERPROFILE%\.velmor\config.toml, as
// product.toml names them): updates the first entry with this product's id, or appends one. All of it (the profile's
// path, the read, the temporary file, the rename, the write in place) is done with the signed-in user's own rights
// where the desktop shell runs as this process's user, else with this process's (see DesktopUserImpersonation). Never
// fails visibly; the installation goes on whatever happens here.
RegistrationReport RegisterProduct(const std::string& distributorId);

// The same for a given profile folder, with the calling thread's rights as they are.
Registration RegisterProductInProfile(const std::wstring& profileFolder, const std::string& distributorId);
