#pragma once

#include <windows.h>

#include <winhttp.h>

// For tests: how a proxy script is asked (WinHttpGetProxyForUrl), so that a test can see the options of every
// question and answer it as a server would. Called on the thread that asks.
extern BOOL(WINAPI* g_getProxyForUrl)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*, WINHTTP_PROXY_INFO*);
