#include "net/url.h"

#include <charconv>
#include <regex>

namespace {

// Each byte becomes one UTF-16 unit of the same value (addresses are ASCII; other bytes map as Latin-1).
std::wstring Widen(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (char c : text)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

}  // namespace

bool ParseHttpsUrl(const std::string& url, std::wstring& host, int& port, std::wstring& path) {
    const std::regex pattern("https://([^/:]+)(:(\\d+))?(/.*)?");
    std::smatch match;
    if (!std::regex_match(url, match, pattern))
        return false;

    int parsedPort = 443;
    if (match[3].matched) {
        // A redirect can carry any digit string; one that is no TCP port is a malformed address, not an error to
        // throw. from_chars reports overflow instead of throwing.
        const std::string digits = match[3].str();
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), parsedPort);
        if (ec != std::errc() || end != digits.data() + digits.size() || parsedPort < 1 || parsedPort > 65535)
            return false;
    }

    host = Widen(match[1].str());
    port = parsedPort;
    path = match[4].matched ? Widen(match[4].str()) : std::wstring(L"/");
    return true;
}
