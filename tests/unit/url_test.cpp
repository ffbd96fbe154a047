#include "net/url.h"

#include <gtest/gtest.h>

namespace {

struct UrlCase {
    const char* url;
    const wchar_t* host;
    int port;
    const wchar_t* path;
};

const UrlCase kAcceptedUrls[] = {
    {"https://download.velmor.example/velmor-cap/release", L"download.velmor.example", 443, L"/velmor-cap/release"},
    {"https://localhost:9443/a/b?x=1&y=/z", L"localhost", 9443, L"/a/b?x=1&y=/z"},
    {"https://localhost:9443", L"localhost", 9443, L"/"},  // port, no path
    {"https://localhost", L"localhost", 443, L"/"},        // neither
    {"https://localhost/", L"localhost", 443, L"/"},
    {"https://h:1/", L"h", 1, L"/"},
    {"https://h:65535/", L"h", 65535, L"/"},
    {"https://h:00443/p", L"h", 443, L"/p"},
    {"https://h?q=1", L"h?q=1", 443, L"/"},  // a query without a path is part of the host
    {"https://h/path with spaces", L"h", 443, L"/path with spaces"},
    {"https://a\nb/p", L"a\nb", 443, L"/p"},  // the host takes any byte but ":" and "/"
    {"https://h/a/https://x:1/", L"h", 443, L"/a/https://x:1/"},
};

// Each of these leaves the outputs untouched.
const char* const kRejectedUrls[] = {
    "HTTPS://localhost/",  // the scheme is case-sensitive
    "Https://localhost/",
    "http://localhost/",
    " https://localhost/",  // text before the scheme
    "xhttps://localhost/",
    "https:///path",  // empty host
    "https://:443/path",
    "https://",
    "https://localhost:/path",  // colon without digits
    "https://localhost:abc/",
    "https://localhost:-1/",
    "https://localhost:0/",  // out of the port range
    "https://localhost:65536/",
    "https://localhost:2147483647/",
    "https://localhost:2147483648/",  // does not fit an int
    "https://localhost:99999999999999999999999/",
    "https://localhost/a\nb",  // "." does not take a line break
    "https://localhost/a\rb",
    "https://localhost:443/\n",
    "",
    "/velmor-cap/release",  // a relative redirect target
};

TEST(ParseHttpsUrl, SplitsAcceptedAddresses) {
    for (const UrlCase& c : kAcceptedUrls) {
        SCOPED_TRACE(c.url);
        std::wstring host;
        int port = 0;
        std::wstring path;
        ASSERT_TRUE(ParseHttpsUrl(c.url, host, port, path));
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(path, c.path);
    }
}

TEST(ParseHttpsUrl, RejectsOtherAddressesWithoutWritingAnything) {
    for (const char* url : kRejectedUrls) {
        SCOPED_TRACE(url);
        std::wstring host = L"untouched";
        int port = -7;
        std::wstring path = L"untouched";
        EXPECT_FALSE(ParseHttpsUrl(url, host, port, path));
        EXPECT_EQ(host, L"untouched");
        EXPECT_EQ(port, -7);
        EXPECT_EQ(path, L"untouched");
    }
}

TEST(ParseHttpsUrl, LongAddressesNeitherCrashNorPass) {
    // A redirect target is at most 2047 UTF-16 units, each up to 3 bytes of UTF-8; far longer ones must not crash.
    std::wstring host;
    int port = 0;
    std::wstring path;
    for (size_t length : {size_t{3 * 2047}, size_t{1} << 20}) {
        SCOPED_TRACE(length);
        const std::string tail(length, 'a');
        ASSERT_TRUE(ParseHttpsUrl("https://localhost/" + tail, host, port, path));
        EXPECT_EQ(path.size(), length + 1);
        EXPECT_FALSE(ParseHttpsUrl("https://localhost/" + tail + "\n", host, port, path));
        EXPECT_FALSE(ParseHttpsUrl("https://" + tail + "/", host, port, path));  // no host is that long
    }
    const std::string longestHost(253, 'h');
    ASSERT_TRUE(ParseHttpsUrl("https://" + longestHost + ":65535/", host, port, path));
    EXPECT_EQ(host.size(), 253u);
}

TEST(ParseHttpsUrl, WidensEveryByteToOneUnit) {
    std::wstring host;
    int port = 0;
    std::wstring path;
    ASSERT_TRUE(ParseHttpsUrl("https://h/\xE5\xBD\x95", host, port, path));
    EXPECT_EQ(path, std::wstring(L"/\u00E5\u00BD\u0095"));
}

}  // namespace
