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

inline constexpr char kHexDigits[] = "0123456789abcdef";

// Lower-case hexadecimal, two digits a byte.
inline std::string ToHex(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0xF];
    }
    return text;
}

// The text with every control character (below 0x20, and 0x7F) written as an escape: \r, \n, \t, or \x and two
// hex digits. Other bytes, backslashes included, stay as they are.
inline std::string EscapeControlCharacters(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            escaped += c;
        } else if (c == '\r' || c == '\n' || c == '\t') {
            escaped += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t";
        } else {
            escaped += "\\x";
            escaped += kHexDigits[byte >> 4];
            escaped += kHexDigits[byte & 0xF];
        }
    }
    return escaped;
}
