#include "config/software_registry.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

// Shows every value with its control bytes escaped when an expectation fails.
void PrintTo(const SoftwareEntry& entry, std::ostream* out) {
    *out << "{name " << testing::PrintToString(entry.name) << ", product_id "
         << testing::PrintToString(entry.product_id) << ", distributor_id "
         << testing::PrintToString(entry.distributor_id) << "}";
}

namespace {

namespace fs = std::filesystem;
using Entries = std::vector<SoftwareEntry>;

// "velmor录屏大师" in UTF-8: 18 bytes.
const std::string kProductName = "velmor\xE5\xBD\x95\xE5\xB1\x8F\xE5\xA4\xA7\xE5\xB8\x88";

// The registry file of exactly this product: 12 + 27 + 16 + 20 bytes of lines, each with CR LF.
const std::string kProductFile =
    "[[software]]\r\n"
    "name = \"velmor\xE5\xBD\x95\xE5\xB1\x8F\xE5\xA4\xA7\xE5\xB8\x88\"\r\n"
    "product_id = \"7\"\r\n"
    "distributor_id = \"1\"\r\n";

std::string ReadBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    ASSERT_FALSE(file.fail()) << path;
}

// The names in a folder: shows any temporary file left behind.
std::set<std::string> FolderListing(const fs::path& folder) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

const std::set<std::string> kJustTheFile = {"config.toml"};

// Each test works in a fresh folder of its own under the system's temporary folder.
class SoftwareRegistryFileTest : public testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() /
                  ("velmor-registry-test-" + std::to_string(random()) + "-" + std::to_string(random()));
        ASSERT_TRUE(fs::create_directory(folder_)) << folder_;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    fs::path File() const { return folder_ / "config.toml"; }

    fs::path folder_;
};

