#pragma once

#include <windows.h>

#include <string>

#include "base/unique_handle.h"

// Checks that an elevated write reaches the file or folder it names and nothing else: every program of the user can
// turn entries of the user's own folders into links (junctions, symbolic links, hard links) to places that only
// administrators may change.

// Opens an existing file or folder; flags may add FILE_FLAG_OPEN_REPARSE_POINT to open a link itself rather than what
// it points to (where the system can tell them apart: Wine follows symbolic links).
UniqueFileHandle OpenEntry(const std::wstring& path, DWORD access, DWORD share, DWORD flags);

// The path that the system resolves an open handle to, every link followed, as GetFinalPathNameByHandleW gives it
// ("\\?\C:\..."); empty on failure.
std::wstring FinalPath(HANDLE handle);

// Case-insensitive equality of two non-empty paths.
bool SamePath(const std::wstring& a, const std::wstring& b);

// True when the opened entry is no link: no junction or symbolic link, and, for a file, no file with another name
// beside this one (a hard link). Read through the handle.
bool IsNoLink(HANDLE opened);

// True when the opened entry is no link (IsNoLink) and resolves to exactly expected, a final path. Everything is read
// through the handle.
bool IsPlainEntry(HANDLE opened, const std::wstring& expected);

// True when the opened folder is the one that path (absolute, in any form) names without passing any link: its final
// path is path itself.
bool IsReachedWithoutLinks(HANDLE opened, const std::wstring& path);
