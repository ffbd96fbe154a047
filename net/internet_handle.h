#pragma once

#include <windows.h>

#include <winhttp.h>

#include "base/product_values.h"
#include "base/unique_handle.h"

// What every WinHTTP session of the installer shares: the user agent it sends, and owners that close its handles.

inline constexpr wchar_t kUserAgent[] = L"" VELMOR_PRODUCT_USER_AGENT;

using UniqueInternet = UniqueHandle<HINTERNET, NullEmptyTraits<HINTERNET, WinHttpCloseHandle>>;
