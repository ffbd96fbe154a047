/* Stands in for a DLL that someone placed beside the installer under the name of one of Windows' own: it exports
   nothing, so a program that takes it for the real one fails, and Wine's +loaddll channel names where it came from. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
