#include "net/proxy.h"

#include <windows.h>

#include <winhttp.h>

#include <memory>

#include <winsock2.h>

#include "base/ascii.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "net/internet_handle.h"
#include "net/proxy_rules.h"

namespace {

using UniqueGlobalString = UniqueHandle<LPWSTR, NullEmptyTraits<LPWSTR, GlobalFree>>;

std::string Narrow(const UniqueGlobalString& text) {
    return text ? Utf8FromWide(text.get()) : std::string();
}

// What a PAC script (at its address, or found by automatic detection) answers for url: whether it answered, and the
// proxies to try, in its order (none: go direct).
struct PacAnswer {
    bool answered = false;
    std::vector<std::string> proxies;
};

// One question to WinHTTP: by automatic detection (WPAD), or of the script at scriptUrl.
PacAnswer AskPacScript(const std::wstring& url, const std::wstring& scriptUrl) {
    PacAnswer answer;
    // The script is fetched directly, never through a proxy of its own.
    UniqueInternet session(
        WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return answer;
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (scriptUrl.empty()) {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl.c_str();
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info))
        return answer;
    const UniqueGlobalString proxy(info.lpszProxy), bypass(info.lpszProxyBypass);
    answer.answered = true;
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
        answer.proxies = ProxiesForHttps(Narrow(proxy));
    return answer;
}

// A question to a script asked on a thread of its own, and its answer once done is set.
struct PacTask {
    std::wstring url, scriptUrl;
    PacAnswer answer;
    UniqueKernelHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// The thread's body; its parameter is a std::shared_ptr<PacTask> that the thread owns.
DWORD WINAPI AnswerPacTask(void* parameter) {
    const std::unique_ptr<std::shared_ptr<PacTask>> task(static_cast<std::shared_ptr<PacTask>*>(parameter));
    (*task)->answer = AskPacScript((*task)->url, (*task)->scriptUrl);
    SetEvent((*task)->done.get());
    return 0;
}

// The same, given up after kProxyDiscoveryMs: neither WinHTTP's timeouts nor closing its session bound this call
// (a WPAD or script server that never answers holds it for good, and name resolution for automatic detection for
// seconds). A late answer is dropped by the thread that asked, which ends with it, or with the process.
PacAnswer AskPacScriptWithin(const std::wstring& url, const std::wstring& scriptUrl) {
    const auto task = std::make_shared<PacTask>();
    task->url = url;
    task->scriptUrl = scriptUrl;
    auto* shared = new std::shared_ptr<PacTask>(task);
    const UniqueKernelHandle thread(task->done ? CreateThread(nullptr, 0, AnswerPacTask, shared, 0, nullptr) : nullptr);
    if (!thread) {
        delete shared;
        return {};
    }
    if (WaitForSingleObject(task->done.get(), kProxyDiscoveryMs) != WAIT_OBJECT_0)
        return {};
    return task->answer;
}

}  // namespace

std::string Route::Describe() const {
    switch (kind) {
        case kWinHttpDefault:
            return "WinHTTP default";
        case kDirect:
            return "direct";
        case kProxy:
            return "proxy " + Utf8FromWide(proxy);
    }
    return {};
}

std::vector<Route> ChooseRoutes(const std::string& url, const std::string& host, ProxySource source) {
    if (source == ProxySource::kWinHttp)
        return {Route{}};
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    std::vector<std::string> proxies;
    if (WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        const UniqueGlobalString scriptUrl(config.lpszAutoConfigUrl), proxy(config.lpszProxy),
            bypass(config.lpszProxyBypass);
        // As Internet Options do: automatic detection first, when it is ticked, then the script's address, then the
        // fixed proxy. (Asking WinHTTP for both in one call fails under Wine.)
        PacAnswer answer;
        if (config.fAutoDetect)
            answer = AskPacScriptWithin(WidenAscii(url), L"");
        if (!answer.answered && scriptUrl)
            answer = AskPacScriptWithin(WidenAscii(url), scriptUrl.get());
        if (answer.answered)
            proxies = answer.proxies;
        else if (proxy && !IsBypassed(host, Narrow(bypass)))
            proxies = ProxiesForHttps(Narrow(proxy));
    }
    std::vector<Route> routes;
    for (const std::string& proxy : proxies)
        routes.push_back({Route::kProxy, WideFromUtf8(proxy)});
    routes.push_back({Route::kDirect, {}});
    return routes;
}

bool IsRouteFailure(unsigned long error) {
    // Wine answers a proxy that refuses the tunnel (403, 407) as a failed secure channel, and a wait that timed out
    // with the socket's own error.
    return error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
           error == ERROR_WINHTTP_CONNECTION_ERROR || error == ERROR_WINHTTP_TIMEOUT ||
           error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE || error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR ||
           error == WSAETIMEDOUT;
}
