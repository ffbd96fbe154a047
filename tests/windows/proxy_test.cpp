// The questions that the download asks of proxy scripts, seen from WinHTTP's side: the options of each, answered as a
// script's server would. Wine's WinHTTP never sends credentials to a script's server, so what is offered shows only
// here.
#include "net/proxy.h"

#include <windows.h>

#include <winhttp.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "net/proxy_seams.h"

namespace {

constexpr wchar_t kConnections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr DWORD kAutoDetect = 8, kScriptAddress = 4;  // flags of DefaultConnectionSettings

// The user's Internet Options with the given flags and, with kScriptAddress, a script address.
void SetConnection(DWORD flags) {
    const std::string script = "http://localhost:1/proxy.pac";
    std::vector<std::uint8_t> value;
    const auto add = [&value](std::uint32_t number) {
        for (int shift = 0; shift < 32; shift += 8)
            value.push_back(static_cast<std::uint8_t>(number >> shift));
    };
    add(0x46), add(0), add(flags), add(0), add(0), add(static_cast<std::uint32_t>(script.size()));
    value.insert(value.end(), script.begin(), script.end());
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings", REG_BINARY, value.data(),
                              static_cast<DWORD>(value.size())),
              ERROR_SUCCESS);
}

// Each question's options, and the errors that the next questions fail with (0: answered, DIRECT).
std::vector<std::pair<DWORD, BOOL>> g_asked;
std::vector<DWORD> g_failures;

BOOL WINAPI Answer(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS* options, WINHTTP_PROXY_INFO* info) {
    g_asked.emplace_back(options->dwFlags, options->fAutoLogonIfChallenged);
    const DWORD failure = g_asked.size() <= g_failures.size() ? g_failures[g_asked.size() - 1] : 0;
    if (failure != 0) {
        SetLastError(failure);
        return FALSE;
    }
    *info = {WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
    return TRUE;
}

// Credentials are offered only to the server of a script the user configured, and only once it asked for them
// (ERROR_WINHTTP_LOGIN_FAILURE); never to whoever answers automatic detection. Every question asks for the script to
// run outside this process, unless WinHTTP refuses that flag.
TEST(ProxyQuestions, CredentialsOnlyForAConfiguredScriptThatAsksForThem) {
    constexpr DWORD kDetect = WINHTTP_AUTOPROXY_AUTO_DETECT | WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY;
    constexpr DWORD kScript = WINHTTP_AUTOPROXY_CONFIG_URL | WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY;
    constexpr DWORD kLogin = ERROR_WINHTTP_LOGIN_FAILURE;
    const struct {
        DWORD settings;
        std::vector<DWORD> failures;
        std::vector<std::pair<DWORD, BOOL>> asked;
    } cases[] = {
        {kAutoDetect, {kLogin}, {{kDetect, FALSE}}},
        {kScriptAddress, {kLogin}, {{kScript, FALSE}, {kScript, TRUE}}},
        {kScriptAddress, {ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT}, {{kScript, FALSE}}},
        {kScriptAddress, {ERROR_INVALID_PARAMETER}, {{kScript, FALSE}, {WINHTTP_AUTOPROXY_CONFIG_URL, FALSE}}},
        {kAutoDetect | kScriptAddress, {kLogin, kLogin}, {{kDetect, FALSE}, {kScript, FALSE}, {kScript, TRUE}}},
    };
    const auto real = g_getProxyForUrl;
    g_getProxyForUrl = Answer;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.settings << " " << c.failures[0]);
        ASSERT_NO_FATAL_FAILURE(SetConnection(c.settings));
        g_asked.clear();
        g_failures = c.failures;
        const RouteChoice choice = ChooseRoutes("https://localhost:1/setup", "localhost", ProxySource::kSystem);
        EXPECT_EQ(g_asked, c.asked);
        EXPECT_TRUE(choice.settled);
        EXPECT_EQ(choice.routes.back().kind, Route::kDirect);
    }
    g_getProxyForUrl = real;
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings");
}

}  // namespace
