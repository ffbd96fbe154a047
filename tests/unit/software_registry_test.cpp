#include "config/software_registry.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/product.h"
#include "wine/tools/file_bytes.h"

// Shows every value with its control bytes escaped when an expectation fails.
void PrintTo(const SoftwareEntry& e, std::ostream* out) {
    *out << testing::PrintToString(std::vector{e.name, e.product_id, e.distributor_id});
}

namespace {

namespace fs = std::filesystem;
using Entries = std::vector<SoftwareEntry>;

const std::string kProductName = ProductName;  // UTF-8 text with more than ASCII
const std::string kProductFile =
    "[[software]]\r\nname = \"" + kProductName + "\"\r\nproduct_id = \"7\"\r\ndistributor_id = \"1\"\r\n";

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Each test works in a fresh folder of its own; its listing shows any temporary file left behind.
class SoftwareRegistryFileTest : public testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("velmor-registry-test-" + std::to_string(std::random_device()()));
        ASSERT_TRUE(fs::create_directory(folder_)) << folder_;
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path File() const { return folder_ / "config.toml"; }
    std::set<std::string> Listing(const fs::path& folder = {}) const {
        std::set<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder.empty() ? folder_ : folder))
            names.insert(entry.path().filename().string());
        return names;
    }

    fs::path folder_;
    const std::set<std::string> kJustTheFile = {"config.toml"};
};

// Read through files, not streams: a file opened in text mode would turn CR LF into LF and stop at 0x1A on Windows.
// Each line counts as the first of: table start, name, product_id, distributor_id that it contains.
TEST_F(SoftwareRegistryFileTest, ReadsEntriesLineByLine) {
    const struct {
        const char* bytes;  // nullptr: no file
        Entries expected;
    } cases[] = {
        {nullptr, {}},
        {"\n\r\n   \n\t\n\r\n", {}},
        {kProductFile.c_str(), {{kProductName, "7", "1"}}},
        {"[[software]]\nname = \"a\"\nproduct_id = \"7\"\ndistributor_id = \"1\"", {{"a", "7", "1"}}},
        // Only the one CR right before an LF belongs to the line end.
        {"name = a\rb\nproduct_id = 7\r\r\ndistributor_id = 1\r", {{"a\rb", "7\r", "1\r"}}},
        {"product_id = 7\r\ndistributor_id = 12\x1A"
         "34\r\n[[software]]\r\nproduct_id = 8\r\n",
         {{"", "7", "12"}}},
        {"product_id = 7\r\x1A\nproduct_id = 8\n", {{"", "7\r", ""}}},
        // Entries without or with an empty product_id are dropped; key lines before the first table form an entry.
        {"name = a\nproduct_id = 3\ndistributor_id = 1\n[[software]]\nname = b\ndistributor_id = 2\n"
         "[[software]]\nname = c\nproduct_id = 7\n[[software]]\nname = d\nproduct_id = \"\"\n",
         {{"a", "3", "1"}, {"c", "7", ""}}},
        {"[[software]]\nname = a\nproduct_id = 7\ndistributor_id = 1\nname = b\nproduct_id = 8\ndistributor_id =\n",
         {{"b", "8", ""}}},
        {"name=abc\nproduct_id   =\t\t\"7\"\ndistributor_id=1\n", {{"abc", "7", "1"}}},
        {"product_id = \"7\" \t\r\nname = \" a b \" \r\ndistributor_id = \"1\" # installer\n",
         {{"a b  ", "7 \t", "1 # installer"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes ? c.bytes : "no file"));
        if (c.bytes)
            WriteBytes(File(), c.bytes);
        else
            fs::remove(File());
        EXPECT_EQ(ReadSoftwareEntries(File()), c.expected);
        EXPECT_EQ(FileBytes(File()), c.bytes ? c.bytes : "");  // reading changes nothing
    }
}

// Written over a missing file and over a longer one, which must go completely; nothing escaped, LF as CR LF.
TEST_F(SoftwareRegistryFileTest, WritesQuotedValuesWithCrLf) {
    const struct {
        Entries entries;
        std::string expected;
    } cases[] = {
        {{}, ""},
        {{{kProductName, "7", "1"}}, kProductFile},
        {{{"b", "9", "a\nb"}, {"say \"hi\"\\", " 7 ", ""}},
         "[[software]]\r\nname = \"b\"\r\nproduct_id = \"9\"\r\ndistributor_id = \"a\r\nb\"\r\n"
         "[[software]]\r\nname = \"say \"hi\"\\\"\r\nproduct_id = \" 7 \"\r\ndistributor_id = \"\"\r\n"},
    };
    for (const auto& c : cases) {
        for (const bool existing : {false, true}) {
            fs::remove(File());
            if (existing)
                WriteBytes(File(), kProductFile + kProductFile + "# a tail that must not survive\r\n");
            WriteSoftwareEntries(File(), c.entries);
            EXPECT_EQ(FileBytes(File()), c.expected);
            EXPECT_EQ(Listing(), kJustTheFile);
        }
    }
}

// Whatever stops the replacement (a missing folder, a non-empty folder in the way, a read-only file), the old file
// stays as it was and no temporary file is left.
TEST_F(SoftwareRegistryFileTest, FailedWritesLeaveEverythingAsItWas) {
    WriteSoftwareEntries(folder_ / "missing" / "config.toml", {{kProductName, "7", "1"}});
    EXPECT_TRUE(Listing().empty());

    ASSERT_TRUE(fs::create_directory(File()));
    WriteBytes(File() / "inner.txt", kProductFile);
    WriteSoftwareEntries(File(), {{"other", "3", "2"}});
    EXPECT_EQ(FileBytes(File() / "inner.txt"), kProductFile);
    EXPECT_EQ(Listing(File()), std::set<std::string>{"inner.txt"});
    EXPECT_EQ(Listing(), kJustTheFile);
    fs::remove_all(File());

    WriteBytes(File(), kProductFile);
    fs::permissions(File(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    WriteSoftwareEntries(File(), {{"other", "3", "2"}});
    EXPECT_EQ(FileBytes(File()), kProductFile);
    EXPECT_EQ(Listing(), kJustTheFile);
    fs::permissions(File(), fs::perms::owner_write, fs::perm_options::add);  // so that it can be removed
}

}  // namespace
