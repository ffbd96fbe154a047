#include "ui/layout.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace {

// The hit area of a 560 x 310 client: x 524..552 and y 12..40, both ends included. Releases left of or above the
// client area arrive as large unsigned halves of the message.
TEST(Layout, CloseAreaEdges) {
    struct Case {
        unsigned x, y;
        bool inside;
    };
    const Case cases[] = {
        {524, 12, true},  {552, 40, true},    {538, 26, true},     {524, 40, true},  {552, 12, true},
        {523, 20, false}, {553, 20, false},   {530, 11, false},    {530, 41, false}, {20, 20, false},
        {0, 0, false},    {65535, 20, false}, {530, 65535, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
        EXPECT_EQ(IsInCloseArea({0, 0, 560, 310}, c.x, c.y), c.inside);
    }
    EXPECT_TRUE(IsInCloseArea({0, 0, 600, 310}, 564, 40));  // follows the right edge
    EXPECT_FALSE(IsInCloseArea({0, 0, 600, 310}, 524, 40));
}

TEST(Layout, PercentageRoundsHalfUpAndClamps) {
    struct Case {
        std::uint64_t received;
        std::uint64_t total;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0, 0, L"0%"},
        {12345, 0, L"0%"},  // unknown size
        {0, 1000, L"0%"},
        {4, 1000, L"0%"},
        {5, 1000, L"1%"},
        {994, 1000, L"99%"},
        {995, 1000, L"100%"},
        {996, 1000, L"100%"},
        {1000, 1000, L"100%"},
        {5000, 1000, L"100%"},  // more than the total
        {UINT64_MAX, 1, L"100%"},
        {1, UINT64_MAX, L"0%"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.received << "/" << c.total);
        EXPECT_EQ(PercentageText(ProgressFraction(c.received, c.total)), c.text);
    }
    EXPECT_EQ(PercentageText(0.994), L"99%");
    EXPECT_EQ(PercentageText(0.996), L"100%");
}

TEST(Layout, SpeedChoosesTheUnitBeforeRounding) {
    struct Case {
        double bytesPerSecond;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0.0, L"0 KB/s"},
        {-5.0, L"0 KB/s"},
        {1.0, L"0 KB/s"},  // above 0 but rounds to 0 KiB/s
        {512.0, L"0 KB/s"},
        {513.0, L"1 KB/s"},
        {1023.4 * 1024, L"1023 KB/s"},
        {1023.6 * 1024, L"1024 KB/s"},
        {1048575.0, L"1024 KB/s"},
        {1048576.0, L"1.00 MB/s"},
        {2.5 * 1048576, L"2.50 MB/s"},
        {1234.0 * 1048576, L"1234.00 MB/s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytesPerSecond);
        EXPECT_EQ(SpeedText(c.bytesPerSecond), c.text);
    }
}

TEST(Layout, FillWidthAndShapeOfTheBar) {
    struct Case {
        double fraction;
        int width;
        FillShape shape;
    };
    // The 480 x 8 bar: nothing below 1/960, the left end's circle up to 8 pixels, a capsule from 9.
    const Case cases[] = {
        {0.0, 0, FillShape::None},         {1.0 / 960 - 1e-9, 0, FillShape::None}, {1.0 / 960, 1, FillShape::Circle},
        {8.0 / 480, 8, FillShape::Circle}, {8.49 / 480, 8, FillShape::Circle},     {8.5 / 480, 9, FillShape::Capsule},
        {0.5, 240, FillShape::Capsule},    {1.0, 480, FillShape::Capsule},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fraction);
        const int width = FillWidth(480, c.fraction);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(ChooseFillShape(width, 8), c.shape);
    }
    EXPECT_EQ(FillWidth(480, 1.5), 480);  // never wider than the bar
    EXPECT_EQ(FillWidth(480, -0.5), 0);
}

TEST(Layout, RectanglesOfTheWindow) {
    const LayoutRect client{0, 0, 560, 310};

    const WindowLayout withTrack = ComputeWindowLayout(client, {true, 480, 8});
    EXPECT_EQ(withTrack.name, (LayoutRect{20, 8, 460, 46}));
    EXPECT_EQ(withTrack.closeGlyph, (LayoutRect{524, 8, 552, 46}));
    EXPECT_EQ(withTrack.bar, (LayoutRect{40, 275, 520, 283}));
    EXPECT_EQ(withTrack.percentage, (LayoutRect{40, 247, 200, 267}));
    EXPECT_EQ(withTrack.speed, (LayoutRect{360, 247, 520, 267}));

    const WindowLayout withoutTrack = ComputeWindowLayout(client, {});
    EXPECT_EQ(withoutTrack.bar, (LayoutRect{60, 275, 500, 287}));
    EXPECT_EQ(withoutTrack.percentage, (LayoutRect{60, 247, 220, 267}));
    EXPECT_EQ(withoutTrack.speed, (LayoutRect{340, 247, 500, 267}));

    // A track picture wider than the client allows is cut to the client width less 40.
    EXPECT_EQ(ComputeWindowLayout(client, {true, 900, 8}).bar, (LayoutRect{20, 275, 540, 283}));
    // Narrow windows give the fallback bar 80 pixels of margin instead of 120; an odd margin rounds the left down.
    EXPECT_EQ(ComputeWindowLayout({0, 0, 379, 100}, {}).bar, (LayoutRect{40, 65, 339, 77}));
    EXPECT_EQ(ComputeWindowLayout({0, 0, 561, 310}, {true, 480, 8}).bar, (LayoutRect{40, 275, 520, 283}));
}

}  // namespace
