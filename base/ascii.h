#pragma once

#include <string>
#include <string_view>

// Widens byte by byte: exact for ASCII (addresses, file names), and other bytes map as Latin-1.
inline std::wstring WidenAscii(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (char c : text)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}
