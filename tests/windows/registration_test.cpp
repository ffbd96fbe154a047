// RegisterProductInProfile under Wine, each case in a profile folder of its own.
#include "config/registration.h"

#include <windows.h>

#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "base/desktop_user_seams.h"
#include "base/unique_handle.h"
#include "config/product.h"
#include "config/software_registry.h"
#include "tests/windows/run_unix.h"
#include "tests/windows/thread_rights.h"
#include "wine/tools/file_bytes.h"

namespace {

namespace fs = std::filesystem;

// One [[software]] table as the registry file holds it.
std::string Table(const std::string& name, const std::string& productId, const std::string& distributorId) {
    return "[[software]]\r\nname = \"" + name + "\"\r\nproduct_id = \"" + productId + "\"\r\ndistributor_id = \"" +
           distributorId + "\"\r\n";
}

const std::string kProductFile = Table(ProductName, std::to_string(ProductId), DistributorId);
// The names of the per-user folder and of the file in it.
const std::wstring kFolder = kConfigFolderPart + 1, kFile = kConfigFilePart + 1;
const std::string kOldFile = Table("other", "3", "5") + Table("old", "7", "2");
const std::string kUpdatedOldFile = Table("other", "3", "5") + Table("old", "7", "1");

// Every name in a folder, hidden or not: a leftover temporary file shows up here.
std::set<std::wstring> Listing(const fs::path& folder) {
    std::set<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().wstring());
    return names;
}

class RegistrationTest : public testing::Test {
protected:
    // A new profile folder, removed with everything in it afterwards; with before, also the .velmor folder with
    // the system attribute (Wine reports dot folders as hidden anyway) and a registry file.
    void NewProfile(const char* before, const std::wstring& suffix = L"") {
        profile_ = root_ / (std::to_wstring(++profiles_) + suffix);
        ASSERT_TRUE(fs::create_directories(profile_));
        if (!before)
            return;
        ASSERT_TRUE(fs::create_directory(Folder()));
        ASSERT_TRUE(SetFileAttributesW(Folder().c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
        std::ofstream(File(), std::ios::binary) << before;
    }
    void TearDown() override {  // read-only, hidden and system attributes would stop the removal
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(root_, error))
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        fs::remove_all(root_);
    }
    fs::path Folder() const { return profile_ / kFolder; }
    fs::path File() const { return Folder() / kFile; }

    const fs::path root_ = fs::temp_directory_path() / ("velmor-registration-" + std::to_string(GetCurrentProcessId()));
    int profiles_ = 0;
    fs::path profile_;
};

// The product's entry is updated in place (only the first one with its id, byte for byte) or appended; the folder
// ends up hidden and nothing else, and a second run changes no byte. Also in a path with Chinese characters. A file
// that another program holds open gets the update through the sharing it allows, also when it cannot be replaced (no
// FILE_SHARE_DELETE); a read-only one or one held without write sharing keeps its old content.
TEST_F(RegistrationTest, UpdatesOrAppendsThisProduct) {
    const std::string similar = Table("zero", "07", "3") + Table("blank", "7 ", "3") + Table("seventy", "70", "3");
    const struct {
        std::string before;  // empty: no folder
        std::string after;
        DWORD share = 0;  // of another handle held open during the registration, if any
        bool readOnly = false;
    } cases[] = {
        {"", kProductFile},
        {Table("first", "7", "3") + Table("between", "4", "4") + Table("second", "7", "5"),
         Table("first", "7", "1") + Table("between", "4", "4") + Table("second", "7", "5")},
        {similar, similar + kProductFile},
        {"# another program\r\n[general]\r\ntheme = \"dark\"\r\n", kProductFile},
        {kOldFile, kUpdatedOldFile, FILE_SHARE_READ | FILE_SHARE_WRITE},
        {kOldFile, kUpdatedOldFile, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
        {kOldFile, kOldFile, FILE_SHARE_READ},
        {kOldFile, kOldFile, 0, true},
    };
    for (const wchar_t* suffix : {L"", L"-\u7528\u6237\u6D4B\u8BD5"}) {  // "用户测试"
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.before << c.share << c.readOnly);
            ASSERT_NO_FATAL_FAILURE(NewProfile(c.before.empty() ? nullptr : c.before.c_str(), suffix));
            if (c.readOnly) {
                ASSERT_TRUE(SetFileAttributesW(File().c_str(), FILE_ATTRIBUTE_READONLY));
            }
            const UniqueFileHandle held(
                c.share ? CreateFileW(File().c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING, 0, nullptr)
                        : INVALID_HANDLE_VALUE);
            ASSERT_EQ(bool(held), c.share != 0);
            for (int run = 0; run < 2; ++run) {
                RegisterProductInProfile(profile_.wstring(), "1");
                EXPECT_EQ(GetFileAttributesW(Folder().c_str()),
                          DWORD{FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN});
                EXPECT_EQ(FileBytes(File()), c.after) << "run " << run;
                EXPECT_EQ(Listing(Folder()), std::set<std::wstring>{kFile});
                EXPECT_EQ(Listing(profile_), std::set<std::wstring>{kFolder});
            }
        }
    }
}

