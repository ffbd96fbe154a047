// DrawMainWindow under Wine, painted into a 32-bpp top-down DIB section and read back pixel by pixel. Where things
// go and what the texts say are computed by ui/layout, tested on their own; here it is what lands on the pixels.
#include "ui/paint.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/main_window.h"
#include "base/gdiplus.h"

namespace {

constexpr int kWidth = 560;
constexpr int kHeight = 310;
constexpr RECT kClient{0, 0, kWidth, kHeight};

struct Rgb {
    int r = 0, g = 0, b = 0;
    static Rgb Of(std::uint32_t v) { return {int(v >> 16 & 0xFF), int(v >> 8 & 0xFF), int(v & 0xFF)}; }
    int Distance(const Rgb& o) const { return std::max({std::abs(r - o.r), std::abs(g - o.g), std::abs(b - o.b)}); }
    // The texts' ink. The background picture's lightest pixel is (249,250,252), below this (the text test checks),
    // so a pixel this white can only come from a text.
    bool White() const { return r >= 250 && g >= 250 && b >= 250; }
    int Sum() const { return r + g + b; }
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct Box {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool Contains(int x, int y) const { return left <= x && x < right && top <= y && y < bottom; }
    Box Inflated(int by) const { return {left - by, top - by, right + by, bottom + by}; }
    int Height() const { return bottom - top; }
};

// Where things are in the 560 x 310 client.
constexpr Box kWholeClient{0, 0, kWidth, kHeight};
constexpr Box kNameBox{20, 8, 460, 46};
constexpr Box kCloseBox{524, 8, 552, 46};
constexpr Box kPictureBar{40, 275, 520, 283};   // the 480 x 8 track picture, centred
constexpr Box kFallbackBar{60, 275, 500, 287};  // 440 x 12 without it
constexpr Box kPercentageBox{40, 247, 200, 267};
constexpr Box kSpeedBox{360, 247, 520, 267};
const std::vector<Box> kTextBoxes = {kNameBox, kCloseBox, kPercentageBox, kSpeedBox};

constexpr Rgb kTrackColor{239, 239, 239};
constexpr Rgb kFillColor{99, 156, 180};
constexpr Rgb kTrackFallbackColor{204, 220, 230};
constexpr Rgb kGradientLeft{0x5E, 0xA0, 0xCE};
constexpr Rgb kGradientRight{0xD1, 0xE1, 0xE9};

// A copy of the painted area, 0x00RRGGBB per pixel, rows top-down.
struct Picture {
    std::vector<std::uint32_t> pixels;

    Rgb At(int x, int y) const { return Rgb::Of(pixels[static_cast<size_t>(y) * kWidth + x]); }

