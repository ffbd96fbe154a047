#pragma once

#include <windows.h>

// Opens downloadUrl in the browser, then asks the user, in a message box owned by owner, whether to open the
// customer-service page, and opens it on OK. Blocks until the box is answered.
void ShowInstallFailure(HWND owner, const wchar_t* firstLine, const wchar_t* downloadUrl);
