#include "net/proxy.h"

#include <windows.h>

#include <winhttp.h>

#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include <winsock2.h>

#include "base/ascii.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "net/internet_handle.h"
#include "net/proxy_rules.h"
#include "net/proxy_seams.h"

namespace {

using UniqueGlobalString = UniqueHandle<LPWSTR, NullEmptyTraits<LPWSTR, GlobalFree>>;

std::string Narrow(const UniqueGlobalString& text) {
    return text ? Utf8FromWide(text.get()) : std::string();
}

// What a PAC script (at its address, or found by automatic detection) answers for url: whether it answered, and the
// proxies to try, in its order (none: go direct); late when it gave no answer in time, which may still come.
struct PacAnswer {
    bool answered = false;
    bool late = false;
    std::vector<std::string> proxies;
};

BOOL WINAPI AskWinHttp(HINTERNET session,
                       const wchar_t* url,
                       WINHTTP_AUTOPROXY_OPTIONS* options,
                       WINHTTP_PROXY_INFO* info) {
    return WinHttpGetProxyForUrl(session, url, options, info);
}

// WinHTTP's answer to one question, with the user's credentials offered only where the user configured the script
// and its server asked for them: never to whoever answers automatic detection.
bool GetProxyForUrl(HINTERNET session,
                    const wchar_t* url,
                    WINHTTP_AUTOPROXY_OPTIONS& options,
                    WINHTTP_PROXY_INFO& info) {
    options.fAutoLogonIfChallenged = FALSE;
    if (g_getProxyForUrl(session, url, &options, &info))
        return true;
    // A WinHTTP that cannot run the script outside this process refuses the flag; Wine accepts it and runs the script
    // in this process.
    if (GetLastError() == ERROR_INVALID_PARAMETER) {
        options.dwFlags &= ~WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY;
        if (g_getProxyForUrl(session, url, &options, &info))
            return true;
    }
    if (!(options.dwFlags & WINHTTP_AUTOPROXY_CONFIG_URL) || GetLastError() != ERROR_WINHTTP_LOGIN_FAILURE)
        return false;
    options.fAutoLogonIfChallenged = TRUE;
    return g_getProxyForUrl(session, url, &options, &info);
}

// One question to WinHTTP: by automatic detection (WPAD), or of the script at scriptUrl. The script runs outside this
// elevated process where Windows can do that.
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
    options.dwFlags |= WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY;
    WINHTTP_PROXY_INFO info{};
    if (!GetProxyForUrl(session.get(), url.c_str(), options, info))
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

// The thread's body; its parameter is a std::shared_ptr<PacTask> that the thread owns. Memory that runs out while
// it asks leaves the question without an answer; it must not end the process.
DWORD WINAPI AnswerPacTask(void* parameter) {
    const std::unique_ptr<std::shared_ptr<PacTask>> task(static_cast<std::shared_ptr<PacTask>*>(parameter));
    try {
        (*task)->answer = AskPacScript((*task)->url, (*task)->scriptUrl);
    } catch (...) {
    }
    SetEvent((*task)->done.get());
    return 0;
}

// The questions asked and not yet answered in time, by script address (empty: automatic detection) and url, so that
// a later attempt takes the answer that came meanwhile instead of asking again. Made on first use and never destroyed:
// a detached worker may ask while the process ends.
struct PendingQuestions {
    std::mutex lock;
    std::map<std::pair<std::wstring, std::wstring>, std::shared_ptr<PacTask>> tasks;
};
PendingQuestions& Pending() {
    static PendingQuestions* const pending = new PendingQuestions;
    return *pending;
}

// The task that asks the question, started now unless one is pending already; null when no thread can be had.
std::shared_ptr<PacTask> StartOrFindQuestion(const std::wstring& url, const std::wstring& scriptUrl) {
    PendingQuestions& pending = Pending();
    const std::lock_guard<std::mutex> lock(pending.lock);
    std::shared_ptr<PacTask>& task = pending.tasks[{scriptUrl, url}];
    if (task)
        return task;
    auto started = std::make_shared<PacTask>();
    started->url = url;
    started->scriptUrl = scriptUrl;
    auto* shared = new std::shared_ptr<PacTask>(started);
    const UniqueKernelHandle thread(started->done ? CreateThread(nullptr, 0, AnswerPacTask, shared, 0, nullptr)
                                                  : nullptr);
    if (!thread) {
        delete shared;
        pending.tasks.erase({scriptUrl, url});
        return nullptr;
    }
    task = started;
    return task;
}

// The question's answer, waited for at most kProxyDiscoveryMs: neither WinHTTP's timeouts nor closing its session
// bound the question (a WPAD or script server that never answers holds it for good, and name resolution for automatic
// detection for seconds). An answer not come by then is late; the question stays pending for the next call.
PacAnswer AskPacScriptWithin(const std::wstring& url, const std::wstring& scriptUrl) {
    const std::shared_ptr<PacTask> task = StartOrFindQuestion(url, scriptUrl);
    if (!task)
        return {};
    if (WaitForSingleObject(task->done.get(), kProxyDiscoveryMs) != WAIT_OBJECT_0) {
        PacAnswer late;
        late.late = true;
        return late;
    }
    PendingQuestions& pending = Pending();
    const std::lock_guard<std::mutex> lock(pending.lock);
    pending.tasks.erase({scriptUrl, url});
    return task->answer;
}

}  // namespace

BOOL(WINAPI* g_getProxyForUrl)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*, WINHTTP_PROXY_INFO*) = AskWinHttp;

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

RouteChoice ChooseRoutes(const std::string& url, const std::string& host, ProxySource source) {
    RouteChoice choice;
    if (source == ProxySource::kWinHttp) {
        choice.routes = {Route{}};
        return choice;
    }
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    std::vector<std::string> proxies;
    if (WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        const UniqueGlobalString scriptUrl(config.lpszAutoConfigUrl), proxy(config.lpszProxy),
            bypass(config.lpszProxyBypass);
        // As Internet Options do: automatic detection first, when it is ticked, then the script's address, then the
        // fixed proxy. (Asking WinHTTP for both in one call fails under Wine.)
        PacAnswer answer;
        if (config.fAutoDetect) {
            answer = AskPacScriptWithin(WidenAscii(url), L"");
            choice.settled = !answer.late;
        }
        if (!answer.answered && scriptUrl) {
            answer = AskPacScriptWithin(WidenAscii(url), scriptUrl.get());
            choice.settled = choice.settled && !answer.late;
        }
        if (answer.answered)
            proxies = answer.proxies;
        else if (proxy && !IsBypassed(host, Narrow(bypass)))
            proxies = ProxiesForHttps(Narrow(proxy));
    }
    for (const std::string& proxy : proxies)
        choice.routes.push_back({Route::kProxy, WideFromUtf8(proxy)});
    choice.routes.push_back({Route::kDirect, {}});
    return choice;
}

bool IsRouteFailure(unsigned long error) {
    // Wine answers a proxy that refuses the tunnel (403, 407) as a failed secure channel, and a wait that timed out
    // with the socket's own error.
    return error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
           error == ERROR_WINHTTP_CONNECTION_ERROR || error == ERROR_WINHTTP_TIMEOUT ||
           error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE || error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR ||
           error == WSAETIMEDOUT;
}
