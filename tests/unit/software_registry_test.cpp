#include "config/software_registry.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
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

Entries Parse(const std::string& bytes) {
    std::istringstream input(bytes);
    return ParseSoftwareEntries(input);
}

// The names in a folder, sorted: shows any temporary file left behind.
std::set<std::string> FolderListing(const fs::path& folder) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

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
    fs::path folder_;
};

// ---------------------------------------------------------------------------------------------------------------
// Reading

enum class Source {
    kFile,     // the bytes as a file (and as a stream)
    kMissing,  // no file at the path
    kFolder,   // a folder at the path
};

struct ReadCase {
    const char* label;
    Source source;
    std::string bytes;
    Entries expected;
};

const ReadCase kReadCases[] = {
    {"missing file", Source::kMissing, "", {}},
    {"folder instead of a file", Source::kFolder, "", {}},
    {"empty file", Source::kFile, "", {}},
    {"blank lines only", Source::kFile, "\n\r\n   \n\t\n\r\n", {}},
    {"table headers only", Source::kFile, "[[software]]\r\n[[software]]\r\n", {}},

    // Line ends.
    {"the product's own file, CR LF", Source::kFile, kProductFile, {{kProductName, "7", "1"}}},
    {"LF line ends",
     Source::kFile,
     "[[software]]\nname = \"a\"\nproduct_id = \"7\"\ndistributor_id = \"1\"\n",
     {{"a", "7", "1"}}},
    {"CR LF and LF mixed, two entries",
     Source::kFile,
     "[[software]]\r\nname = \"a\"\nproduct_id = \"3\"\r\ndistributor_id = \"9\"\n"
     "[[software]]\nname = \"b\"\r\nproduct_id = \"7\"\ndistributor_id = \"1\"\r\n",
     {{"a", "3", "9"}, {"b", "7", "1"}}},
    {"last line without LF", Source::kFile, "[[software]]\nproduct_id = \"7\"", {{"", "7", ""}}},
    {"only one CR before LF belongs to the line end", Source::kFile, "product_id = 7\r\r\n", {{"", "7\r", ""}}},
    {"lone CR inside a line stays", Source::kFile, "name = a\rb\nproduct_id = 7\n", {{"a\rb", "7", ""}}},
    {"CR at the end of input without LF stays", Source::kFile, "product_id = 7\r", {{"", "7\r", ""}}},
    {"CR without LF does not end a line",
     Source::kFile,
     "product_id = 7\rdistributor_id = 2\n",
     {{"", "7\rdistributor_id = 2", ""}}},

    // 0x1A ends the input.
    {"bytes after 0x1A ignored",
     Source::kFile,
     "[[software]]\r\nproduct_id = \"7\"\r\n\x1A"
     "[[software]]\r\nproduct_id = \"8\"\r\n",
     {{"", "7", ""}}},
    {"0x1A inside a line: the part before it is the last line",
     Source::kFile,
     "product_id = 12\x1A"
     "34\nname = x\n",
     {{"", "12", ""}}},
    {"0x1A right after a CR: the CR stays", Source::kFile, "product_id = 7\r\x1A\n", {{"", "7\r", ""}}},
    {"0x1A first: nothing", Source::kFile, "\x1A[[software]]\nproduct_id = 7\n", {}},
    {"0x1A cuts off a later key of the pending entry",
     Source::kFile,
     "[[software]]\nproduct_id = 7\n\x1A"
     "distributor_id = 1\n",
     {{"", "7", ""}}},

    // Which entries are kept.
    {"entry without product_id dropped between two good ones",
     Source::kFile,
     "[[software]]\nname = a\nproduct_id = 3\ndistributor_id = 1\n"
     "[[software]]\nname = b\ndistributor_id = 2\n"
     "[[software]]\nname = c\nproduct_id = 7\ndistributor_id = 3\n",
     {{"a", "3", "1"}, {"c", "7", "3"}}},
    {"empty product_id dropped", Source::kFile, "[[software]]\nname = a\nproduct_id = \"\"\n", {}},
    {"later empty product_id drops the entry", Source::kFile, "product_id = 7\nproduct_id =\n", {}},
    {"key lines before the first table form an entry",
     Source::kFile,
     "name = a\nproduct_id = 5\ndistributor_id = 2\n[[software]]\nproduct_id = 7\n",
     {{"a", "5", "2"}, {"", "7", ""}}},
    {"table start clears a pending entry without product_id",
     Source::kFile,
     "name = a\ndistributor_id = 2\n[[software]]\nproduct_id = 7\n",
     {{"", "7", ""}}},
    {"other tables do not end the pending entry",
     Source::kFile,
     "[[software]]\nproduct_id = 7\n[foo]\ndistributor_id = 2\n[[other]]\nname = n\n",
     {{"n", "7", "2"}}},
    {"same key twice: later wins",
     Source::kFile,
     "[[software]]\nname = a\nproduct_id = 7\nname = b\nproduct_id = 8\n",
     {{"b", "8", ""}}},

    // Values.
    {"unquoted values, no blanks around =",
     Source::kFile,
     "[[software]]\nname=abc\nproduct_id=7\ndistributor_id=1\n",
     {{"abc", "7", "1"}}},
    {"blanks before = and tabs after",
     Source::kFile,
     "product_id   =\t\t\"7\"\ndistributor_id\t= \t1\n",
     {{"", "7", "1"}}},
    {"trailing blank kept", Source::kFile, "[[software]]\nproduct_id = \"7\" \n", {{"", "7 ", ""}}},
    {"trailing blanks kept before CR LF",
     Source::kFile,
     "product_id = 7 \t\r\nname = \" a b \" \r\n",
     {{"a b  ", "7 \t", ""}}},
    {"trailing comment kept",
     Source::kFile,
     "product_id = \"7\"\ndistributor_id = \"1\" # installer\n",
     {{"", "7", "1 # installer"}}},
    {"= inside a value", Source::kFile, "name = \"a=b\"\nproduct_id = = 7\n", {{"a=b", "= 7", ""}}},
    {"quotes removed anywhere, then leading blanks",
     Source::kFile,
     "name = a\"b\"c\"\nproduct_id = \" \t7\"\ndistributor_id = \"\"\n",
     {{"abc", "7", ""}}},
    {"value of blanks only is empty", Source::kFile, "product_id = 7\nname =  \t \n", {{"", "7", ""}}},
    {"name line without = keeps the earlier value",
     Source::kFile,
     "[[software]]\nname = a\nname b\nproduct_id = 7\nproduct_id 9\n",
     {{"a", "7", ""}}},
    {"UTF-8 bytes kept as they are",
     Source::kFile,
     "name = \xE5\xBD\x95\xE5\xB1\x8F\nproduct_id = \xEF\xBC\x97\n",
     {{"\xE5\xBD\x95\xE5\xB1\x8F", "\xEF\xBC\x97", ""}}},

    // Classification: the first marker text found anywhere in the line.
    {"comment line holding an assignment sets the field",
     Source::kFile,
     "[[software]]\nproduct_id = 7\ndistributor_id = 1\n# distributor_id = 3\n",
     {{"", "7", "3"}}},
    {"comment without = changes nothing", Source::kFile, "product_id = 7\n# name of the product\n", {{"", "7", ""}}},
    {"marker text anywhere in the line",
     Source::kFile,
     "  name = a\nxproduct_idx = 7\nmy_distributor_id_old = 2\n",
     {{"a", "7", "2"}}},
    {"keys are case-sensitive",
     Source::kFile,
     "product_id = 7\nName = a\nPRODUCT_ID = 8\nDistributor_Id = 2\n",
     {{"", "7", ""}}},
    {"product_id value containing name is a name line",
     Source::kFile,
     "[[software]]\nproduct_id = \"rename\"\ndistributor_id = 1\n",
     {}},
    {"product_id value containing name sets the name",
     Source::kFile,
     "[[software]]\nproduct_id = 7\nproduct_id = \"filename\"\n",
     {{"filename", "7", ""}}},
    {"distributor_id value containing product_id is a product_id line",
     Source::kFile,
     "[[software]]\nproduct_id = 7\ndistributor_id = \"old_product_id\"\n",
     {{"", "old_product_id", ""}}},
    {"distributor_id value containing name is a name line",
     Source::kFile,
     "[[software]]\nproduct_id = 7\ndistributor_id = \"nameless\"\n",
     {{"nameless", "7", ""}}},
    {"name value containing [[software]] is a table start",
     Source::kFile,
     "[[software]]\nproduct_id = 7\nname = \"[[software]]\"\nproduct_id = 8\n",
     {{"", "7", ""}, {"", "8", ""}}},
    {"name value containing product_id stays a name",
     Source::kFile,
     "name = \"product_id distributor_id\"\nproduct_id = 7\n",
     {{"product_id distributor_id", "7", ""}}},

    // Table headers.
    {"header with blanks before it",
     Source::kFile,
     "product_id = 7\n  \t[[software]]\nproduct_id = 8\n",
     {{"", "7", ""}, {"", "8", ""}}},
    {"header with text after it",
     Source::kFile,
     "product_id = 7\n[[software]] # second\nproduct_id = 8\n",
     {{"", "7", ""}, {"", "8", ""}}},
    {"header with CR before LF",
     Source::kFile,
     "product_id = 7\r\n[[software]]\r\nproduct_id = 8\r\n",
     {{"", "7", ""}, {"", "8", ""}}},
    {"single brackets are not a table start",
     Source::kFile,
     "product_id = 7\ndistributor_id = 1\n[software]\nproduct_id = 8\n",
     {{"", "8", "1"}}},
    {"capital S is not a table start",
     Source::kFile,
     "product_id = 7\ndistributor_id = 1\n[[Software]]\nproduct_id = 8\n",
     {{"", "8", "1"}}},
    {"header with inner blank is not a table start",
     Source::kFile,
     "product_id = 7\ndistributor_id = 1\n[[ software ]]\nproduct_id = 8\n",
     {{"", "8", "1"}}},
};

