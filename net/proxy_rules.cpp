#include "net/proxy_rules.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

// The entries of a list, split at any of the separators; empty ones dropped.
std::vector<std::string_view> Entries(std::string_view list, std::string_view separators) {
    std::vector<std::string_view> entries;
    size_t start = 0;
    while (start < list.size()) {
        const size_t end = std::min(list.find_first_of(separators, start), list.size());
        if (end > start)
            entries.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Whether text matches pattern, case-insensitively, "*" matching any run of characters.
bool Matches(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(text[t])) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

}  // namespace

std::vector<std::string> ProxiesForHttps(const std::string& list) {
    std::vector<std::string> https, plain;
    for (std::string_view entry : Entries(list, std::string(kBlanks) + ";")) {
        const size_t equals = entry.find('=');
        std::vector<std::string>& into = equals == std::string_view::npos ? plain : https;
        if (equals != std::string_view::npos) {
            std::string scheme(entry.substr(0, equals));
            std::transform(scheme.begin(), scheme.end(), scheme.begin(), Lower);
            if (scheme != "https")
                continue;
            entry.remove_prefix(equals + 1);
        }
        // The proxy's own scheme: it is always spoken to in plain HTTP, and WinHTTP takes host:port alone.
        if (const size_t scheme = entry.find("://"); scheme != std::string_view::npos)
            entry.remove_prefix(scheme + 3);
        if (!entry.empty() && std::find(into.begin(), into.end(), entry) == into.end())
            into.emplace_back(entry);
    }
    return https.empty() ? plain : https;
}

bool IsBypassed(const std::string& host, const std::string& bypassList) {
    for (std::string_view entry : Entries(bypassList, std::string(kBlanks) + ";,")) {
        for (std::string_view scheme : {"http://", "https://"}) {
            if (entry.size() > scheme.size() && Matches(scheme, entry.substr(0, scheme.size())))
                entry.remove_prefix(scheme.size());
        }
        if (entry == "<local>" ? host.find('.') == std::string::npos : Matches(entry, host))
            return true;
    }
    return false;
}
