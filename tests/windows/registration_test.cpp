// RegisterProductInProfile and the registry file's replacement on Windows, each test in a profile folder of its own.
#include "config/registration.h"

#include <windows.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "config/software_registry.h"

namespace {

// "velmor录屏大师" in UTF-8.
const std::string kProductName = "velmor\xE5\xBD\x95\xE5\xB1\x8F\xE5\xA4\xA7\xE5\xB8\x88";

// One [[software]] table as the registry file holds it.
std::string Table(const std::string& name, const std::string& productId, const std::string& distributorId) {
    return "[[software]]\r\nname = \"" + name + "\"\r\nproduct_id = \"" + productId + "\"\r\ndistributor_id = \"" +
           distributorId + "\"\r\n";
}

// The file that registering this product in an empty profile gives: 83 bytes.
const std::string kProductFile =
    "[[software]]\r\n"
    "name = \"velmor\xE5\xBD\x95\xE5\xB1\x8F\xE5\xA4\xA7\xE5\xB8\x88\"\r\n"
    "product_id = \"7\"\r\n"
    "distributor_id = \"1\"\r\n";

// Whole-file access through Win32 alone, independent of the code under test.
bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes.clear();
    char buffer[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof(buffer), &got, nullptr)) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return ok;
}

std::string FileBytes(const std::wstring& path) {
    std::string bytes;
    EXPECT_TRUE(ReadWholeFile(path, bytes)) << "cannot read the file, error " << GetLastError();
    return bytes;
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(ok);
    ASSERT_EQ(written, bytes.size());
}

// Every name in a folder, hidden or not; a leftover temporary file shows up here.
std::set<std::wstring> FolderListing(const std::wstring& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.insert(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

const std::set<std::wstring> kJustTheFile = {L"config.toml"};

// A fresh folder under the temporary folder, removed with everything in it afterwards.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::wstring& suffix = L"") {
        static int counter = 0;
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        path_ = std::wstring(temp) + L"velmor-registration-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter) + suffix;
        created_ = CreateDirectoryW(path_.c_str(), nullptr) != 0;
    }
    ~TemporaryFolder() {
        // Read-only and hidden attributes would stop the removal.
        std::error_code error;
        for (auto it = std::filesystem::recursive_directory_iterator(path_, error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
            SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
        std::filesystem::remove_all(path_, error);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::wstring& path() const { return path_; }
    bool created() const { return created_; }

private:
    std::wstring path_;
    bool created_ = false;
};

class RegistrationTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(profile_.created()) << "error " << GetLastError(); }

    std::wstring Folder() const { return profile_.path() + L"\\.velmor"; }
    std::wstring File() const { return Folder() + L"\\config.toml"; }

    // A registry file with the given bytes, as an earlier program left it.
    void GivenFile(const std::string& bytes) {
        ASSERT_TRUE(CreateDirectoryW(Folder().c_str(), nullptr));
        WriteWholeFile(File(), bytes);
    }

    TemporaryFolder profile_;
};

TEST_F(RegistrationTest, CreatesAHiddenFolderAndTheProductsFile) {
    RegisterProductInProfile(profile_.path());

    const DWORD attributes = GetFileAttributesW(Folder().c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM), 0u);
    const std::string bytes = FileBytes(File());
    EXPECT_EQ(bytes.size(), 83u);
    EXPECT_EQ(bytes, kProductFile);
    EXPECT_EQ(FolderListing(Folder()), kJustTheFile);
    EXPECT_EQ(FolderListing(profile_.path()), std::set<std::wstring>{L".velmor"});
}