TEST(SoftwareRegistryParse, ReadsTheTableCasesFromAStream) {
    for (const ReadCase& c : kReadCases) {
        if (c.source != Source::kFile)
            continue;
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Parse(c.bytes), c.expected);
    }
}

TEST_F(SoftwareRegistryFileTest, ReadsTheTableCasesFromFiles) {
    int number = 0;
    for (const ReadCase& c : kReadCases) {
        SCOPED_TRACE(c.label);
        const fs::path path = folder_ / ("config" + std::to_string(++number) + ".toml");
        if (c.source == Source::kFile)
            WriteBytes(path, c.bytes);
        if (c.source == Source::kFolder) {
            ASSERT_TRUE(fs::create_directory(path));
            WriteBytes(path / "config.toml", kProductFile);  // a registry file inside must not be taken instead
        }
        EXPECT_EQ(ReadSoftwareEntries(path), c.expected);
        if (c.source == Source::kMissing) {
            EXPECT_FALSE(fs::exists(path));  // reading creates nothing
        }
        if (c.source == Source::kFile) {
            EXPECT_EQ(ReadBytes(path), c.bytes);  // reading changes nothing
        }
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Writing

struct FormatCase {
    const char* label;
    Entries entries;
    std::string expected;
};

const FormatCase kFormatCases[] = {
    {"no entries", {}, ""},
    {"the product", {{kProductName, "7", "1"}}, kProductFile},
    {"empty values", {{"", "", ""}}, "[[software]]\r\nname = \"\"\r\nproduct_id = \"\"\r\ndistributor_id = \"\"\r\n"},
    {"two entries in list order",
     {{"b", "9", "2"}, {"a", "7", "1"}},
     "[[software]]\r\nname = \"b\"\r\nproduct_id = \"9\"\r\ndistributor_id = \"2\"\r\n"
     "[[software]]\r\nname = \"a\"\r\nproduct_id = \"7\"\r\ndistributor_id = \"1\"\r\n"},
    {"LF inside a value goes out as CR LF",
     {{"a\nb", "7", "\n"}},
     "[[software]]\r\nname = \"a\r\nb\"\r\nproduct_id = \"7\"\r\ndistributor_id = \"\r\n\"\r\n"},
    {"CR LF inside a value gets another CR",
     {{"a\r\nb", "7", "1"}},
     "[[software]]\r\nname = \"a\r\r\nb\"\r\nproduct_id = \"7\"\r\ndistributor_id = \"1\"\r\n"},
    {"values written without escaping",
     {{"say \"hi\"\\", " 7 ", "\t1\x1A#"}},
     "[[software]]\r\nname = \"say \"hi\"\\\"\r\nproduct_id = \" 7 \"\r\ndistributor_id = \"\t1\x1A#\"\r\n"},
};

TEST(SoftwareRegistryFormat, FormatsTheTableCases) {
    for (const FormatCase& c : kFormatCases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(FormatSoftwareEntries(c.entries), c.expected);
    }
}

TEST(SoftwareRegistryFormat, TheProductsFileHas83Bytes) {
    const std::string text = FormatSoftwareEntries({{kProductName, "7", "1"}});
    EXPECT_EQ(kProductName.size(), 18u);
    ASSERT_EQ(text.size(), 83u);
    EXPECT_EQ(text, kProductFile);
}

TEST_F(SoftwareRegistryFileTest, WritesTheTableCasesToFiles) {
    int number = 0;
    for (const FormatCase& c : kFormatCases) {
        SCOPED_TRACE(c.label);
        const fs::path path = folder_ / ("config" + std::to_string(++number) + ".toml");
        WriteSoftwareEntries(path, c.entries);
        EXPECT_EQ(fs::file_size(path), c.expected.size());
        EXPECT_EQ(ReadBytes(path), c.expected);
    }
}

TEST_F(SoftwareRegistryFileTest, WritesTheProductsFileByteForByte) {
    const fs::path path = folder_ / "config.toml";
    WriteSoftwareEntries(path, {{kProductName, "7", "1"}});
    ASSERT_EQ(fs::file_size(path), 83u);
    EXPECT_EQ(ReadBytes(path), kProductFile);
    EXPECT_EQ(FolderListing(folder_), std::set<std::string>{"config.toml"});
}

TEST_F(SoftwareRegistryFileTest, EmptyListGivesAnEmptyFile) {
    const fs::path fresh = folder_ / "fresh.toml";
    WriteSoftwareEntries(fresh, {});
    ASSERT_TRUE(fs::is_regular_file(fresh));
    EXPECT_EQ(fs::file_size(fresh), 0u);

    const fs::path existing = folder_ / "existing.toml";
    WriteBytes(existing, kProductFile);
    WriteSoftwareEntries(existing, {});
    ASSERT_TRUE(fs::is_regular_file(existing));
    EXPECT_EQ(fs::file_size(existing), 0u);
    EXPECT_EQ(FolderListing(folder_), (std::set<std::string>{"existing.toml", "fresh.toml"}));
}

TEST_F(SoftwareRegistryFileTest, ReplacesALongerFileCompletely) {
    const fs::path path = folder_ / "config.toml";
    const std::string longer = kProductFile + kProductFile + "# a long tail that must not survive\r\n";
    WriteBytes(path, longer);
    WriteSoftwareEntries(path, {{"a", "3", "2"}});
    EXPECT_EQ(ReadBytes(path), "[[software]]\r\nname = \"a\"\r\nproduct_id = \"3\"\r\ndistributor_id = \"2\"\r\n");
    EXPECT_EQ(FolderListing(folder_), std::set<std::string>{"config.toml"});
}

TEST_F(SoftwareRegistryFileTest, ForeignLinesAreGoneAfterAReadWriteCycle) {
    const fs::path path = folder_ / "config.toml";
    WriteBytes(path,
               "# the user's own notes\n"
               "version = 2\n"
               "[settings]\n"
               "theme = \"dark\"\n"
               "[[software]]\n"
               "name = \"a\" # kept: a trailing comment is part of the value\n"
               "product_id = \"3\"\n"
               "homepage = \"https://example.com\"\n"
               "[[plugins]]\n"
               "enabled = true\n"
               "\x1A"
               "garbage after the end\n");
    WriteSoftwareEntries(path, ReadSoftwareEntries(path));
    EXPECT_EQ(ReadBytes(path),
              "[[software]]\r\nname = \"a # kept: a trailing comment is part of the value\"\r\n"
              "product_id = \"3\"\r\ndistributor_id = \"\"\r\n");
}

TEST_F(SoftwareRegistryFileTest, WritingIntoAMissingFolderLeavesNothing) {
    const fs::path missing = folder_ / "missing";
    WriteSoftwareEntries(missing / "config.toml", {{kProductName, "7", "1"}});
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(FolderListing(folder_).empty());
}

TEST_F(SoftwareRegistryFileTest, FailedReplaceLeavesTheOldContentAndNoTemporaryFile) {
    // A file cannot take the place of a non-empty folder, neither on Linux nor on Windows.
    const fs::path target = folder_ / "config.toml";
    ASSERT_TRUE(fs::create_directory(target));
    WriteBytes(target / "inner.txt", kProductFile);

    WriteSoftwareEntries(target, {{"other", "3", "2"}});

    ASSERT_TRUE(fs::is_directory(target));
    EXPECT_EQ(FolderListing(target), std::set<std::string>{"inner.txt"});
    EXPECT_EQ(ReadBytes(target / "inner.txt"), kProductFile);
    EXPECT_EQ(FolderListing(folder_), std::set<std::string>{"config.toml"});
}

TEST_F(SoftwareRegistryFileTest, ReadOnlyFileIsLeftAsItWas) {
    // On Linux a rename would replace it regardless of the mark; on Windows the mark is the read-only attribute.
    const fs::path target = folder_ / "config.toml";
    WriteBytes(target, kProductFile);
    const fs::perms writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    fs::permissions(target, writable, fs::perm_options::remove);

    WriteSoftwareEntries(target, {{"other", "3", "2"}});

    EXPECT_EQ(ReadBytes(target), kProductFile);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_EQ(FolderListing(folder_), std::set<std::string>{"config.toml"});
    fs::permissions(target, fs::perms::owner_write, fs::perm_options::add);  // so that it can be removed
}

// ---------------------------------------------------------------------------------------------------------------
// Round trips

// Whether a list must come back unchanged from writing and reading: values that the line scanner would read
// differently (quotes, line breaks, 0x1A, leading blanks, marker texts that would reclassify their line) and
// entries it would drop (no product_id) are excluded.
bool SurvivesRoundTrip(const Entries& entries) {
    const auto contains = [](const std::string& value, std::string_view text) {
        return value.find(text) != std::string::npos;
    };
    for (const SoftwareEntry& entry : entries) {
        if (entry.product_id.empty())
            return false;
        for (const std::string* value : {&entry.name, &entry.product_id, &entry.distributor_id}) {
            if (value->find_first_of("\"\n\x1A") != std::string::npos || contains(*value, "[[software]]"))
                return false;
            if (!value->empty() && (value->front() == ' ' || value->front() == '\t'))
                return false;
        }
        if (contains(entry.product_id, "name") || contains(entry.distributor_id, "name") ||
            contains(entry.distributor_id, "product_id"))
            return false;
    }
    return true;
}

Entries WriteAndRead(const fs::path& path, const Entries& entries) {
    WriteSoftwareEntries(path, entries);
    return ReadSoftwareEntries(path);
}

// Lists built from pieces that are safe in any field, plus marker texts where they do no harm.
Entries GeneratedList(std::mt19937& random) {
    static const char* const kPieces[] = {
        "a",
        "Z",
        "0",
        "7",
        " ",
        "\t",
        "=",
        "#",
        "[",
        "]",
        "[[",
        "]]",
        "'",
        "\\",
        "\r",
        "\xE5\xBD\x95",      // 录
        "\xF0\x9F\x8E\xA5",  // an emoji, four bytes
        "software",
        "Name",
        "NAME",
        "product",
        "_id",
        "[[Software]]",
    };
    static const char* const kNamePieces[] = {"name", "product_id", "distributor_id", "rename"};
    const auto piece = [&random](auto& pieces) {
        return std::string(pieces[std::uniform_int_distribution<size_t>(0, std::size(pieces) - 1)(random)]);
    };
    const auto value = [&](bool isName, size_t minimum) {
        std::string text;
        const size_t length = std::uniform_int_distribution<size_t>(minimum, 6)(random);
        for (size_t i = 0; i < length; ++i) {
            if (isName && random() % 4 == 0)
                text += piece(kNamePieces);
            else
                text += piece(kPieces);
        }
        text.erase(0, text.find_first_not_of(" \t"));
        return text;
    };
    Entries entries(std::uniform_int_distribution<size_t>(0, 4)(random));
    for (SoftwareEntry& entry : entries) {
        entry.name = value(true, 0);
        do {
            entry.product_id = value(false, 1);
        } while (entry.product_id.empty());
        entry.distributor_id = value(false, 0);
    }
    return entries;
}

const Entries kHandwrittenLists[] = {
    {},
    {{kProductName, "7", "1"}},
    {{"", "7", ""}},
    {{"a", "3", "2"}, {"b", "7", "1"}, {"a", "3", "2"}},
    {{"name = x", "07", "1 "}},
    {{"product_id = 9", "7 ", "1\t"}},
    {{"a\rb", "\r7\r", "\r"}},
    {{"[software] [[Software]]", "[[x]]", "#"}},
    {{"=", "==", "a=b"}},
    {{"name", "distributor_id", "d"}},
};

TEST_F(SoftwareRegistryFileTest, HandwrittenListsSurviveWritingAndReading) {
    const fs::path path = folder_ / "config.toml";
    for (const Entries& entries : kHandwrittenLists) {
        SCOPED_TRACE(testing::PrintToString(entries));
        ASSERT_TRUE(SurvivesRoundTrip(entries));
        EXPECT_EQ(WriteAndRead(path, entries), entries);
    }
}

TEST_F(SoftwareRegistryFileTest, GeneratedListsSurviveWritingAndReading) {
    const fs::path path = folder_ / "config.toml";
    std::mt19937 random(20240611);
    int checked = 0;
    for (int round = 0; round < 500; ++round) {
        const Entries entries = GeneratedList(random);
        if (!SurvivesRoundTrip(entries))
            continue;
        SCOPED_TRACE(testing::PrintToString(entries));
        ++checked;
        ASSERT_EQ(WriteAndRead(path, entries), entries);
    }
    EXPECT_GT(checked, 400);
    EXPECT_EQ(FolderListing(folder_), std::set<std::string>{"config.toml"});
}

TEST_F(SoftwareRegistryFileTest, WhatWasReadSurvivesWritingAndReading) {
    // Every table case whose values are safe is kept as read; the others settle after one cycle.
    const fs::path source = folder_ / "source.toml";
    const fs::path path = folder_ / "config.toml";
    int exact = 0;
    for (const ReadCase& c : kReadCases) {
        if (c.source != Source::kFile)
            continue;
        SCOPED_TRACE(c.label);
        WriteBytes(source, c.bytes);
        const Entries read = ReadSoftwareEntries(source);
        const Entries once = WriteAndRead(path, read);
        if (SurvivesRoundTrip(read)) {
            ++exact;
            EXPECT_EQ(once, read);
        }
        EXPECT_EQ(WriteAndRead(path, once), once);
    }
    EXPECT_GT(exact, 40);
}

struct SettleCase {
    const char* label;
    std::string bytes;
    Entries read;
    Entries afterCycle;
};

// Values whose removed quotes formed a marker text read differently after writing.
const SettleCase kSettleCases[] = {
    {"product_id that becomes name", "product_id = na\"me\n", {{"", "name", ""}}, {}},
    {"distributor_id that becomes product_id",
     "product_id = 7\ndistributor_id = product\"_id\n",
     {{"", "7", "product_id"}},
     {{"", "product_id", ""}}},
    {"name that becomes a table header",
     "name = [[soft\"ware]]\nproduct_id = 7\ndistributor_id = 1\n",
     {{"[[software]]", "7", "1"}},
     {{"", "7", "1"}}},
};

TEST_F(SoftwareRegistryFileTest, QuoteBuiltMarkerTextsSettleAfterOneCycle) {
    const fs::path path = folder_ / "config.toml";
    for (const SettleCase& c : kSettleCases) {
        SCOPED_TRACE(c.label);
        WriteBytes(path, c.bytes);
        const Entries read = ReadSoftwareEntries(path);
        EXPECT_EQ(read, c.read);
        EXPECT_FALSE(SurvivesRoundTrip(read));
        const Entries once = WriteAndRead(path, read);
        EXPECT_EQ(once, c.afterCycle);
        EXPECT_EQ(WriteAndRead(path, once), once);
    }
}

}  // namespace
