// The downloader's pure rules: address parsing, retries and resumption, and the whole-program check.
#include <cstring>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "net/pe_image.h"
#include "net/proxy_rules.h"
#include "net/retry.h"
#include "net/url.h"
#include "wine/tools/file_bytes.h"

namespace {

TEST(ParseHttpsUrl, SplitsAcceptedAddresses) {
    const struct {
        const char* url;
        const wchar_t *host, *path;
        int port;
    } cases[] = {
        {"https://localhost:9443/a/b?x=1&y=/z", L"localhost", L"/a/b?x=1&y=/z", 9443},
        {"https://localhost", L"localhost", L"/", 443},
        {"https://h:1", L"h", L"/", 1},
        {"https://h:00065535/p", L"h", L"/p", 65535},
        {"https://h?q=1", L"h?q=1", L"/", 443},  // a query without a path is part of the host
    };
    for (const auto& c : cases) {
        std::wstring host, path;
        int port = 0;
        ASSERT_TRUE(ParseHttpsUrl(c.url, host, port, path)) << c.url;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(path, c.path);
    }
}

// Each of these leaves the outputs untouched; no host is 1 MiB long, and a path of that length must not crash.
TEST(ParseHttpsUrl, RejectsOtherAddressesWithoutWritingAnything) {
    const std::string longText(1 << 20, 'a');
    std::vector<std::string> cases = {"https://" + longText + "/", "https://localhost/" + longText + "\n"};
    for (const char* url :
         {"HTTPS://localhost/", "http://localhost/", " https://localhost/", "", "/setup/release", "https:///path",
          "https://:443/path", "https://localhost:/path", "https://localhost:-1/", "https://localhost:0/",
          "https://localhost:65536/", "https://localhost:2147483648/", "https://localhost:99999999999999999999999/",
          "https://localhost/a\nb", "https://localhost/a\rb", "https://localhost:443/\n"})
        cases.push_back(url);
    for (const std::string& url : cases) {
        std::wstring host = L"untouched", path = L"untouched";
        int port = -7;
        EXPECT_FALSE(ParseHttpsUrl(url, host, port, path)) << url.substr(0, 40);
        EXPECT_EQ(host + path, L"untoucheduntouched");
        EXPECT_EQ(port, -7);
    }
    std::wstring host, path;
    int port = 0;
    EXPECT_TRUE(ParseHttpsUrl("https://localhost/" + longText, host, port, path));
    EXPECT_TRUE(ParseHttpsUrl("https://" + std::string(253, 'h') + ":65535/", host, port, path));
}

// A few of each list: busy or broken servers and connections are retried; other statuses and secure failures not.
TEST(Retry, OnlyPassingTroubleIsRetried) {
    for (std::uint32_t status : {408u, 503u, 504u})
        EXPECT_TRUE(IsRetryableStatus(status)) << status;
    for (std::uint32_t status : {0u, 200u, 404u, 501u})
        EXPECT_FALSE(IsRetryableStatus(status)) << status;
    for (std::uint32_t error : {12029u, 12002u, 12152u})
        EXPECT_TRUE(IsRetryableNetworkError(error)) << error;
    for (std::uint32_t error : {12175u, 12157u, 12038u})
        EXPECT_FALSE(IsRetryableNetworkError(error)) << error;
}

TEST(Retry, WaitsDoubleUpToEightSecondsAndHonourRetryAfterUpToThirty) {
    const struct {
        int failed;
        std::uint32_t status;
        const char* retryAfter;
        std::uint32_t seconds;
    } cases[] = {{1, 0, "", 1},
                 {2, 500, "", 2},
                 {3, 502, "", 4},
                 {9, 0, "", 8},
                 {1, 429, "30", 30},
                 {1, 503, "31", 30},
                 {2, 503, "1", 2},
                 {1, 503, "99999999999999999999", 30},
                 {1, 500, "20", 1},
                 {1, 503, "5s", 1},
                 {1, 503, "Wed, 21 Oct 2026 07:28:00 GMT", 1}};
    for (const auto& c : cases)
        EXPECT_EQ(RetryDelaySeconds(c.failed, c.status, c.retryAfter), c.seconds) << c.failed << c.retryAfter;
}

// A strong ETag, or without one a Last-Modified at least a minute older than the response's Date.
TEST(Retry, ResumesOnlyWithRangesAndAStrongValidator) {
    const char* const date = "Wed, 21 Oct 2026 07:28:00 GMT";
    const char* const minuteLater = "Wed, 21 Oct 2026 07:29:00 GMT";
    EXPECT_EQ(ChooseResumeValidator("bytes", "\"v1\"", date, date), "\"v1\"");
    EXPECT_EQ(ChooseResumeValidator("bytes", "", date, minuteLater), date);
    EXPECT_EQ(ChooseResumeValidator("bytes", "", date, "Wed, 21 Oct 2026 07:28:59 GMT"), "");
    EXPECT_EQ(ChooseResumeValidator("bytes", "", date, ""), "");
    EXPECT_EQ(ChooseResumeValidator("bytes", "", "Wednesday, 21-Oct-26 07:28:00 GMT", minuteLater), "");
    EXPECT_EQ(ChooseResumeValidator("bytes", "W/\"v1\"", date, minuteLater), "");
    EXPECT_EQ(ChooseResumeValidator("none", "\"v1\"", date, minuteLater), "");
    // Across month, year and leap day; only the preferred form parses.
    const struct {
        const char* text;
        std::int64_t seconds;
    } dates[] = {{"Thu, 01 Jan 1970 00:00:00 GMT", 0},
                 {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
                 {"Tue, 29 Feb 2028 23:59:59 GMT", 1835481599},
                 {"Wed, 01 Mar 2028 00:00:00 GMT", 1835481600}};
    for (const auto& d : dates) {
        std::int64_t seconds = -1;
        EXPECT_TRUE(ParseHttpDate(d.text, seconds) && seconds == d.seconds) << d.text << " " << seconds;
    }
    for (const char* text :
         {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994", "Sun, 06 Nov 1994 08:49:37 UTC",
          "Sun, 06 Nox 1994 08:49:37 GMT", "Sun, 06 Nov 1994 24:49:37 GMT", "Sun, 6 Nov 1994 08:49:37 GMT", ""}) {
        std::int64_t seconds = 0;
        EXPECT_FALSE(ParseHttpDate(text, seconds)) << text;
    }
    // 30000 bytes kept of 100000: only the exact rest continues them.
    EXPECT_TRUE(ContentRangeContinues("bytes 30000-99999/100000", 30000, 100000));
    for (const char* range : {"bytes 0-99999/100000", "bytes 30001-99999/100000", "bytes 30000-99998/100000",
                              "bytes 30000-99999/100001", "bytes 30000-99999/*", "bytes */100000",
                              "items 30000-99999/100000", "bytes 30000-99999", "bytes 30000-99999/100000 ", ""})
        EXPECT_FALSE(ContentRangeContinues(range, 30000, 100000)) << range;
    EXPECT_FALSE(ContentRangeContinues("bytes 0-99/100", 0, 100));
}

// The user's proxy list for https addresses, and the bypass list.
TEST(ProxyRules, ProxiesAndBypassForHttps) {
    using List = std::vector<std::string>;
    EXPECT_EQ(ProxiesForHttps("proxy:8080"), List{"proxy:8080"});
    EXPECT_EQ(ProxiesForHttps(" a:1 ;b:2; a:1 "), (List{"a:1", "b:2"}));
    EXPECT_EQ(ProxiesForHttps("http=h:1;HTTPS=s:2;ftp=f:3"), List{"s:2"});
    EXPECT_EQ(ProxiesForHttps("http=h:1;plain:3"), List{"plain:3"});
    EXPECT_EQ(ProxiesForHttps("https=http://s:2 http://p:4"), (List{"s:2"}));
    EXPECT_EQ(ProxiesForHttps(""), List{});
    const char* const bypass = "<local>; *.corp.example, 10.*;https://Direct.Example";
    for (const char* host : {"localhost", "intranet", "a.corp.example", "10.1.2.3", "direct.example"})
        EXPECT_TRUE(IsBypassed(host, bypass)) << host;
    for (const char* host : {"download.example", "corp.example", "110.1.2.3", "direct.example.com"})
        EXPECT_FALSE(IsBypassed(host, bypass)) << host;
    EXPECT_FALSE(IsBypassed("localhost", ""));
}

// Small real programs (tests/unit/programs, made by make-programs there): PE32+, the same signed, a signed PE32.
std::string Program(const char* name) {
    return FileBytes(std::filesystem::path(VELMOR_TEST_PROGRAMS) / name);
}

ReadAtFunction ReaderOf(const std::string& bytes) {
    return [&bytes](std::uint64_t offset, std::uint64_t count, std::vector<unsigned char>& out) {
        out.assign(bytes.begin() + offset, bytes.begin() + offset + count);
        return true;
    };
}

bool IsWhole(const std::string& bytes) {
    return IsWholeWindowsProgram(bytes.size(), ReaderOf(bytes));
}

std::uint32_t Le32At(const std::string& bytes, size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);  // x86 and x64 are little-endian
    return value;
}

// Each sample ends with its last section's data or its signature, so every shorter length is a cut to be seen. A
// signature must end the file; after an unsigned image (an overlay) anything may follow. Header fields may point
// outside the file, also so far that 32-bit arithmetic would wrap. Refused too, as pe_image_fuzzer met them: headers
// without their signatures, an optional header of neither kind, or one too short for its magic or for its fixed part
// (92 bytes: the section table after it still lies within the file).
TEST(PeImage, WholeProgramsOnly) {
    for (const char* name : {"program64.exe", "program64-signed.exe", "program32-signed.exe"}) {
        SCOPED_TRACE(name);
        const std::string program = Program(name);
        ASSERT_GT(program.size(), 2048u) << "sample missing";
        EXPECT_TRUE(IsWhole(program));
        for (size_t length = 0; length < program.size(); ++length)
            ASSERT_FALSE(IsWhole(program.substr(0, length))) << "cut at " << length;
        EXPECT_EQ(IsWhole(program + "x"), name == std::string("program64.exe"));

        std::string copy = program;
        const size_t pe = Le32At(copy, 0x3C), firstSection = pe + 24 + (Le32At(copy, pe + 20) & 0xFFFF);
        const struct {
            size_t at;
            std::uint32_t value;
        } fields[] = {{0x3C, 0x7FFFFFF0},
                      {0x3C, 0xFFFFFFFF},
                      {pe + 4, 0xFFFF014C},  // machine and section count
                      {firstSection + 16, 0xFFFFFFFF},
                      {firstSection + 20, 0x7FFFFFF0},  // raw size and start
                      {0, 0},                           // "MZ"
                      {pe, 0},                          // "PE\0\0"
                      {pe + 20, 1},                     // optional header size, and characteristics
                      {pe + 20, 92},
                      {pe + 24, 0}};  // magic
        for (const auto& f : fields) {
            copy = program;
            std::memcpy(copy.data() + f.at, &f.value, 4);
            EXPECT_FALSE(IsWhole(copy)) << f.at;
        }
    }
}

// The signed samples' tables, which begin with a WIN_CERTIFICATE header (revision 2.0, PKCS#7) and end the file;
// none in the unsigned one, and none where the file is shorter than the headers say.
TEST(PeImage, CertificateTableWithinTheFile) {
    for (const char* name : {"program64.exe", "program64-signed.exe", "program32-signed.exe"}) {
        SCOPED_TRACE(name);
        const std::string program = Program(name);
        FileRange table;
        const bool signedProgram = name != std::string("program64.exe");
        ASSERT_EQ(FindCertificateTable(program.size(), ReaderOf(program), table), signedProgram);
        if (!signedProgram)
            continue;
        EXPECT_EQ(table.offset + table.size, program.size());
        EXPECT_EQ(Le32At(program, table.offset + 4), 0x00020200u);
        const std::string cut = program.substr(0, program.size() - 1);
        EXPECT_FALSE(FindCertificateTable(cut.size(), ReaderOf(cut), table));
    }
}

}  // namespace
