// Stands in for another program of the same user.
//   hold_file <path> <milliseconds>   opens the file with share mode 0, prints "held" and keeps it open that long
//   hold_file --tamper <path>         tries to open the file for writing, to rename it and to delete it, and prints
//                                     which of these succeeded ("write=0 rename=0 delete=0" when all failed)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int Tamper(const wchar_t* path) {
    HANDLE writer = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool wrote = writer != INVALID_HANDLE_VALUE;
    if (wrote)
        CloseHandle(writer);
    const std::wstring moved = std::wstring(path) + L".moved";
    const bool renamed = MoveFileExW(path, moved.c_str(), 0) != FALSE;
    const bool deleted = DeleteFileW(renamed ? moved.c_str() : path) != FALSE;
    std::printf("write=%d rename=%d delete=%d\n", wrote, renamed, deleted);
    return wrote || renamed || deleted ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"--tamper") == 0)
        return Tamper(argv[2]);
    if (argc != 3)
        return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open: %lu\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(_wtoi(argv[2])));
    CloseHandle(file);
    return 0;
}
