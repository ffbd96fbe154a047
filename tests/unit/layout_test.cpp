// The window's arithmetic (ui/layout), what it shows of the progress (install/progress_view) and the progress values
// that come from (install/progress_state).
#include "ui/layout.h"

#include <string>

#include <gtest/gtest.h>

#include "install/progress_state.h"
#include "install/progress_view.h"

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
        EXPECT_EQ(IsInCloseArea(ComputeWindowLayout({0, 0, 560, 310}, {}).closeArea, c.x, c.y), c.inside)
            << c.x << "," << c.y;
    const LayoutRect wider = ComputeWindowLayout({0, 0, 600, 310}, {}).closeArea;  // follows the right edge
    EXPECT_TRUE(IsInCloseArea(wider, 564, 40));
    EXPECT_FALSE(IsInCloseArea(wider, 524, 40));
}

// At 96 DPI the layout is the 96-DPI one itself; above, every edge scaled, halves rounded up: at 144 DPI the client of
// 840 x 465, the bar 720 x 12 at (60, 413), the close area 44 x 43 from (786, 18); at 192 everything doubled.
TEST(Layout, ScaledByDpi) {
    const struct {
        int value, dpi, scaled;
    } values[] = {{560, 144, 840}, {310, 144, 465}, {275, 144, 413}, {1, 144, 2}, {1, 120, 1},
                  {0, 192, 0},     {283, 96, 283},  {310, 192, 620}, {7, 120, 9}};
    for (const auto& v : values)
        EXPECT_EQ(ScaleForDpi(v.value, v.dpi), v.scaled) << v.value << " at " << v.dpi;
    const LayoutRect client{0, 0, 560, 310};
    const TrackPictureSize track{true, 480, 8};
    const WindowLayout at96 = ComputeWindowLayout(client, track), same = ComputeWindowLayout(client, track, 96);
    EXPECT_TRUE(at96.bar == same.bar && at96.name == same.name && at96.closeArea == same.closeArea &&
                at96.percentage == same.percentage && at96.speed == same.speed && at96.closeGlyph == same.closeGlyph);
    const WindowLayout at144 = ComputeWindowLayout(client, track, 144);
    EXPECT_EQ(at144.bar, (LayoutRect{60, 413, 780, 425}));
    EXPECT_EQ(at144.closeArea, (LayoutRect{786, 18, 830, 62}));
    EXPECT_EQ(at144.percentage, (LayoutRect{60, 371, 300, 401}));
    EXPECT_EQ(ComputeWindowLayout(client, track, 192).speed, (LayoutRect{720, 494, 1040, 534}));
}

TEST(Layout, Texts) {
    const struct {
        std::uint64_t received, total;
        const wchar_t* text;
    } percentages[] = {{12345, 0, L"0%"},    {4, 1000, L"0%"},      {5, 1000, L"1%"},         {994, 1000, L"99%"},
                       {995, 1000, L"100%"}, {5000, 1000, L"100%"}, {UINT64_MAX, 1, L"100%"}, {1, UINT64_MAX, L"0%"}};
    for (const auto& c : percentages) {
        const ProgressView view = ViewOfProgress({c.received, c.total, 0.0}, 480);
        EXPECT_EQ(std::wstring(view.percentage.data()), c.text) << c.received << "/" << c.total;
        EXPECT_EQ(view.sizeKnown, c.total != 0);
    }

    // The unit is chosen before rounding.
    const struct {
        double bytesPerSecond;
        const wchar_t* text;
    } speeds[] = {{-5.0, L"0 KB/s"},         {512.0, L"0 KB/s"},        {513.0, L"1 KB/s"},
                  {1048575.0, L"1024 KB/s"}, {1048576.0, L"1.00 MB/s"}, {1234.0 * 1048576, L"1234.00 MB/s"}};
    for (const auto& c : speeds)
        EXPECT_EQ(std::wstring(ViewOfProgress({1, 2, c.bytesPerSecond}, 480).speed.data()), c.text) << c.bytesPerSecond;
    // The largest speed a report can give still fits, whole.
    EXPECT_EQ(std::wstring(ViewOfProgress({0, 0, 18446744073709551616.0}, 480).speed.data()),
              L"17592186044416.00 MB/s");
}

// The 480 x 8 bar: nothing below 1/960, the left end's circle up to 8 pixels, a capsule from 9, never past the end; the
// view measures the fill against the bar it is given, as wide as the window lays it out.
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
    EXPECT_EQ(ViewOfProgress({250, 1000, 0.0}, 720).fillWidth, 180);
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
