// What a run of the installer with the diagnostics log cannot show: the log's file is created with the rights of the
// desktop shell's user, the thread has its own rights back afterwards, and a line logged at the process's very end,
// after its static objects are destroyed (where a detached worker may still log when the window closes), is written.
// Prints "log probe: ok", or what failed, as the last thing the process does.
#include <windows.h>

#include <string>

#include "base/desktop_user_seams.h"
#include "base/product_values.h"
#include "install/install_log.h"
#include "tests/windows/thread_rights.h"
#include "wine/tools/file_bytes.h"

namespace {

constexpr char kLastLine[] = "logged after the static objects were destroyed";

// Plain values, so that they outlast every static object.
bool g_createdAsShellUser = false;
bool g_revertedAfterwards = false;

// Made before every other static object, so destroyed after all of them.
struct AtTheVeryEnd {
    ~AtTheVeryEnd() {
        LogStep(kLastLine);
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        const bool logged =
            FileBytes(std::wstring(temp) + L"" VELMOR_PRODUCT_LOG_NAME).find(kLastLine) != std::string::npos;
        const std::string verdict =
            g_createdAsShellUser && g_revertedAfterwards && logged
                ? "log probe: ok\n"
                : "log probe: FAILED created as shell user " + std::to_string(g_createdAsShellUser) + ", reverted " +
                      std::to_string(g_revertedAfterwards) + ", logged at the end " + std::to_string(logged) + "\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), verdict.data(), static_cast<DWORD>(verdict.size()), &written,
                  nullptr);
    }
};
__attribute__((init_priority(101))) AtTheVeryEnd g_atTheVeryEnd;

std::wstring g_shell;

}  // namespace

int wmain() {
    g_shell = DesktopShellIdentity();
    g_userPlaceWriteProbe = [] { g_createdAsShellUser = !g_shell.empty() && ThreadRights() == g_shell; };
    StartInstallLog();
    g_revertedAfterwards = ThreadRights() == L"own rights";
    LogStep("log probe started");
    return 0;
}
