#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

// Runs "/bin/<command> <Unix name of from> <Unix name of to>" and waits until to exists (or is gone), since Wine
// starts a Unix program without a handle to wait on. Wine's CreateSymbolicLinkW makes nothing, and its DeleteFileW
// removes no link to a folder.
inline void RunUnix(const std::string& command,
                    const std::filesystem::path& from,
                    const std::filesystem::path& to,
                    bool toExists) {
    const auto toUnix = reinterpret_cast<char*(CDECL*)(const wchar_t*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    ASSERT_TRUE(toUnix);
    std::string line = command;
    for (const std::filesystem::path& path : {from, to}) {
        char* unixPath = toUnix(path.c_str());
        line += std::string(" \"") + unixPath + "\"";
        HeapFree(GetProcessHeap(), 0, unixPath);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const std::string program = "Z:\\bin\\" + command.substr(0, command.find(' '));
    ASSERT_TRUE(
        CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const auto done = [&] { return (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) == toExists; };
    for (int attempt = 0; attempt < 100 && !done(); ++attempt)
        Sleep(50);
    ASSERT_TRUE(done()) << line;
}
