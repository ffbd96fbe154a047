// Stands in for another program that has a file open without sharing it: opens the file with share mode 0, prints
// "held" and keeps it open for the given time.
//   hold_file <path> <milliseconds>
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
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
