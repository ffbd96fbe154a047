#pragma once

#include <cstdint>
#include <span>
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

// Lower-case hexadecimal, two digits a byte.
inline std::string ToHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}
