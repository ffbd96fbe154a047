#include "base/plain_entry.h"

UniqueFileHandle OpenEntry(const std::wstring& path, DWORD access, DWORD share, DWORD flags) {
    return UniqueFileHandle(
        CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
}

std::wstring FinalPath(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length >= path.size()) {
        path.resize(length);
        length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    }
    path.resize(length < path.size() ? length : 0);
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool IsNoLink(HANDLE opened) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(opened, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || info.nNumberOfLinks == 1);
}

bool IsPlainEntry(HANDLE opened, const std::wstring& expected) {
    return IsNoLink(opened) && SamePath(FinalPath(opened), expected);
}

bool IsReachedWithoutLinks(HANDLE opened, const std::wstring& path) {
    // Both in one form: full, long names (GetTempPathW may give 8.3 ones), no trailing backslash, "\\?\" in front.
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return false;
    full.resize(length);
    std::wstring longName(MAX_PATH, L'\0');
    length = GetLongPathNameW(full.c_str(), longName.data(), static_cast<DWORD>(longName.size()));
    if (length == 0 || length >= longName.size())
        return false;
    longName.resize(length);
    while (longName.size() > 3 && longName.back() == L'\\')
        longName.pop_back();
    return IsPlainEntry(opened, L"\\\\?\\" + longName);
}