    // The pixels of area outside the excluded boxes for which pred(x, y) holds: how many, and the first of them.
    template <typename Pred>
    int Count(const Box& area, const std::vector<Box>& excluded, Pred pred, std::string* first = nullptr) const {
        int count = 0;
        for (int y = std::max(area.top, 0); y < std::min(area.bottom, kHeight); ++y) {
            for (int x = std::max(area.left, 0); x < std::min(area.right, kWidth); ++x) {
                if (std::none_of(excluded.begin(), excluded.end(), [&](const Box& b) { return b.Contains(x, y); }) &&
                    pred(x, y) && count++ == 0 && first) {
                    const Rgb c = At(x, y);
                    *first = "(" + std::to_string(x) + "," + std::to_string(y) + "), colour " + std::to_string(c.r) +
                             "," + std::to_string(c.g) + "," + std::to_string(c.b);
                }
            }
        }
        return count;
    }
    // Empty when no pixel is wrong; else how many are and the first of them, for the expectation's message.
    template <typename Pred>
    std::string Wrong(const Box& area, const std::vector<Box>& excluded, Pred wrong) const {
        std::string first;
        const int count = Count(area, excluded, wrong, &first);
        return count == 0 ? "" : std::to_string(count) + " pixels wrong, the first at " + first;
    }
    std::string Diff(const Picture& other, const Box& area, const std::vector<Box>& excluded = {}) const {
        return Wrong(area, excluded, [&](int x, int y) { return At(x, y) != other.At(x, y); });
    }
};

// The positions in [from, to) at which match holds, in order.
template <typename Match>
std::vector<int> Where(int from, int to, Match match) {
    std::vector<int> found;
    for (int i = from; i < to; ++i) {
        if (match(i))
            found.push_back(i);
    }
    return found;
}

// Which of the window's pictures DrawMainWindow finds loaded.
struct Pictures {
    bool background = true, track = true, fill = true;
};

// Owns GDI+, the DIB section painted into, the pictures DrawMainWindow is given, and the brushes the leak test fills
// the GDI handle table with.
class Paint : public testing::Test {
protected:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&g_gdiplusToken, &input, nullptr), Gdiplus::Ok);  // as the window does
        info_.bmiHeader = {sizeof(info_.bmiHeader), kWidth, -kHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};  // top-down
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info_, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        ASSERT_TRUE(dc_ && bitmap_ && bits_);
        SelectObject(dc_, bitmap_);
    }

    void TearDown() override {
        for (HBRUSH brush : filler_)
            DeleteObject(brush);
        Load({false, false, false});
        DeleteDC(dc_);  // lets go of the bitmap
        DeleteObject(bitmap_);
        if (g_gdiplusToken != 0)
            Gdiplus::GdiplusShutdown(g_gdiplusToken);
        g_gdiplusToken = 0;
    }

    void Load(const Pictures& pictures) {
        background_.reset();
        if (pictures.background) {
            background_.reset(
                static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kBackgroundBitmapId),
                                                IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR)));
            BITMAP info{};
            ASSERT_TRUE(background_ && GetObjectW(background_.get(), sizeof(info), &info));
            ASSERT_TRUE(info.bmWidth == kWidth && info.bmHeight == kHeight);  // lands on the client pixel for pixel
        }
        track_ = pictures.track ? LoadPngResource(kTrackPngId) : nullptr;
        fill_ = pictures.fill ? LoadPngResource(kFillPngId) : nullptr;
        ASSERT_TRUE(!track_ == !pictures.track && !fill_ == !pictures.fill);
    }

    // Magenta, which no paint produces, shows where a paint left something out.
    Picture Painted(const ProgressSnapshot& progress) {
        std::fill(bits_, bits_ + kWidth * kHeight, 0x00FF00FFu);
        DrawMainWindow(dc_, kClient, kClient, {background_.get(), track_.get(), fill_.get()}, progress);
        GdiFlush();
        return {std::vector<std::uint32_t>(bits_, bits_ + kWidth * kHeight)};
    }

    Picture PaintedAt(std::uint64_t received, std::uint64_t total, double bytesPerSecond) {
        return Painted({received, total, bytesPerSecond});
    }

    // The background picture by itself, as it is.
    Picture BackgroundOnly() {
        Picture picture{std::vector<std::uint32_t>(kWidth * kHeight)};
        GetDIBits(dc_, background_.get(), 0, kHeight, picture.pixels.data(), &info_, DIB_RGB_COLORS);
        return picture;
    }

    std::vector<HBRUSH> filler_;

private:
    UniqueBitmap background_;
    std::unique_ptr<Gdiplus::Bitmap> track_;
    std::unique_ptr<Gdiplus::Bitmap> fill_;
    BITMAPINFO info_{};
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    std::uint32_t* bits_ = nullptr;
};

// Whether the centre of pixel (x, y) lies within half a pixel (the rasterizer's) of the fill's outline: a capsule of
// the bar's height from its left end to left + max(fillWidth, bar height).
bool NearFillOutline(const Box& bar, int fillWidth, int x, int y) {
    const double r = bar.Height() / 2.0;
    const double px = x + 0.5;
    const double dx = px - std::clamp(px, bar.left + r, bar.left + std::max(fillWidth, bar.Height()) - r);
    const double dy = y + 0.5 - (bar.top + r);
    return dx * dx + dy * dy <= (r + 0.5) * (r + 0.5);
}

