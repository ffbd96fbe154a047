#pragma once

#include <string>
#include <vector>

// How the signed-in user's proxy settings (Internet Options, or what a proxy auto-configuration script answered)
// become the proxies a download tries. Text work only.

// The proxies that a list names for https addresses, as "host:port": entries separated by ";" or blanks, each
// "host:port" or "http://host:port". An entry "scheme=host:port" counts only when the scheme is https; when there is
// none for https, the entries without a scheme count. In list order, without repeats.
std::vector<std::string> ProxiesForHttps(const std::string& list);

// True when the bypass list (entries separated by ";", "," or blanks) names host. An entry matches the whole host
// name without regard to case, "*" standing for any run of characters and a leading "http://" or "https://" ignored;
// "<local>" matches every name without a dot.
bool IsBypassed(const std::string& host, const std::string& bypassList);
