// Stands in for the browser: the prefix's http and https handlers run it with the address to open, and it appends
// that address as a UTF-8 line to the file named by VELMOR_URL_LOG.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    wchar_t logPath[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"VELMOR_URL_LOG", logPath, MAX_PATH))
        return 2;
    std::wstring url = argc > 1 ? argv[1] : L"";
    char utf8[8192] = {};
    WideCharToMultiByte(CP_UTF8, 0, url.c_str(), -1, utf8, sizeof(utf8), nullptr, nullptr);
    FILE* log = _wfopen(logPath, L"ab");
    if (!log)
        return 1;
    std::fprintf(log, "%s\n", utf8);
    std::fclose(log);
    return 0;
}
