// The window's arithmetic (ui/layout) and the progress values its painting reads (install/progress_state).
#include "ui/layout.h"

#include <gtest/gtest.h>

#include "install/progress_state.h"

namespace {

// The hit area of a 560 x 310 client is x 524..552 and y 12..40, ends included; releases left of or above the
// client arrive as large unsigned halves of the message.
TEST(Layout, CloseArea) {
    const struct {
        unsigned x, y;
        bool inside;
    } cases[] = {{524, 12, true},  {552, 40, true},  {524, 40, true},  {552, 12, true},    {523, 20, false},
                 {553, 20, false}, {530, 11, false}, {530, 41, false}, {65535, 20, false}, {530, 65535, false}};
    for (const auto& c : cases)
        EXPECT_EQ(IsInCloseArea({0, 0, 560, 310}, c.x, c.y), c.inside) << c.x << "," << c.y;
    EXPECT_TRUE(IsInCloseArea({0, 0, 600, 310}, 564, 40));  // follows the right edge
    EXPECT_FALSE(IsInCloseArea({0, 0, 600, 310}, 524, 40));
}

TEST(Layout, Texts) {
    const struct {
        std::uint64_t received, total;
        const wchar_t* text;
    } percentages[] = {{12345, 0, L"0%"},    {4, 1000, L"0%"},      {5, 1000, L"1%"},         {994, 1000, L"99%"},
                       {995, 1000, L"100%"}, {5000, 1000, L"100%"}, {UINT64_MAX, 1, L"100%"}, {1, UINT64_MAX, L"0%"}};
    for (const auto& c : percentages)
        EXPECT_EQ(PercentageText(ProgressFraction(c.received, c.total)), c.text) << c.received << "/" << c.total;

    // The unit is chosen before rounding.
    const struct {
        double bytesPerSecond;
        const wchar_t* text;
    } speeds[] = {{-5.0, L"0 KB/s"},         {512.0, L"0 KB/s"},        {513.0, L"1 KB/s"},
                  {1048575.0, L"1024 KB/s"}, {1048576.0, L"1.00 MB/s"}, {1234.0 * 1048576, L"1234.00 MB/s"}};
    for (const auto& c : speeds)
        EXPECT_EQ(SpeedText(c.bytesPerSecond), c.text) << c.bytesPerSecond;
}

// The 480 x 8 bar: nothing below 1/960, the left end's circle up to 8 pixels, a capsule from 9, never past the end.
TEST(Layout, FillWidthAndShape) {
    const struct {
        double fraction;
        int width;
        FillShape shape;
    } cases[] = {{-0.5, 0, FillShape::None},         {1.0 / 960 - 1e-9, 0, FillShape::None},
                 {1.0 / 960, 1, FillShape::Circle},  {8.49 / 480, 8, FillShape::Circle},
                 {8.5 / 480, 9, FillShape::Capsule}, {1.5, 480, FillShape::Capsule}};
    for (const auto& c : cases) {
        EXPECT_EQ(FillWidth(480, c.fraction), c.width) << c.fraction;
        EXPECT_EQ(ChooseFillShape(c.width, 8), c.shape) << c.fraction;
    }
}

// The bar: without the track picture 440 x 12 at (60, 275); a track wider than the client allows is cut to the width
// less 40; narrow windows give the fallback bar 80 pixels of margin instead of 120, and an odd margin rounds the left
// down.
TEST(Layout, BarRectangle) {
    const LayoutRect client{0, 0, 560, 310};
    EXPECT_EQ(ComputeWindowLayout(client, {}).bar, (LayoutRect{60, 275, 500, 287}));
    EXPECT_EQ(ComputeWindowLayout(client, {true, 900, 8}).bar, (LayoutRect{20, 275, 540, 283}));
    EXPECT_EQ(ComputeWindowLayout({0, 0, 379, 100}, {}).bar, (LayoutRect{40, 65, 339, 77}));
}

// The speed is sampled at most once a second, over the whole interval since the last sample, across a tick wrap. A
// download that starts over begins a new sample at once, with speed 0.
TEST(ProgressState, SpeedSamples) {
    ResetProgressState();
    const std::uint64_t start = UINT64_MAX - 499;
    const struct {
        std::uint64_t received, ms;
        double speed;
    } reports[] = {{8192, 0, 0.0},
                   {16384, 999, 0.0},
                   {20000, 1000, 20000.0 - 8192},
                   {21000, 1400, 20000.0 - 8192},
                   {3020000, 2500, 2000000.0},
                   {3020000, 3500, 0.0},
                   {8192, 4600, 0.0},
                   {16384, 5000, 0.0},
                   {1008192, 5600, 1000000.0}};
    for (const auto& r : reports) {
        RecordProgress(r.received, r.received == 8192 ? 100000 : 0, start + r.ms);
        EXPECT_EQ(g_receivedBytes.load(), r.received);
        EXPECT_DOUBLE_EQ(g_bytesPerSecond.load(), r.speed) << r.ms;
    }
    EXPECT_EQ(g_totalBytes.load(), 0u);  // an unknown size is stored as reported
    ResetProgressState();
}

}  // namespace