// A link in place of the folder or the file, which any program of the user can make, leads nowhere: the place it
// points to keeps its content, its attributes and its listing, and the link stays; a hard link too, also while another
// program holds it open with read and write sharing, so that a rename cannot replace it and the file would be
// written in place.
TEST_F(RegistrationTest, LeavesLinksAndWhatTheyPointToAlone) {
    const struct {
        const char* what;
        bool folder;
        const char* command;
        bool held = false;
        bool registration = true;  // else the file is written directly, as the registration writes it
    } cases[] = {{".velmor is a symbolic link", true, "ln -s"},
                 {"config.toml is a symbolic link", false, "ln -s"},
                 {"config.toml is a hard link", false, "ln"},
                 {"config.toml is a hard link, held open", false, "ln", true},
                 {"config.toml is a hard link, held open, written", false, "ln", true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(NewProfile(nullptr, L"-protected"));
        const fs::path elsewhere = profile_, target = elsewhere / kFile;
        std::ofstream(target, std::ios::binary) << kOldFile;
        ASSERT_NO_FATAL_FAILURE(NewProfile(nullptr));
        if (!c.folder) {
            ASSERT_TRUE(fs::create_directory(Folder()));
        }
        const fs::path link = c.folder ? Folder() : File();
        ASSERT_NO_FATAL_FAILURE(RunUnix(c.command, c.folder ? elsewhere : target, link, true));
        const DWORD attributes = GetFileAttributesW(elsewhere.c_str());
        const UniqueFileHandle held(c.held
                                        ? CreateFileW(File().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                      nullptr, OPEN_EXISTING, 0, nullptr)
                                        : INVALID_HANDLE_VALUE);

        if (c.registration)
            RegisterProductInProfile(profile_.wstring(), "1");
        else
            WriteSoftwareEntries(File(), {{"other", "3", "5"}});
        EXPECT_EQ(FileBytes(target), kOldFile);
        EXPECT_EQ(Listing(elsewhere), std::set<std::wstring>{kFile});
        EXPECT_EQ(GetFileAttributesW(elsewhere.c_str()), attributes);
        if (c.registration) {
            EXPECT_EQ(FileBytes(File()), kOldFile) << "the link was replaced";
        }
        ASSERT_NO_FATAL_FAILURE(RunUnix("rm -f", link, link, false));
    }
}

// The registration in the user's own profile reads and writes config.toml with the rights of the desktop shell's user,
// seen from inside the write (under Wine that user is the test's own, so only that the thread impersonated shows),
// and the thread has its own rights back afterwards: after a write, after a write that failed, and after a step that
// threw. The file comes out as from any registration.
TEST_F(RegistrationTest, WritesWithTheDesktopUsersRights) {
    wchar_t profile[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile), S_OK);
    profile_ = profile;
    fs::create_directories(Folder());
    const std::string before = FileBytes(File());
    const std::wstring shell = DesktopShellIdentity();
    ASSERT_FALSE(shell.empty());
    static std::wstring seen;
    static bool throws = false;
    g_userPlaceWriteProbe = [] {
        seen = ThreadRights();
        if (throws)
            throw std::bad_alloc();
    };
    const struct {
        bool readOnly, throws;
        Registration result;
    } cases[] = {{false, false, Registration::kWritten},
                 {true, false, Registration::kNotWritten},
                 {false, true, Registration::kNotWritten}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.readOnly << c.throws);
        std::ofstream(File(), std::ios::binary) << kOldFile;
        SetFileAttributesW(File().c_str(), c.readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
        seen.clear();
        throws = c.throws;
        const RegistrationReport report = RegisterProduct("1");
        EXPECT_EQ(report.result, c.result);
        EXPECT_EQ(report.way, DesktopUserImpersonation::Way::kAsDesktopUser);
        EXPECT_EQ(seen, shell) << "not the desktop user's rights while writing";
        EXPECT_EQ(ThreadRights(), L"own rights") << "not reverted";
        EXPECT_EQ(FileBytes(File()), c.result == Registration::kWritten ? kUpdatedOldFile : kOldFile);
        SetFileAttributesW(File().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    g_userPlaceWriteProbe = nullptr;
    if (before.empty())
        fs::remove(File());
    else
        std::ofstream(File(), std::ios::binary) << before;
}

}  // namespace