// Read through files, not streams: a file opened in text mode would turn CR LF into LF and stop at 0x1A on Windows.
TEST_F(SoftwareRegistryFileTest, ReadsEntriesLineByLine) {
    struct Case {
        const char* label;
        const char* bytes;  // nullptr: no file
        Entries expected;
    };
    const Case cases[] = {
        {"missing file", nullptr, {}},
        {"empty file", "", {}},
        {"blank lines only", "\n\r\n   \n\t\n\r\n", {}},
        {"the product's own file, CR LF", kProductFile.c_str(), {{kProductName, "7", "1"}}},
        {"LF, the last line without one",
         "[[software]]\nname = \"a\"\nproduct_id = \"7\"\ndistributor_id = \"1\"",
         {{"a", "7", "1"}}},
        // Only the one CR right before an LF belongs to the line end.
        {"lone CR stays", "name = a\rb\nproduct_id = 7\r\r\ndistributor_id = 1\r", {{"a\rb", "7\r", "1\r"}}},
        {"bytes after 0x1A ignored, even inside a line",
         "[[software]]\r\nproduct_id = 7\r\ndistributor_id = 12\x1A"
         "34\r\n[[software]]\r\nproduct_id = 8\r\n",
         {{"", "7", "12"}}},
        {"0x1A right after a CR: the CR stays", "product_id = 7\r\x1A\nproduct_id = 8\n", {{"", "7\r", ""}}},
        {"entries without or with an empty product_id dropped between good ones",
         "[[software]]\nname = a\nproduct_id = 3\ndistributor_id = 1\n[[software]]\nname = b\ndistributor_id = 2\n"
         "[[software]]\nname = c\nproduct_id = 7\ndistributor_id = 3\n[[software]]\nname = d\nproduct_id = \"\"\n",
         {{"a", "3", "1"}, {"c", "7", "3"}}},
        {"key lines before the first table form an entry; a table clears a dropped one",
         "name = a\nproduct_id = 5\n[[software]]\nname = b\n[[software]]\nproduct_id = 7\n",
         {{"a", "5", ""}, {"", "7", ""}}},
        {"same key twice: the later wins, also when empty",
         "[[software]]\nname = a\nproduct_id = 7\ndistributor_id = 1\nname = b\nproduct_id = 8\ndistributor_id =\n",
         {{"b", "8", ""}}},
        {"unquoted values, no or other blanks around =",
         "name=abc\nproduct_id   =\t\t\"7\"\ndistributor_id=1\n",
         {{"abc", "7", "1"}}},
        {"trailing blanks and comments kept",
         "product_id = \"7\" \t\r\nname = \" a b \" \r\ndistributor_id = \"1\" # installer\n",
         {{"a b  ", "7 \t", "1 # installer"}}},
        {"= inside a value; blanks only are empty",
         "name = \"a=b\"\nproduct_id = = 7\ndistributor_id =  \t \n",
         {{"a=b", "= 7", ""}}},
        // A quote-built "product_id" shows that a line is classified before its quotes go.
        {"quotes removed anywhere, then leading blanks",
         "name = a\"b\"c\"\nproduct_id = \" \t7\"\ndistributor_id = product\"_id\n",
         {{"abc", "7", "product_id"}}},
        {"a name line without = keeps the earlier value",
         "[[software]]\nname = a\nname b\nproduct_id = 7\nproduct_id 9\n",
         {{"a", "7", ""}}},
        {"keys found anywhere in the line, comments too, case-sensitive",
         "[[software]]\nxproduct_idx = 7\nPRODUCT_ID = 8\nName = n\ndistributor_id = 1\n# distributor_id = 3\n",
         {{"", "7", "3"}}},
        // Each line counts as the first of: table start, name, product_id, distributor_id that it contains.
        {"marker text in values: name before product_id and distributor_id",
         "[[software]]\nproduct_id = 7\nname = \"product_id distributor_id\"\ndistributor_id = \"nameless\"\n",
         {{"nameless", "7", ""}}},
        {"marker text in values: table before name, product_id before distributor_id",
         "[[software]]\nproduct_id = 7\ndistributor_id = \"old_product_id\"\nname = \"[[software]]\"\nproduct_id = 8\n",
         {{"", "old_product_id", ""}, {"", "8", ""}}},
        {"table header with blanks before and text after it",
         "product_id = 7\n  \t[[software]] # two\nproduct_id = 8\n",
         {{"", "7", ""}, {"", "8", ""}}},
        {"single brackets, a capital S, inner blanks or other tables start no table",
         "product_id = 7\ndistributor_id = 1\n[software]\n[[Software]]\n[[ software ]]\n[[other]]\nproduct_id = 8\n",
         {{"", "8", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.bytes)
            WriteBytes(File(), c.bytes);
        else
            fs::remove(File());
        EXPECT_EQ(ReadSoftwareEntries(File()), c.expected);
        EXPECT_EQ(FolderListing(folder_), c.bytes ? kJustTheFile : std::set<std::string>{});  // reading creates nothing
        EXPECT_EQ(ReadBytes(File()), c.bytes ? c.bytes : "");                                 // and changes nothing
    }
}

// Every case is written over a missing file and over a longer one, which must go completely.
TEST_F(SoftwareRegistryFileTest, WritesQuotedValuesWithCrLf) {
    struct Case {
        const char* label;
        Entries entries;
        std::string expected;
    };
    const Case cases[] = {
        {"empty list: empty file", {}, ""},
        {"the product's 83 bytes", {{kProductName, "7", "1"}}, kProductFile},
        {"list order, nothing escaped, LF in a value as CR LF",
         {{"b", "9", "a\nb"}, {"say \"hi\"\\", " 7 ", ""}},
         "[[software]]\r\nname = \"b\"\r\nproduct_id = \"9\"\r\ndistributor_id = \"a\r\nb\"\r\n"
         "[[software]]\r\nname = \"say \"hi\"\\\"\r\nproduct_id = \" 7 \"\r\ndistributor_id = \"\"\r\n"},
    };
    ASSERT_EQ(kProductFile.size(), 83u);
    for (const Case& c : cases) {
        for (const bool existing : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.label << (existing ? ", over a longer file" : ", new file"));
            fs::remove(File());
            if (existing)
                WriteBytes(File(), kProductFile + kProductFile + "# a tail that must not survive\r\n");
            WriteSoftwareEntries(File(), c.entries);
            EXPECT_EQ(ReadBytes(File()), c.expected);
            EXPECT_EQ(FolderListing(folder_), kJustTheFile);
        }
    }
}

TEST_F(SoftwareRegistryFileTest, ForeignLinesAreGoneAfterAWrite) {
    WriteBytes(File(),
               "# the user's notes\nversion = 2\n[settings]\ntheme = \"dark\"\n[[software]]\nname = \"a\"\n"
               "product_id = \"3\"\nhomepage = \"https://example.com\"\n[[plugins]]\nenabled = true\n\x1Agarbage\n");
    WriteSoftwareEntries(File(), ReadSoftwareEntries(File()));
    EXPECT_EQ(ReadBytes(File()), "[[software]]\r\nname = \"a\"\r\nproduct_id = \"3\"\r\ndistributor_id = \"\"\r\n");
}

// Where a file that a reader holds open can be replaced (Linux), the reader keeps seeing the old file whole: the new
// content goes to another file, which then takes the old one's place. Where it cannot (Windows: the reader shares
// reading and writing, not deletion), the new content is written in place rather than lost.
TEST_F(SoftwareRegistryFileTest, ReaderOfTheOldFileSeesItWholeOrTheUpdate) {
    WriteBytes(File(), kProductFile);
    std::ifstream reader(File(), std::ios::binary);
    WriteSoftwareEntries(File(), {{"other", "3", "2"}});
#ifdef _WIN32
    const std::string seen = FormatSoftwareEntries({{"other", "3", "2"}});
#else
    const std::string seen = kProductFile;
#endif
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), seen);
    EXPECT_EQ(FolderListing(folder_), kJustTheFile);
}

