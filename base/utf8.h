#pragma once

#include <string>
#include <string_view>

// UTF-8 and UTF-16 for paths and header values. Malformed input comes out with replacement characters; an empty
// result means empty input or a conversion the system refused.
std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);
