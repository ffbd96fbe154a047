// Small text helpers every layer uses (base/ascii.h).
#include "base/ascii.h"

#include <gtest/gtest.h>

namespace {

// A logged value never breaks its line, whatever bytes it holds; other bytes (UTF-8 text, backslashes) stay.
TEST(Ascii, ControlCharactersAreEscaped) {
    const struct {
        std::string text, escaped;
    } cases[] = {{"1.2.3.4\r\nforged line", "1.2.3.4\\r\\nforged line"},
                 {std::string("a\0b\tc\x1f\x7f", 7), "a\\x00b\\tc\\x1f\\x7f"},
                 {"C:\\Users\\\xE7\x94\xA8 ~", "C:\\Users\\\xE7\x94\xA8 ~"},
                 {"", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(EscapeControlCharacters(c.text), c.escaped);
}

}  // namespace