// Whatever stops the replacement, the old file stays as it was and no temporary file is left.
TEST_F(SoftwareRegistryFileTest, FailedWritesLeaveEverythingAsItWas) {
    {
        SCOPED_TRACE("a missing folder");
        WriteSoftwareEntries(folder_ / "missing" / "config.toml", {{kProductName, "7", "1"}});
        EXPECT_TRUE(FolderListing(folder_).empty());
    }
    {
        // A file cannot take the place of a non-empty folder, neither on Linux nor on Windows.
        SCOPED_TRACE("a non-empty folder as the target");
        ASSERT_TRUE(fs::create_directory(File()));
        WriteBytes(File() / "inner.txt", kProductFile);
        WriteSoftwareEntries(File(), {{"other", "3", "2"}});
        ASSERT_TRUE(fs::is_directory(File()));
        EXPECT_EQ(ReadBytes(File() / "inner.txt"), kProductFile);
        EXPECT_EQ(FolderListing(File()), std::set<std::string>{"inner.txt"});
        EXPECT_EQ(FolderListing(folder_), kJustTheFile);
        fs::remove_all(File());
    }
    {
        // On Linux a rename would replace it regardless of the mark; on Windows the mark is the read-only attribute.
        SCOPED_TRACE("a read-only target");
        WriteBytes(File(), kProductFile);
        const fs::perms writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
        fs::permissions(File(), writable, fs::perm_options::remove);
        WriteSoftwareEntries(File(), {{"other", "3", "2"}});
        EXPECT_EQ(ReadBytes(File()), kProductFile);
        EXPECT_EQ(fs::status(File()).permissions() & fs::perms::owner_write, fs::perms::none);
        EXPECT_EQ(FolderListing(folder_), kJustTheFile);
        fs::permissions(File(), fs::perms::owner_write, fs::perm_options::add);  // so that it can be removed
    }
}

// Random files of lines whose values hold no marker text once their quotes are gone (values that do are read
// differently after writing, by design): what the writer makes of a read list reads back as the same list.
TEST_F(SoftwareRegistryFileTest, WhatWasReadReadsBackTheSameAfterWriting) {
    static const char* const kKeys[] = {"name", "product_id", "distributor_id", "# distributor_id", "xproduct_idx"};
    static const char* const kOthers[] = {"[[software]]", "  [[software]] # x", "[software]", "[[Software]]",
                                          "# note",       "version = 2",        "name",       "\x1A tail"};
    // Without an n, p, d or s among the pieces no marker text can form in a value.
    static const char* const kPieces[] = {"a",  "7",  " ",  "\t", "=",    "#",           "[",
                                          "]]", "\"", "\\", "\r", "Name", "\xE5\xBD\x95"};
    std::mt19937 random(20240611);
    const auto pick = [&random](const auto& list) { return std::string(list[random() % std::size(list)]); };
    size_t entries = 0;
    for (int round = 0; round < 400; ++round) {
        std::string bytes;
        for (int line = random() % 20; line > 0; --line) {
            if (random() % 3 == 0) {
                bytes += pick(kOthers);
            } else {
                bytes += pick(kKeys) + (random() % 2 ? " = " : "\t=");
                for (int piece = random() % 6; piece > 0; --piece)
                    bytes += pick(kPieces);
            }
            bytes += random() % 2 ? "\n" : "\r\n";
        }
        SCOPED_TRACE(testing::PrintToString(bytes));
        WriteBytes(folder_ / "source.toml", bytes);
        const Entries read = ReadSoftwareEntries(folder_ / "source.toml");
        entries += read.size();
        WriteSoftwareEntries(File(), read);
        ASSERT_EQ(ReadSoftwareEntries(File()), read);
    }
    EXPECT_GT(entries, 250u);  // enough to mean something
}

}  // namespace