TEST_F(RegistrationTest, LeavesTheFolderWithTheHiddenAttributeAlone) {
    // A folder that exists already with other attributes ends up with just the hidden one.
    ASSERT_TRUE(CreateDirectoryW(Folder().c_str(), nullptr));
    ASSERT_TRUE(SetFileAttributesW(Folder().c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_EQ(GetFileAttributesW(Folder().c_str()) & FILE_ATTRIBUTE_SYSTEM, static_cast<DWORD>(FILE_ATTRIBUTE_SYSTEM))
        << "this system does not keep the system attribute of folders";

    RegisterProductInProfile(profile_.path());

    EXPECT_EQ(GetFileAttributesW(Folder().c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(FileBytes(File()), kProductFile);
}

TEST_F(RegistrationTest, UpdatesThisProductAfterAnotherKeepingItsOldName) {
    GivenFile(
        "# written by hand\n"
        "[[software]]\n"
        "name = \"other\"\n"
        "product_id = \"3\"\n"
        "distributor_id = \"5\"\n"
        "[[software]]\n"
        "name = \"old name\"\n"
        "product_id = \"7\"\n"
        "distributor_id = \"3\"\n");

    RegisterProductInProfile(profile_.path());

    EXPECT_EQ(FileBytes(File()), Table("other", "3", "5") + Table("old name", "7", "1"));
    EXPECT_EQ(FolderListing(Folder()), kJustTheFile);
}

TEST_F(RegistrationTest, UpdatesOnlyTheFirstEntryOfThisProduct) {
    GivenFile(Table("first", "7", "3") + Table("between", "4", "4") + Table("second", "7", "5"));

    RegisterProductInProfile(profile_.path());

    EXPECT_EQ(FileBytes(File()), Table("first", "7", "1") + Table("between", "4", "4") + Table("second", "7", "5"));
}

TEST_F(RegistrationTest, AppendsThisProductWhenOnlySimilarIdsAreThere) {
    // Product ids are compared byte for byte.
    const std::string similar = Table("zero", "07", "3") + Table("blank", "7 ", "3") + Table("seventy", "70", "3");
    GivenFile(similar);

    RegisterProductInProfile(profile_.path());

    EXPECT_EQ(FileBytes(File()), similar + kProductFile);
}

TEST_F(RegistrationTest, UpdatesAnEntryWithoutName) {
    GivenFile("product_id = 7\ndistributor_id = 9\n");

    RegisterProductInProfile(profile_.path());

    EXPECT_EQ(FileBytes(File()), Table("", "7", "1"));
}

TEST_F(RegistrationTest, ASecondRunLeavesTheSameBytes) {
    struct Case {
        const char* label;
        const char* before;  // nullptr: no folder
    };
    const Case cases[] = {
        {"no folder", nullptr},
        {"another product", "[[software]]\nname = other\nproduct_id = 3\n"},
        {"this product with another distributor", "[[software]]\nname = x\nproduct_id = 7\ndistributor_id = 2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TemporaryFolder profile;
        ASSERT_TRUE(profile.created());
        const std::wstring folder = profile.path() + L"\\.velmor";
        const std::wstring file = folder + L"\\config.toml";
        if (c.before) {
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
            WriteWholeFile(file, c.before);
        }

        RegisterProductInProfile(profile.path());
        const std::string first = FileBytes(file);
        RegisterProductInProfile(profile.path());

        EXPECT_FALSE(first.empty());
        EXPECT_EQ(FileBytes(file), first);
        EXPECT_EQ(FolderListing(folder), kJustTheFile);
    }
}

TEST_F(RegistrationTest, FileOfForeignLinesGetsJustThisProduct) {
    GivenFile(
        "# settings of another program\r\n"
        "[general]\r\n"
        "theme = \"dark\"\r\n"
        "[[plugins]]\r\n"
        "enabled = true\r\n");

    RegisterProductInProfile(profile_.path());

    EXPECT_EQ(FileBytes(File()), kProductFile);
}

TEST(RegistrationPath, WorksInAProfileWithChineseCharacters) {
    TemporaryFolder profile(L"-\u7528\u6237\u6D4B\u8BD5");  // "用户测试"
    ASSERT_TRUE(profile.created()) << "error " << GetLastError();
    const std::wstring folder = profile.path() + L"\\.velmor";

    RegisterProductInProfile(profile.path());

    EXPECT_NE(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(FileBytes(folder + L"\\config.toml"), kProductFile);
    EXPECT_EQ(FolderListing(folder), kJustTheFile);

    // And once more, now reading the file back from that path.
    WriteWholeFile(folder + L"\\config.toml", Table("other", "3", "5") + Table("old", "7", "2"));
    RegisterProductInProfile(profile.path());
    EXPECT_EQ(FileBytes(folder + L"\\config.toml"), Table("other", "3", "5") + Table("old", "7", "1"));
}

// ---------------------------------------------------------------------------------------------------------------
// Targets that must not be replaced: held open without sharing deletion, or marked read-only.

const std::string kOldFile = Table("other", "3", "5") + Table("old", "7", "2");

class RegistryFileTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.created()) << "error " << GetLastError();
        WriteWholeFile(File(), kOldFile);
    }
    std::wstring File() const { return folder_.path() + L"\\config.toml"; }

    TemporaryFolder folder_;
};

TEST_F(RegistryFileTest, ReplacesAnUnblockedFile) {
    // The counterpart of the cases below: the same steps without a block do replace the file.
    WriteSoftwareEntries(File(), {{kProductName, "7", "1"}});
    EXPECT_EQ(FileBytes(File()), kProductFile);
    EXPECT_EQ(FolderListing(folder_.path()), kJustTheFile);
}

TEST_F(RegistryFileTest, KeepsTheOldFileWhileAnotherHandleDeniesDeleting) {
    HANDLE other = CreateFileW(File().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE) << "error " << GetLastError();

    WriteSoftwareEntries(File(), {{kProductName, "7", "1"}});

    // Still open: the other handle sees the old bytes, and so does a new reader.
    std::string seen(kOldFile.size() + 16, '\0');
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(other, seen.data(), static_cast<DWORD>(seen.size()), &got, nullptr));
    seen.resize(got);
    EXPECT_EQ(seen, kOldFile);
    EXPECT_EQ(FileBytes(File()), kOldFile);
    EXPECT_EQ(FolderListing(folder_.path()), kJustTheFile);
    CloseHandle(other);

    EXPECT_EQ(FileBytes(File()), kOldFile);
    EXPECT_EQ(FolderListing(folder_.path()), kJustTheFile);
}

TEST_F(RegistryFileTest, RegistrationKeepsTheOldFileWhileAnotherHandleDeniesDeleting) {
    // The same block through the whole registration: nothing thrown, nothing changed.
    TemporaryFolder profile;
    ASSERT_TRUE(profile.created());
    const std::wstring folder = profile.path() + L"\\.velmor";
    const std::wstring file = folder + L"\\config.toml";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteWholeFile(file, kOldFile);
    HANDLE other = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE) << "error " << GetLastError();

    RegisterProductInProfile(profile.path());
    CloseHandle(other);

    EXPECT_EQ(FileBytes(file), kOldFile);
    EXPECT_EQ(FolderListing(folder), kJustTheFile);
}

TEST_F(RegistryFileTest, NeverLosesTheFileWhileAReaderSharesDeleting) {
    // Such a reader does not stop the replacement on Windows (Wine refuses it), but either way a complete file stays:
    // the old one or the new one, never none.
    HANDLE other = CreateFileW(File().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE) << "error " << GetLastError();

    WriteSoftwareEntries(File(), {{kProductName, "7", "1"}});
    CloseHandle(other);

    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(File(), bytes)) << "the registry file is gone, error " << GetLastError();
    EXPECT_TRUE(bytes == kOldFile || bytes == kProductFile) << bytes;
    EXPECT_EQ(FolderListing(folder_.path()), kJustTheFile);
}

TEST_F(RegistryFileTest, KeepsAReadOnlyFile) {
    // Windows itself refuses to replace a read-only file; Wine 8 would let MoveFileExW replace it, so there the mark
    // is kept only because the writer checks it.
    ASSERT_TRUE(SetFileAttributesW(File().c_str(), FILE_ATTRIBUTE_READONLY));

    WriteSoftwareEntries(File(), {{kProductName, "7", "1"}});

    EXPECT_EQ(FileBytes(File()), kOldFile);
    EXPECT_NE(GetFileAttributesW(File().c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(FolderListing(folder_.path()), kJustTheFile);
}

TEST_F(RegistryFileTest, RegistrationKeepsAReadOnlyFile) {
    TemporaryFolder profile;
    ASSERT_TRUE(profile.created());
    const std::wstring folder = profile.path() + L"\\.velmor";
    const std::wstring file = folder + L"\\config.toml";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteWholeFile(file, kOldFile);
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));

    RegisterProductInProfile(profile.path());

    EXPECT_EQ(FileBytes(file), kOldFile);
    EXPECT_EQ(FolderListing(folder), kJustTheFile);
}

}  // namespace
