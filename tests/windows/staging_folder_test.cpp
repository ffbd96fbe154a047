// The folder the setup program is saved in and started from, under Wine. Wine accepts a security descriptor when a
// folder is made but gives its own default back when asked, and enforces none for a program of the same user: the
// descriptor is checked where it is made, the folder by what it does.
#include "install/staging_folder.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "base/product_values.h"
#include "tests/windows/run_unix.h"
#include "wine/tools/file_bytes.h"

namespace {

namespace fs = std::filesystem;

// Nothing inherited from %SystemRoot%\Temp, where every user may add entries; full control for SYSTEM and the
// Administrators group, passed on to files and folders inside; and no entry for anybody else.
TEST(StagingFolder, OnlySystemAndAdministratorsMayOpenIt) {
    const UniqueLocalMemory security = AdministratorsOnlySecurity();
    ASSERT_TRUE(security);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(security.get(), &present, &dacl, &defaulted) && present && dacl);

    std::set<WELL_KNOWN_SID_TYPE> granted;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, index, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, DWORD{FILE_ALL_ACCESS});
        for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
            BYTE sid[SECURITY_MAX_SID_SIZE];
            DWORD size = sizeof(sid);
            ASSERT_TRUE(CreateWellKnownSid(type, nullptr, sid, &size));
            if (EqualSid(sid, &ace->SidStart))
                granted.insert(type);
        }
    }
    EXPECT_EQ(dacl->AceCount, 2);
    EXPECT_EQ(granted, (std::set<WELL_KNOWN_SID_TYPE>{WinLocalSystemSid, WinBuiltinAdministratorsSid}));
}

// Each folder is new, with a name nobody can guess, in the system's temporary folder; it cannot be renamed while it
// is held, and goes with everything inside: read-only files, folders, and links, which are removed without what they
// point to.
TEST(StagingFolder, IsNewEachTimeAndGoesWithWhatItHolds) {
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    const fs::path outside = fs::temp_directory_path() / ("velmor-outside-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(outside);
    std::ofstream(outside / "kept.txt") << "kept";

    fs::path first;
    {
        StagingFolder folder = StagingFolder::Create();
        StagingFolder other = StagingFolder::Create();
        ASSERT_TRUE(folder && other);
        first = folder.path();
        EXPECT_NE(folder.path(), other.path());
        EXPECT_EQ(first.parent_path(), fs::path(windows) / L"Temp");
        EXPECT_TRUE(
            std::regex_match(first.filename().string(), std::regex(VELMOR_PRODUCT_STAGING_PREFIX "[0-9a-f]{32}")));
        EXPECT_FALSE(MoveFileExW(folder.path().c_str(), (folder.path() + L"-moved").c_str(), 0));

        fs::create_directories(first / "inner");
        std::ofstream(first / "inner" / "file.txt") << "x";
        std::ofstream(first / "read-only.txt") << "x";
        ASSERT_TRUE(SetFileAttributesW((first / "read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_NO_FATAL_FAILURE(RunUnix("ln -s", outside, first / "link", true));
        folder.Remove();
        EXPECT_EQ(FileBytes(outside / "kept.txt"), "kept") << "the link was followed";
        EXPECT_FALSE(fs::exists(first / "inner") || fs::exists(first / "read-only.txt"));
        // Windows removes a link to a folder with RemoveDirectoryW; Wine removes none.
        ASSERT_NO_FATAL_FAILURE(RunUnix("rm -f", first / "link", first / "link", false));
        EXPECT_TRUE(folder.Remove());
        EXPECT_FALSE(fs::exists(first));
        EXPECT_TRUE(fs::exists(other.path()));
        first = other.path();
    }
    EXPECT_FALSE(fs::exists(first)) << "the owner's end did not remove it";
    fs::remove_all(outside);
}

// What earlier runs left in %SystemRoot%\Temp goes with what it holds, but never what a link points to, never a folder
// that another program holds (a running installer holds its own), and never a folder of another name.
TEST(StagingFolder, EarlierRunsLeftoversGoAndNothingElse) {
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    const fs::path temp = fs::path(windows) / L"Temp";
    const fs::path outside = fs::temp_directory_path() / ("velmor-outside-" + std::to_string(GetCurrentProcessId()));
    const std::wstring prefix = L"" VELMOR_PRODUCT_STAGING_PREFIX;
    const fs::path leftover = temp / (prefix + L"0123456789abcdef0123456789abcdef");
    const fs::path linked = temp / (prefix + L"11111111111111111111111111111111");
    const fs::path otherName = temp / (prefix + L"0123456789abcdef0123456789abcdeg");
    fs::create_directories(outside);
    std::ofstream(outside / "kept.txt") << "kept";
    fs::create_directories(leftover / "temp" / "unpacked");
    std::ofstream(leftover / "setup.exe.part") << "x";
    ASSERT_TRUE(SetFileAttributesW((leftover / "setup.exe.part").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_NO_FATAL_FAILURE(RunUnix("ln -s", outside, leftover / "temp" / "link", true));
    ASSERT_NO_FATAL_FAILURE(RunUnix("ln -s", outside, linked, true));
    fs::create_directories(otherName);

    RemoveEarlierStagingFolders();
    EXPECT_EQ(FileBytes(outside / "kept.txt"), "kept") << "a link was followed";
    EXPECT_FALSE(fs::exists(leftover / "setup.exe.part") || fs::exists(leftover / "temp" / "unpacked"));
    // Wine removes no link to a folder, so the leftover with one inside goes only once the link has gone.
    ASSERT_NO_FATAL_FAILURE(RunUnix("rm -f", leftover / "temp" / "link", leftover / "temp" / "link", false));
    // Made only now: under Wine, a Unix program started (RunUnix) ends the hold of every folder held before.
    StagingFolder running = StagingFolder::Create();
    ASSERT_TRUE(running);
    EXPECT_GE(RemoveEarlierStagingFolders(), 1);
    EXPECT_FALSE(fs::exists(leftover));
    for (const fs::path& kept : {linked, otherName, fs::path(running.path())})
        EXPECT_TRUE(fs::exists(kept)) << kept;
    EXPECT_EQ(FileBytes(outside / "kept.txt"), "kept");
    ASSERT_NO_FATAL_FAILURE(RunUnix("rm -f", linked, linked, false));
    fs::remove_all(otherName);
    fs::remove_all(outside);
}

}  // namespace
