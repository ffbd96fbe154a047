#pragma once

#include <string>

// Splits an "https://host[:port][/path]" address. The whole address must match; the scheme is case-sensitive.
// On success host is never empty, port is 443 when the address names none, and path is "/" when it has none.
// Returns false, and writes no output, when the address does not match or its port is not in 1..65535.
bool ParseHttpsUrl(const std::string& url, std::wstring& host, int& port, std::wstring& path);
