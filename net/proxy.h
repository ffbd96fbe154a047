#pragma once

#include <string>
#include <vector>

// Where a download finds its proxy.
enum class ProxySource {
    kWinHttp,  // WinHTTP's own setting (netsh winhttp), as designed
    kSystem,   // the signed-in user's Internet Options: a fixed proxy, a PAC script, automatic detection
};

// One way to reach a host.
struct Route {
    enum Kind { kWinHttpDefault, kDirect, kProxy } kind = kWinHttpDefault;
    std::wstring proxy;  // "host:port", for kProxy

    // "WinHTTP default", "direct" or "proxy host:port", for the diagnostics log.
    std::string Describe() const;
};

// The routes that a request for url tries in order, and whether they are settled: not when a proxy script gave no
// answer in time, whose answer a later call may have.
struct RouteChoice {
    std::vector<Route> routes;
    bool settled = true;
};

// The routes for url, whose host is host. kWinHttp: WinHTTP's default setting alone. kSystem: each proxy that the
// user's settings give for url (a PAC script's, found by automatic detection when that is ticked or else at the
// script's address, or the fixed proxy unless its bypass list names host), then a direct connection. Each question
// to a script waits for its answer at most kProxyDiscoveryMs, so that a network without a WPAD server, or with one
// that does not answer, costs little; a question not answered in time goes on, and the next call for url takes its
// answer once it has come. The user's credentials are offered only to a configured script's server, and only after
// it asked for them; never to automatic detection. The script runs outside this process where Windows can do that.
RouteChoice ChooseRoutes(const std::string& url, const std::string& host, ProxySource source);

inline constexpr unsigned kProxyDiscoveryMs = 2000;

// Whether a request that failed with this Windows error on a proxy route may succeed on the next route: the proxy
// could not be reached, or answered with an error of its own.
bool IsRouteFailure(unsigned long error);
