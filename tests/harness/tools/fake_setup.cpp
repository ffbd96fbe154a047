// The setup program that the test server hands to the installer. It writes to the file named by VELMOR_SETUP_LOG
// (UTF-8, one "key=value" per line) its current directory and whether the installer's window was visible when it
// started, stays for VELMOR_SETUP_SLEEP_MS milliseconds, and writes "ended=1" as it leaves. When VELMOR_SETUP_COPY
// names a file, it first copies its own program file there, so a test can compare what ran with what was served.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string ToUtf8(const wchar_t* text) {
    char buffer[4 * MAX_PATH] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof(buffer), nullptr, nullptr);
    return buffer;
}

void Append(const wchar_t* logPath, const std::string& line) {
    if (FILE* log = _wfopen(logPath, L"ab")) {
        std::fprintf(log, "%s\n", line.c_str());
        std::fclose(log);
    }
}

}  // namespace

int wmain() {
    wchar_t logPath[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"VELMOR_SETUP_LOG", logPath, MAX_PATH))
        return 2;

    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    HWND installer = FindWindowW(L"VelmorInstaller", nullptr);

    Append(logPath, "cwd=" + ToUtf8(directory));
    Append(logPath, std::string("window_found=") + (installer ? "1" : "0"));
    Append(logPath, std::string("window_visible=") + (installer && IsWindowVisible(installer) ? "1" : "0"));

    wchar_t copyPath[MAX_PATH] = {};
    wchar_t self[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"VELMOR_SETUP_COPY", copyPath, MAX_PATH) &&
        GetModuleFileNameW(nullptr, self, MAX_PATH))
        CopyFileW(self, copyPath, FALSE);

    wchar_t sleepText[32] = {};
    if (GetEnvironmentVariableW(L"VELMOR_SETUP_SLEEP_MS", sleepText, 32))
        Sleep(static_cast<DWORD>(_wtoi(sleepText)));
    Append(logPath, "ended=1");
    return 0;
}
