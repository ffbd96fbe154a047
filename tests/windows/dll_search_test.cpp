// Windows 7 without update KB2533623 has no SetDefaultDllDirectories: there the installer loads System32's DLLs by
// their full path, and what those import must come from System32 too, not from the folder of the program, where
// anything may lie. Wine always has SetDefaultDllDirectories, so the fallback is called here directly. ctest runs
// this with jsproxy.dll loaded native first (WINEDLLOVERRIDES), as Windows loads every DLL that is not a KnownDLL.
#include "base/dll_search.h"

#include <windows.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

// Wine's winhttp.dll imports jsproxy.dll (Windows' crypt32.dll imports msasn1.dll the same way).
TEST(DllSearch, Windows7FallbackTakesImportsFromSystem32) {
    wchar_t self[MAX_PATH] = {}, system[MAX_PATH] = {};
    ASSERT_TRUE(GetModuleFileNameW(nullptr, self, MAX_PATH) && GetSystemDirectoryW(system, MAX_PATH));
    ASSERT_EQ(GetModuleHandleW(L"jsproxy.dll"), nullptr) << "loaded before the test";
    const fs::path planted = fs::path(self).parent_path() / "jsproxy.dll";
    ASSERT_TRUE(CopyFileW((fs::path("Z:" + std::string(std::getenv("VELMOR_TOOLS_DIR"))) / "planted_dll.dll").c_str(),
                          planted.c_str(), FALSE));

    LoadFromSystem32({L"winhttp.dll"}, false);
    wchar_t loaded[MAX_PATH] = {};
    const HMODULE jsproxy = GetModuleHandleW(L"jsproxy.dll");
    ASSERT_NE(jsproxy, nullptr);
    ASSERT_TRUE(GetModuleFileNameW(jsproxy, loaded, MAX_PATH));
    EXPECT_EQ(CompareStringOrdinal(fs::path(loaded).parent_path().c_str(), -1, system, -1, TRUE), CSTR_EQUAL)
        << fs::path(loaded).string();
    DeleteFileW(planted.c_str());
}

}  // namespace