// The fill runs from the bar's left end to left + fillWidth, clipped to its rounded outline, and the track from there
// to the right end, both the bar's full height; around the bar the background stays untouched. Without its picture
// the track is a 440 x 12 rounded rectangle in RGB(204,220,230) without outline, and the fill a horizontal gradient
// from 0x5EA0CE to 0xD1E1E9 over max(fillWidth, bar height).
TEST_F(Paint, BarShowsTrackAndFillForTheProgress) {
    struct Case {
        const char* label;
        bool trackPicture, fillPicture;
        std::uint64_t received;  // of 480 bytes
        int fillWidth;
        int fillTolerance;  // gradient: 3, and half a step of red (which changes most) for where GDI+ samples a pixel
    };
    const Case cases[] = {{"0%", true, true, 0, 0, 12},
                          {"50%", true, true, 240, 240, 12},
                          {"100%", true, true, 480, 480, 12},
                          {"no track, 0%", false, true, 0, 0, 12},
                          {"no track, 50%", false, true, 240, 220, 12},
                          {"no track, 100%", false, true, 480, 440, 12},
                          {"no fill, 0%", true, false, 0, 0, 4},
                          {"no fill, 50%", true, false, 240, 240, 4},
                          {"no fill, 3 pixels: the whole end circle", true, false, 3, 8, 11}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_NO_FATAL_FAILURE(Load({.track = c.trackPicture, .fill = c.fillPicture}));
        const Box bar = c.trackPicture ? kPictureBar : kFallbackBar;
        const Rgb trackColor = c.trackPicture ? kTrackColor : kTrackFallbackColor;
        const Picture background = BackgroundOnly();
        const Picture p = PaintedAt(c.received, 480, 0.0);
        const int fillEnd = bar.left + c.fillWidth;
        auto isFill = [&](int x, int y) {
            if (c.fillPicture)
                return p.At(x, y).Distance(kFillColor) <= c.fillTolerance;
            if (!Box{bar.left, bar.top, fillEnd + 1, bar.bottom}.Contains(x, y))  // no colour to compare with elsewhere
                return false;
            const double t = std::clamp((x - bar.left + 0.5) / std::max(c.fillWidth, 1), 0.0, 1.0);
            auto mix = [t](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * t)); };
            const Rgb want{mix(kGradientLeft.r, kGradientRight.r), mix(kGradientLeft.g, kGradientRight.g),
                           mix(kGradientLeft.b, kGradientRight.b)};
            return p.At(x, y).Distance(want) <= c.fillTolerance;
        };
        auto isTrack = [&](int x, int y) { return p.At(x, y).Distance(trackColor) <= 4; };
        // Fill and track cover their parts of the middle row, and the bar's height in the middle of each part; the
        // pixel at either end of a part may be blended.
        auto notAll = [&](const Box& area, auto is) {
            return p.Wrong(area, {}, [&](int x, int y) { return !is(x, y); });
        };
        const int y = bar.top + bar.Height() / 2;
        EXPECT_EQ(notAll({bar.left + 1, y, fillEnd - 1, y + 1}, isFill), "") << "fill along";
        EXPECT_EQ(notAll({fillEnd + 1, y, bar.right - 1, y + 1}, isTrack), "") << "track along";
        const int fillMiddle = bar.left + c.fillWidth / 2, trackMiddle = (fillEnd + bar.right) / 2;
        if (c.fillWidth > 0) {
            EXPECT_EQ(notAll({fillMiddle, bar.top + 1, fillMiddle + 1, bar.bottom - 1}, isFill), "") << "fill across";
        }
        if (fillEnd < bar.right) {
            EXPECT_EQ(notAll({trackMiddle, bar.top + 1, trackMiddle + 1, bar.bottom - 1}, isTrack), "")
                << "track across";
        }
        auto beyondOutline = [&](int x, int yy) { return isFill(x, yy) && !NearFillOutline(bar, c.fillWidth, x, yy); };
        EXPECT_EQ(p.Wrong(bar.Inflated(1), {}, beyondOutline), "") << "fill outside its outline";
        EXPECT_EQ(p.Diff(background, {0, bar.top - 7, kWidth, bar.bottom + 10}, {bar.Inflated(1)}), "") << "around";
        if (!c.trackPicture && c.fillWidth == 0) {
            // Rounded: the corners are the background's. No outline: no pixel darker than both track and background.
            const std::vector<Box> allButCorners = {{bar.left + 1, bar.top, bar.right - 1, bar.bottom},
                                                    {bar.left, bar.top + 1, bar.right, bar.bottom - 1}};
            EXPECT_EQ(p.Diff(background, bar, allButCorners), "") << "corners";
            auto darker = [&](int x, int yy) {
                return p.At(x, yy).Sum() < std::min(trackColor.Sum(), background.At(x, yy).Sum()) - 6;
            };
            EXPECT_EQ(p.Wrong(bar, {}, darker), "") << "outline";
        }
    }
}

