// Stands in for the browser: the prefix's http and https handlers run it as
//   url_recorder <log file> <address>
// and it appends the address and the executable name of the process that started it, as one UTF-8 line
// "<address>\t<name>", to the log file (the name is empty when that process has already gone).
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>

#include <tlhelp32.h>

namespace {

std::wstring ParentName() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return L"";
    std::map<DWORD, std::wstring> names;
    DWORD parent = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        names[entry.th32ProcessID] = entry.szExeFile;
        if (entry.th32ProcessID == GetCurrentProcessId())
            parent = entry.th32ParentProcessID;
    }
    CloseHandle(snapshot);
    const auto found = names.find(parent);
    return found == names.end() ? L"" : found->second;
}

std::string ToUtf8(const std::wstring& text) {
    char utf8[8192] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8, sizeof(utf8), nullptr, nullptr);
    return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return 2;
    const std::string line = ToUtf8(argc > 2 ? argv[2] : L"") + "\t" + ToUtf8(ParentName());
    FILE* log = _wfopen(argv[1], L"ab");
    if (!log)
        return 1;
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
    return 0;
}
