#pragma once

#include <windows.h>

#include <winhttp.h>

#include "base/unique_handle.h"

// What every WinHTTP session of the installer shares: the user agent it sends, and owners that close its handles.

inline constexpr wchar_t kUserAgent[] = L"VelmorInstaller/1.0";

using UniqueInternet = UniqueHandle<HINTERNET, NullEmptyTraits<HINTERNET, WinHttpCloseHandle>>;
