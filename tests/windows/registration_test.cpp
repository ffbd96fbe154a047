// RegisterProductInProfile under Wine, each case in a profile folder of its own.
#include "config/registration.h"

#include <windows.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace {

// One [[software]] table as the registry file holds it.
std::string Table(const std::string& name, const std::string& productId, const std::string& distributorId) {
    return "[[software]]\r\nname = \"" + name + "\"\r\nproduct_id = \"" + productId + "\"\r\ndistributor_id = \"" +
           distributorId + "\"\r\n";
}

// What registering this product in an empty profile gives: 83 bytes.
const std::string kProductFile = Table("velmor\xE5\xBD\x95\xE5\xB1\x8F\xE5\xA4\xA7\xE5\xB8\x88", "7", "1");
const std::string kOldFile = Table("other", "3", "5") + Table("old", "7", "2");

// Whole-file access through Win32 alone, independent of the code under test.
std::string FileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "cannot open the file, error " << GetLastError();
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(ok && written == bytes.size());
}

// Every name in a folder, hidden or not; a leftover temporary file shows up here.
std::set<std::wstring> FolderListing(const std::wstring& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (std::wstring(found.cFileName) != L"." && std::wstring(found.cFileName) != L"..")
            names.insert(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

const std::set<std::wstring> kJustTheFile = {L"config.toml"};

// The Unix name of a path under Wine.
std::string UnixPath(const std::wstring& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char* unixPath = toUnix ? toUnix(path.c_str()) : nullptr;
    const std::string result = unixPath ? unixPath : "";
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

// Runs "/bin/<command> <Unix name of from> <Unix name of to>" and waits until to exists (or is gone), since Wine
// starts a Unix program without a handle to wait on. Wine's CreateSymbolicLinkW makes nothing, and its DeleteFileW
// removes no link to a folder.
void RunUnix(const std::string& command, const std::wstring& from, const std::wstring& to, bool toExists) {
    std::string line = command + " \"" + UnixPath(from) + "\" \"" + UnixPath(to) + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const std::string program = "Z:\\bin\\" + command.substr(0, command.find(' '));
    ASSERT_TRUE(
        CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        << "error " << GetLastError();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const auto done = [&] { return (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) == toExists; };
    for (int attempt = 0; attempt < 100 && !done(); ++attempt)
        Sleep(50);
    ASSERT_TRUE(done()) << line << " did not do its work";
}

// A fresh profile folder under the temporary folder, removed with everything in it afterwards.
struct TemporaryProfile {
    explicit TemporaryProfile(const std::wstring& suffix) {
        static int counter = 0;
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        path = std::wstring(temp) + L"velmor-registration-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter) + suffix;
        created = CreateDirectoryW(path.c_str(), nullptr) != 0;
    }
    ~TemporaryProfile() {
        // Read-only, hidden and system attributes would stop the removal.
        std::error_code error;
        for (auto it = std::filesystem::recursive_directory_iterator(path, error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
            SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
        std::filesystem::remove_all(path, error);
    }
    TemporaryProfile(const TemporaryProfile&) = delete;
    TemporaryProfile& operator=(const TemporaryProfile&) = delete;

    std::wstring path;
    bool created = false;
};

class RegistrationTest : public testing::Test {
protected:
    // A new profile; with before, also the folder and a registry file as an earlier program left them.
    void NewProfile(const char* before, const std::wstring& suffix = L"") {
        profile_ = std::make_unique<TemporaryProfile>(suffix);
        ASSERT_TRUE(profile_->created) << "error " << GetLastError();
        if (!before)
            return;
        // Wine reports dot folders as hidden anyway: the system attribute shows whether it was set anew.
        ASSERT_TRUE(CreateDirectoryW(Folder().c_str(), nullptr));
        ASSERT_TRUE(SetFileAttributesW(Folder().c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
        ASSERT_NE(GetFileAttributesW(Folder().c_str()) & FILE_ATTRIBUTE_SYSTEM, 0u)
            << "this system does not keep the system attribute of folders";
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(File(), before));
    }
    void Register() { RegisterProductInProfile(profile_->path); }
    std::wstring Profile() const { return profile_->path; }
    std::wstring Folder() const { return profile_->path + L"\\.velmor"; }
    std::wstring File() const { return Folder() + L"\\config.toml"; }

    std::unique_ptr<TemporaryProfile> profile_;
};

// The product's entry is updated in place or appended; the folder ends up hidden and nothing else, and a second run
// changes no byte. All of it also in a profile whose path has Chinese characters.
TEST_F(RegistrationTest, UpdatesOrAppendsThisProduct) {
    struct Case {
        const char* label;
        std::string before;  // empty: no folder
        std::string after;
    };
    const std::string similar = Table("zero", "07", "3") + Table("blank", "7 ", "3") + Table("seventy", "70", "3");
    const Case cases[] = {
        {"no folder", "", kProductFile},
        {"after another product, keeping its old name",
         "# by hand\n[[software]]\nname = \"other\"\nproduct_id = \"3\"\ndistributor_id = \"5\"\n"
         "[[software]]\nname = \"old name\"\nproduct_id = \"7\"\ndistributor_id = \"3\"\n",
         Table("other", "3", "5") + Table("old name", "7", "1")},
        {"only the first of two entries",
         Table("first", "7", "3") + Table("between", "4", "4") + Table("second", "7", "5"),
         Table("first", "7", "1") + Table("between", "4", "4") + Table("second", "7", "5")},
        {"ids compared byte for byte: appended", similar, similar + kProductFile},
        {"foreign lines only", "# another program\r\n[general]\r\ntheme = \"dark\"\r\n[[plugins]]\r\nenabled = 1\r\n",
         kProductFile},
    };
    for (const wchar_t* suffix : {L"", L"-\u7528\u6237\u6D4B\u8BD5"}) {  // "用户测试"
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.label << (*suffix ? ", Chinese path" : ""));
            ASSERT_NO_FATAL_FAILURE(NewProfile(c.before.empty() ? nullptr : c.before.c_str(), suffix));
            Register();
            EXPECT_EQ(GetFileAttributesW(Folder().c_str()),
                      static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
            EXPECT_EQ(FileBytes(File()), c.after);
            EXPECT_EQ(FolderListing(Folder()), kJustTheFile);
            EXPECT_EQ(FolderListing(profile_->path), std::set<std::wstring>{L".velmor"});
            Register();
            EXPECT_EQ(FileBytes(File()), c.after) << "changed by a second run";
        }
    }
}

// A file that another program holds open gets the update through the sharing it allows, also when it cannot be
// replaced (no FILE_SHARE_DELETE; Wine refuses it with that too); a read-only one or one held without write sharing
// keeps its old content. No temporary file is left beside it.
TEST_F(RegistrationTest, WritesATargetHeldOpenThroughItsSharing) {
    struct Case {
        const char* label;
        DWORD share;  // of another handle held open during the registration; 0: none
        bool readOnly;
        bool updated;
    };
    const Case cases[] = {
        {"held open with read and write sharing", FILE_SHARE_READ | FILE_SHARE_WRITE, false, true},
        {"held open with all sharing", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false, true},
        {"held open with read sharing only", FILE_SHARE_READ, false, false},
        {"read-only", 0, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_NO_FATAL_FAILURE(NewProfile(kOldFile.c_str()));
        if (c.readOnly) {
            ASSERT_TRUE(SetFileAttributesW(File().c_str(), FILE_ATTRIBUTE_READONLY));
        }
        HANDLE other = INVALID_HANDLE_VALUE;
        if (!c.readOnly) {
            other = CreateFileW(File().c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(other, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        }
        Register();
        if (other != INVALID_HANDLE_VALUE)
            CloseHandle(other);
        EXPECT_EQ(FileBytes(File()), c.updated ? Table("other", "3", "5") + Table("old", "7", "1") : kOldFile);
        EXPECT_EQ(FolderListing(Folder()), kJustTheFile);
    }
}

// A link in place of the folder or the file, which any program of the user can make, leads nowhere: the place it
// points to keeps its content, its attributes and its listing, and the link stays.
TEST_F(RegistrationTest, LeavesLinksAndWhatTheyPointToAlone) {
    for (const bool folderIsLink : {true, false}) {
        SCOPED_TRACE(folderIsLink ? ".velmor is a link to another folder" : "config.toml is a link to another file");
        ASSERT_NO_FATAL_FAILURE(NewProfile(nullptr));
        TemporaryProfile elsewhere(L"-protected");
        const std::wstring targetFile = elsewhere.path + L"\\config.toml";
        ASSERT_NO_FATAL_FAILURE(WriteWholeFile(targetFile, kOldFile));
        if (folderIsLink) {
            ASSERT_NO_FATAL_FAILURE(RunUnix("ln -s", elsewhere.path, Folder(), true));
        } else {
            ASSERT_TRUE(CreateDirectoryW(Folder().c_str(), nullptr));
            ASSERT_NO_FATAL_FAILURE(RunUnix("ln -s", targetFile, File(), true));
        }
        const DWORD targetAttributes = GetFileAttributesW(elsewhere.path.c_str());

        Register();
        EXPECT_EQ(FileBytes(targetFile), kOldFile);
        EXPECT_EQ(FolderListing(elsewhere.path), kJustTheFile);
        EXPECT_EQ(GetFileAttributesW(elsewhere.path.c_str()), targetAttributes);
        EXPECT_EQ(FileBytes(File()), kOldFile) << "the link was replaced";
        const std::wstring link = folderIsLink ? Folder() : File();
        ASSERT_NO_FATAL_FAILURE(RunUnix("rm -f", link, link, false));
    }
}

}  // namespace
