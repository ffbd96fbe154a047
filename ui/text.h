#pragma once

#include <string>

// Converts UTF-8 text to UTF-16, falling back to the ANSI code page when the system refuses it as UTF-8. Malformed
// UTF-8 comes out with replacement characters. An empty result means empty or unconvertible input.
std::wstring Utf8ToWide(const std::string& text);
