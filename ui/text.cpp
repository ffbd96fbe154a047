#include "ui/text.h"

#include <windows.h>

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty())
        return {};
    for (UINT codePage : {CP_UTF8, CP_ACP}) {
        const int needed = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
        if (needed >= 1) {
            std::wstring wide(needed, L'\0');
            MultiByteToWideChar(codePage, 0, text.c_str(), -1, wide.data(), needed);
            wide.resize(needed - 1);
            return wide;
        }
    }
    return {};
}