// White ink inside the name, close glyph, percentage and speed rectangles, aligned there, and nowhere else; the
// percentage and speed texts each change with their own part of the state.
TEST_F(Paint, WhiteTextsStayInTheirRectanglesAndFollowTheState) {
    enum Align { kStart, kCentre, kEnd };
    struct Text {
        const char* name;
        Box box;
        Align across, down;
    };
    const Text texts[] = {{"name", kNameBox, kStart, kCentre},
                          {"close glyph", kCloseBox, kCentre, kCentre},
                          {"percentage", kPercentageBox, kStart, kEnd},
                          {"speed", kSpeedBox, kEnd, kEnd}};
    ASSERT_NO_FATAL_FAILURE(Load({}));
    const Picture background = BackgroundOnly();
    ASSERT_EQ(background.Wrong(kWholeClient, {}, [&](int x, int y) { return background.At(x, y).White(); }), "");
    const Picture p = PaintedAt(500, 1000, 123 * 1024.0);
    auto white = [&](int x, int y) { return p.At(x, y).White(); };
    // How far ink from low to high lies from where the alignment puts it in [from, to).
    auto offset = [](Align a, const std::vector<int>& ink, int from, int to) {
        return a == kStart ? ink.front() - from
               : a == kEnd ? to - 1 - ink.back()
                           : std::abs(ink.front() + ink.back() + 1 - from - to) / 2;
    };
    for (const Text& t : texts) {
        SCOPED_TRACE(t.name);
        const Box& b = t.box;
        const int ink = p.Count(b, {}, white);
        ASSERT_GE(ink, 20);
        const auto xs = Where(b.left, b.right, [&](int x) { return p.Count({x, b.top, x + 1, b.bottom}, {}, white); });
        const auto ys = Where(b.top, b.bottom, [&](int y) { return p.Count({b.left, y, b.right, y + 1}, {}, white); });
        EXPECT_LE(offset(t.across, xs, b.left, b.right), 4);
        EXPECT_LE(offset(t.down, ys, b.top, b.bottom), 4);
        // Glyphs, not a block: text drawn on an opaque background would fill its whole cell.
        const int cell = (xs.back() - xs.front() + 1) * (ys.back() - ys.front() + 1);
        EXPECT_LT(ink * 10, cell * 6) << ink << " white of " << cell;
    }
    EXPECT_EQ(p.Wrong(kWholeClient, kTextBoxes, white), "") << "white outside the texts";

    const Picture zero = PaintedAt(0, 1000, 0.0);
    const Picture done = PaintedAt(1000, 1000, 0.0);
    const Picture fast = PaintedAt(0, 1000, 123 * 1024.0);
    EXPECT_NE(done.Diff(zero, kPercentageBox), "") << "0% and 100% look alike";
    EXPECT_EQ(done.Diff(zero, kSpeedBox), "");
    EXPECT_EQ(fast.Diff(zero, kPercentageBox), "");
    EXPECT_NE(fast.Diff(zero, kSpeedBox), "") << "0 KB/s and 123 KB/s look alike";
}

// The background is bitmap 102 wherever nothing else is drawn: dark blue at the top, light at the bottom. Without
// it, the update rectangle gets the system's window colour.
TEST_F(Paint, BackgroundIsTheBitmapOrTheWindowColour) {
    std::vector<Box> drawn = kTextBoxes;
    drawn.push_back(kPictureBar.Inflated(1));
    ASSERT_NO_FATAL_FAILURE(Load({}));
    const Picture background = BackgroundOnly();
    const Picture p = PaintedAt(500, 1000, 123 * 1024.0);
    for (const int x : {2, 280, 557}) {
        EXPECT_LE(p.At(x, 0).Distance({5, 41, 108}), 3) << "top at x = " << x;
        EXPECT_LE(p.At(x, kHeight - 1).Distance({211, 234, 235}), 3) << "bottom at x = " << x;
    }
    EXPECT_EQ(p.Diff(background, kWholeClient, drawn), "");

    ASSERT_NO_FATAL_FAILURE(Load({.background = false}));
    const COLORREF w = GetSysColor(COLOR_WINDOW);
    const Rgb window{GetRValue(w), GetGValue(w), GetBValue(w)};
    const Picture q = PaintedAt(500, 1000, 123 * 1024.0);
    EXPECT_EQ(q.Wrong(kWholeClient, drawn, [&](int x, int y) { return q.At(x, y) != window; }), "") << "no picture";
}

// GetGuiResources answers 0 under Wine, so leaks are found by their effect: with the handle table filled to within
// kHeadroom slots, a paint that kept even one object would exhaust it long before kPaints paints, and the paints
// after that would come out incomplete.
TEST_F(Paint, ThousandPaintsKeepNoGdiObject) {
    constexpr size_t kHeadroom = 300;
    constexpr int kPaints = 1000;
    ASSERT_NO_FATAL_FAILURE(Load({}));
    const Picture reference = PaintedAt(500, 1000, 123 * 1024.0);

    // Throw-away brushes until the table (about 65,480 objects under Wine) refuses one, or limit of them.
    auto fill = [this](size_t limit) {
        size_t made = 0;
        for (HBRUSH brush; made < limit && (brush = CreateSolidBrush(RGB(1, 2, 3))); ++made)
            filler_.push_back(brush);
        return made;
    };
    auto release = [this](size_t count) {
        for (; count > 0; --count, filler_.pop_back())
            DeleteObject(filler_.back());
    };
    const size_t capacity = fill(1'000'000);
    ASSERT_LT(capacity, 1'000'000u) << "the GDI handle table never filled up";
    ASSERT_GT(capacity, 10 * kHeadroom);
    release(kHeadroom);
    const size_t room = fill(kPaints);  // the headroom is all there is: kPaints objects more do not fit
    release(room);
    ASSERT_EQ(room, kHeadroom);

    Picture last;
    for (int i = 0; i < kPaints; ++i)
        last = PaintedAt(500, 1000, 123 * 1024.0);
    release(filler_.size());
    EXPECT_EQ(last.Diff(reference, kWholeClient), "") << "the last paint";
}

}  // namespace
