#include "net/url.h"

#include <charconv>
#include <regex>

#include "base/ascii.h"

namespace {

constexpr std::string_view kScheme = "https://";

// Longer than any host name (253 characters) with a port. The standard library's regex engine recurses once per
// character it repeats, so long input would overflow the stack; nothing this long is a usable address anyway.
constexpr size_t kMaxAuthorityLength = 512;

}  // namespace

// The address must match "https://([^/:]+)(:(\d+))?(/.*)?" as a whole. Neither the host nor the port can hold a
// "/", so the path is everything from the first "/" after the scheme: the pattern is matched against the part
// before it, and the path, whose ".*" matches any byte but a line break, is checked directly.
bool ParseHttpsUrl(const std::string& url, std::wstring& host, int& port, std::wstring& path) {
    const size_t pathStart = url.find('/', url.rfind(kScheme, 0) == 0 ? kScheme.size() : 0);
    const std::string authority = url.substr(0, pathStart);
    const std::string_view pathText =
        pathStart == std::string::npos ? std::string_view() : std::string_view(url).substr(pathStart);
    if (authority.size() > kMaxAuthorityLength || pathText.find_first_of("\r\n") != std::string_view::npos)
        return false;

    const std::regex pattern("https://([^/:]+)(:(\\d+))?");
    std::smatch match;
    if (!std::regex_match(authority, match, pattern))
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

    host = WidenAscii(match[1].str());
    port = parsedPort;
    path = pathText.empty() ? std::wstring(L"/") : WidenAscii(pathText);
    return true;
}
