// IsWholeWindowsProgram over small real programs (tests/unit/programs, made by make-programs there): a PE32+
// program, the same signed, and a signed PE32 program.
#include "net/pe_image.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string Program(const char* name) {
    std::ifstream file(std::filesystem::path(VELMOR_TEST_PROGRAMS) / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool IsWhole(const std::string& bytes) {
    std::istringstream file(bytes);
    return IsWholeWindowsProgram(file);
}

std::uint32_t Le32At(const std::string& bytes, size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void SetLe32(std::string& bytes, size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
}

const char* const kPrograms[] = {"program64.exe", "program64-signed.exe", "program32-signed.exe"};

// Each sample ends with its last section's data or with its signature, so every length short of the whole file is
// a cut that must be seen: inside the headers and the section table, at and around every section's end, one byte
// short, inside a signature.
TEST(PeImage, WholeProgramPassesAndEveryCutFails) {
    for (const char* name : kPrograms) {
        SCOPED_TRACE(name);
        const std::string program = Program(name);
        ASSERT_GT(program.size(), 2048u) << "sample missing";
        EXPECT_TRUE(IsWhole(program));
        std::vector<size_t> passed;
        for (size_t length = 0; length < program.size(); ++length) {
            if (IsWhole(program.substr(0, length)))
                passed.push_back(length);
        }
        EXPECT_EQ(passed, std::vector<size_t>{}) << "cuts taken for whole programs";
    }
}

// A signature must be the last thing in the file. Data after an unsigned program's image (an installer's overlay)
// is allowed, so a cut inside it cannot be seen.
TEST(PeImage, BytesAfterTheImage) {
    EXPECT_FALSE(IsWhole(Program("program64-signed.exe") + "x"));
    EXPECT_FALSE(IsWhole(Program("program32-signed.exe") + std::string(8, '\0')));
    EXPECT_TRUE(IsWhole(Program("program64.exe") + "overlay data"));
}

// Header fields that point outside the file, also so far that 32-bit arithmetic would wrap.
TEST(PeImage, FieldsPointingOutsideTheFileFail) {
    enum Base { kDosHeader, kPeHeader, kFirstSection };
    struct Case {
        const char* label;
        Base base;
        size_t offset;  // of the 32-bit field from its base
        std::uint32_t value;
    };
    const Case cases[] = {
        {"PE header past the end", kDosHeader, 0x3C, 0x7FFFFFF0},
        {"PE header offset that wraps", kDosHeader, 0x3C, 0xFFFFFFFF},
        {"65535 sections", kPeHeader, 4, 0xFFFF014C},  // machine and section count
        {"first section's data size wraps", kFirstSection, 16, 0xFFFFFFFF},
        {"first section's data starts past the end", kFirstSection, 20, 0x7FFFFFF0},
    };
    for (const char* name : kPrograms) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << name << ": " << c.label);
            std::string program = Program(name);
            ASSERT_GT(program.size(), 2048u) << "sample missing";
            const size_t peHeader = Le32At(program, 0x3C);
            const size_t firstSection = peHeader + 24 + (Le32At(program, peHeader + 20) & 0xFFFF);
            const size_t base[] = {0, peHeader, firstSection};
            SetLe32(program, base[c.base] + c.offset, c.value);
            EXPECT_FALSE(IsWhole(program));
        }
    }
}

}  // namespace
