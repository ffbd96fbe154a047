// DrawMainWindow under Wine, painted into a 32-bpp top-down DIB section and read back pixel by pixel. Where things
// go and what the texts say are computed by ui/layout and install/progress_view, tested on their own; here it is what
// lands on the pixels, at 96 DPI and scaled.
#include "ui/paint.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "app/main_window.h"
#include "ui/layout.h"

namespace {

constexpr int kWidth = 560, kHeight = 310;

struct Rgb {
    int r = 0, g = 0, b = 0;
    int Distance(const Rgb& o) const { return std::max({std::abs(r - o.r), std::abs(g - o.g), std::abs(b - o.b)}); }
    // The texts' ink: the background picture's lightest pixel is (249,250,252), so this can only come from a text.
    bool White() const { return r >= 250 && g >= 250 && b >= 250; }
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct Box {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool Contains(int x, int y) const { return left <= x && x < right && top <= y && y < bottom; }
    Box Inflated(int by) const { return {left - by, top - by, right + by, bottom + by}; }
};

constexpr Box kWholeClient{0, 0, kWidth, kHeight};
constexpr Box kPictureBar{40, 275, 520, 283};   // the 480 x 8 track picture, centred
constexpr Box kFallbackBar{60, 275, 500, 287};  // 440 x 12 without it

// A copy of the painted area, 0x00RRGGBB per pixel, rows top-down.
struct Picture {
    int width = kWidth, height = kHeight;
    std::vector<std::uint32_t> pixels = std::vector<std::uint32_t>(width * height);

    Rgb At(int x, int y) const {
        const std::uint32_t v = pixels[static_cast<size_t>(y) * width + x];
        return {int(v >> 16 & 0xFF), int(v >> 8 & 0xFF), int(v & 0xFF)};
    }
    // How many pixels of area pred(x, y) holds for.
    template <typename Pred>
    int Count(const Box& area, Pred pred) const {
        int count = 0;
        for (int y = std::max(area.top, 0); y < std::min(area.bottom, height); ++y) {
            for (int x = std::max(area.left, 0); x < std::min(area.right, width); ++x)
                count += pred(x, y);
        }
        return count;
    }
    // The first and last column and row of area where pred holds (left > right when nowhere).
    template <typename Pred>
    Box Extent(const Box& area, Pred pred) const {
        Box found{area.right, area.bottom, area.left, area.top};
        Count(area, [&](int x, int y) {
            if (pred(x, y))
                found = {std::min(found.left, x), std::min(found.top, y), std::max(found.right, x),
                         std::max(found.bottom, y)};
            return false;
        });
        return found;
    }
    // How many pixels of area outside the excluded boxes differ from other's.
    int Diff(const Picture& other, const Box& area, const std::vector<Box>& excluded = {}) const {
        return Count(area, [&](int x, int y) {
            return At(x, y) != other.At(x, y) &&
                   std::none_of(excluded.begin(), excluded.end(), [&](auto& b) { return b.Contains(x, y); });
        });
    }
};

// Owns GDI+ (started as the window does), the DIB section painted into and the pictures DrawMainWindow is given
// (pictures_, all of them unless a test leaves some out).
class Paint : public testing::Test {
protected:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&g_gdiplusToken, &input, nullptr), Gdiplus::Ok);
        dc_ = CreateCompatibleDC(nullptr);
        ASSERT_NO_FATAL_FAILURE(MakeSurface(kWidth, kHeight));
        background_.reset(static_cast<HBITMAP>(LoadImageW(
            GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kBackgroundBitmapId), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR)));
        track_ = LoadPngResource(kTrackPngId);
        fill_ = LoadPngResource(kFillPngId);
        largeBackground_ = LoadPngResource(kLargeBackgroundPngId);
        largeTrack_ = LoadPngResource(kLargeTrackPngId);
        largeFill_ = LoadPngResource(kLargeFillPngId);
        pictures_ = {background_.get(),      track_.get(),      fill_.get(),
                     largeBackground_.get(), largeTrack_.get(), largeFill_.get()};
        ASSERT_TRUE(background_ && track_ && fill_ && largeBackground_ && largeTrack_ && largeFill_);
        // The background picture by itself, which lands on the client pixel for pixel.
        ASSERT_EQ(
            GetDIBits(dc_, background_.get(), 0, kHeight, backgroundPicture_.pixels.data(), &info_, DIB_RGB_COLORS),
            kHeight);
    }
    void TearDown() override {
        track_.reset();
        fill_.reset();
        largeBackground_.reset();
        largeTrack_.reset();
        largeFill_.reset();
        DeleteDC(dc_);  // lets go of the bitmap
        DeleteObject(bitmap_);
        Gdiplus::GdiplusShutdown(g_gdiplusToken);
        g_gdiplusToken = 0;
    }

    // The surface painted into, of the given size.
    void MakeSurface(int width, int height) {
        DeleteObject(bitmap_);
        info_.bmiHeader = {sizeof(info_.bmiHeader), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        bitmap_ = CreateDIBSection(dc_, &info_, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        ASSERT_TRUE(dc_ && bitmap_ && bits_);
        SelectObject(dc_, bitmap_);
    }

    // Magenta, which no paint produces, shows where a paint left something out. The client is the window's at the
    // style's DPI.
    Picture Painted(std::uint64_t received,
                    std::uint64_t total = 1000,
                    double bytesPerSecond = 123 * 1024.0,
                    const PaintStyle& style = {}) {
        Picture picture;
        picture.width = ScaleForDpi(kWidth, style.dpi);
        picture.height = ScaleForDpi(kHeight, style.dpi);
        picture.pixels.resize(static_cast<size_t>(picture.width) * picture.height);
        if (info_.bmiHeader.biWidth != picture.width) {
            EXPECT_NO_FATAL_FAILURE(MakeSurface(picture.width, picture.height));
        }
        std::fill(bits_, bits_ + picture.pixels.size(), 0x00FF00FFu);
        const RECT client{0, 0, picture.width, picture.height};
        DrawMainWindow(dc_, client, client, pictures_, {received, total, bytesPerSecond}, style);
        GdiFlush();
        std::copy(bits_, bits_ + picture.pixels.size(), picture.pixels.begin());
        return picture;
    }

    Picture backgroundPicture_;
    WindowPictures pictures_;
    UniqueBitmap background_;
    std::unique_ptr<Gdiplus::Bitmap> track_, fill_, largeBackground_, largeTrack_, largeFill_;

private:
    BITMAPINFO info_{};
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    std::uint32_t* bits_ = nullptr;
};

// The fill runs from the bar's left end over max(fillWidth, bar height), clipped to its rounded outline, the track
// from there to the right end; around the bar the background stays untouched. Without its picture the track is a
// rounded rectangle in RGB(204,220,230), and the fill a gradient from 0x5EA0CE to 0xD1E1E9.
TEST_F(Paint, BarShowsTrackAndFillForTheProgress) {
    const struct {
        bool trackPicture, fillPicture;
        std::uint64_t received;  // of 480 bytes
        int fillWidth;
        int tolerance;  // the gradient's: where GDI+ samples a pixel
    } cases[] = {{true, true, 0, 0, 12},  {true, true, 240, 240, 12},  {true, true, 480, 480, 12},
                 {false, true, 0, 0, 12}, {false, true, 240, 220, 12}, {true, false, 240, 240, 4},
                 {true, false, 1, 8, 11}};  // one pixel of fill: the whole end circle
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.trackPicture << c.fillPicture << " " << c.received);
        pictures_.track = c.trackPicture ? track_.get() : nullptr;
        pictures_.fill = c.fillPicture ? fill_.get() : nullptr;
        const Box bar = c.trackPicture ? kPictureBar : kFallbackBar;
        const Rgb track = c.trackPicture ? Rgb{239, 239, 239} : Rgb{204, 220, 230};
        const Picture p = Painted(c.received, 480, 0.0);
        const int fillEnd = bar.left + c.fillWidth, radius = (bar.bottom - bar.top) / 2, middle = bar.top + radius;
        auto isFill = [&](int x, int y) {
            if (c.fillPicture)
                return p.At(x, y).Distance({99, 156, 180}) <= c.tolerance;
            const double t = std::clamp((x - bar.left + 0.5) / std::max(c.fillWidth, 1), 0.0, 1.0);
            auto mix = [t](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * t)); };
            return Box{bar.left, bar.top, fillEnd + 1, bar.bottom}.Contains(x, y) &&
                   p.At(x, y).Distance({mix(0x5E, 0xD1), mix(0xA0, 0xE1), mix(0xCE, 0xE9)}) <= c.tolerance;
        };
        // Fill and track each cover their part of the middle row and the full height in the middle of that part.
        auto all = [&](const Box& area, auto is) { return p.Count(area, [&](int x, int y) { return !is(x, y); }); };
        auto isTrack = [&](int x, int y) { return p.At(x, y).Distance(track) <= 4; };
        const int fillMiddle = bar.left + c.fillWidth / 2, trackMiddle = (fillEnd + bar.right) / 2;
        EXPECT_EQ(all({bar.left + 1, middle, fillEnd - 1, middle + 1}, isFill), 0) << "fill along";
        EXPECT_EQ(all({fillMiddle, bar.top + 1, fillMiddle + (c.fillWidth > 0), bar.bottom - 1}, isFill), 0);
        EXPECT_EQ(all({fillEnd + 1, middle, bar.right - 1, middle + 1}, isTrack), 0) << "track along";
        EXPECT_EQ(all({trackMiddle, bar.top + 1, trackMiddle + (fillEnd < bar.right), bar.bottom - 1}, isTrack), 0);
        // Nothing of the fill beyond half a pixel outside its outline.
        auto beyondOutline = [&](int x, int y) {
            const double dx = x + 0.5 -
                              std::clamp(x + 0.5, bar.left + radius + 0.0,
                                         bar.left + std::max(c.fillWidth, 2 * radius) - radius + 0.0);
            const double dy = y + 0.5 - middle;
            return isFill(x, y) && dx * dx + dy * dy > (radius + 0.5) * (radius + 0.5);
        };
        EXPECT_EQ(p.Count(bar.Inflated(1), beyondOutline), 0) << "fill outside its outline";
        EXPECT_EQ(p.Diff(backgroundPicture_, {0, bar.top - 7, kWidth, bar.bottom + 10}, {bar.Inflated(1)}), 0);
        if (!c.trackPicture) {  // rounded: the corners are the background's
            EXPECT_EQ(p.Diff(backgroundPicture_, bar,
                             {{bar.left + 1, bar.top, bar.right - 1, bar.bottom},
                              {bar.left, bar.top + 1, bar.right, bar.bottom - 1}}),
                      0);
        }
    }
}

// White ink inside the name, close glyph, percentage and speed rectangles, aligned there; everywhere else but the
// bar the background picture, or without it the system's window colour. The percentage and speed texts each change
// with their own part of the state.
TEST_F(Paint, TextsOnTheBackgroundFollowTheState) {
    enum Align { kStart, kCentre, kEnd };
    const struct {
        Box box;
        Align across, down;
    } texts[] = {{{20, 8, 460, 46}, kStart, kCentre},    // name
                 {{524, 8, 552, 46}, kCentre, kCentre},  // close glyph
                 {{40, 247, 200, 267}, kStart, kEnd},    // percentage
                 {{360, 247, 520, 267}, kEnd, kEnd}};    // speed
    std::vector<Box> drawn = {kPictureBar.Inflated(1)};
    const Picture p = Painted(500);
    for (const auto& t : texts) {
        const Box& b = t.box;
        SCOPED_TRACE(b.left);
        drawn.push_back(b);
        Box ink{b.right, b.bottom, b.left, b.top};  // the first and last column and row with ink
        for (int y = b.top; y < b.bottom; ++y) {
            for (int x = b.left; x < b.right; ++x) {
                if (p.At(x, y).White())
                    ink = {std::min(ink.left, x), std::min(ink.top, y), std::max(ink.right, x),
                           std::max(ink.bottom, y)};
            }
        }
        // How far the ink in [first, last] lies from where the alignment puts it in [from, to).
        auto offset = [](Align a, int from, int to, int first, int last) {
            return a == kStart ? first - from : a == kEnd ? to - 1 - last : std::abs(first + last + 1 - from - to) / 2;
        };
        EXPECT_LE(offset(t.across, b.left, b.right, ink.left, ink.right), 4);
        EXPECT_LE(offset(t.down, b.top, b.bottom, ink.top, ink.bottom), 4);
        // Glyphs, not a block: text drawn on an opaque background would fill its box.
        EXPECT_LT(p.Count(b, [&](int x, int y) { return p.At(x, y).White(); }) * 10,
                  (b.right - b.left) * (b.bottom - b.top) * 6);
        // The close glyph is a multiplication sign, as wide as it is high: not a letter x.
        if (t.across == kCentre) {
            EXPECT_LE(std::abs((ink.right - ink.left) - (ink.bottom - ink.top)), 1);
        }
    }
    EXPECT_EQ(p.Diff(backgroundPicture_, kWholeClient, drawn), 0);

    const Picture zero = Painted(0, 1000, 0.0), done = Painted(1000, 1000, 0.0), fast = Painted(0);
    EXPECT_NE(done.Diff(zero, texts[2].box), 0);
    EXPECT_EQ(done.Diff(zero, texts[3].box), 0);
    EXPECT_EQ(fast.Diff(zero, texts[2].box), 0);
    EXPECT_NE(fast.Diff(zero, texts[3].box), 0);

    pictures_.background = nullptr;
    const COLORREF w = GetSysColor(COLOR_WINDOW);
    Picture windowColour;
    std::fill(windowColour.pixels.begin(), windowColour.pixels.end(),
              GetRValue(w) << 16 | GetGValue(w) << 8 | GetBValue(w));
    EXPECT_EQ(Painted(500).Diff(windowColour, kWholeClient, drawn), 0);
}

// Relative luminance of a colour (WCAG), and the contrast between two.
double Luminance(const Rgb& c) {
    auto linear = [](int v) { return v <= 10 ? v / 3294.6 : std::pow((v / 255.0 + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(c.r) + 0.7152 * linear(c.g) + 0.0722 * linear(c.b);
}
double Contrast(const Rgb& a, const Rgb& b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// At 144 DPI the client is 840 x 465, all of it painted from the large pictures, and everything sits where the scaled
// layout puts it, its texts in fonts half as large again; at 120 DPI (the small pictures, stretched) too.
TEST_F(Paint, ScaledToTheWindowsDpi) {
    for (int dpi : {120, 144}) {
        SCOPED_TRACE(dpi);
        const Picture p = Painted(500, 1000, 123 * 1024.0, {dpi, false});
        EXPECT_EQ(p.Count({0, 0, p.width, p.height}, [&](int x, int y) { return p.At(x, y) == Rgb{255, 0, 255}; }), 0);
        EXPECT_LE(p.At(0, 0).Distance({5, 41, 108}), 8);
        EXPECT_LE(p.At(0, p.height - 1).Distance({211, 234, 235}), 8);
        const WindowLayout at = ComputeWindowLayout({0, 0, kWidth, kHeight}, {true, 480, 8}, dpi);
        const Box bar{at.bar.left, at.bar.top, at.bar.right, at.bar.bottom};
        const int middle = (bar.top + bar.bottom) / 2, fillEnd = bar.left + (bar.right - bar.left) / 2;
        auto closeTo = [&](const Rgb& colour, int tolerance) {
            return [&p, colour, tolerance](int x, int y) { return p.At(x, y).Distance(colour) <= tolerance; };
        };
        EXPECT_EQ(p.Count({bar.left + 3, middle, fillEnd - 3, middle + 1}, closeTo({99, 156, 180}, 16)),
                  fillEnd - 6 - bar.left);
        EXPECT_EQ(p.Count({fillEnd + 3, middle, bar.right - 3, middle + 1}, closeTo({239, 239, 239}, 6)),
                  bar.right - 6 - fillEnd);
        const Box outside[] = {{bar.left, bar.top - 3, bar.right, bar.top - 1},
                               {bar.left, bar.bottom + 1, bar.right, bar.bottom + 3}};
        for (const Box& b : outside)
            EXPECT_EQ(p.Count(b, closeTo({239, 239, 239}, 6)), 0) << "the bar is taller than laid out";
        // The ink of each text inside its scaled box, the percentage's at the box's bottom left and larger than at
        // 96 DPI, the speed's at its bottom right.
        auto white = [&](int x, int y) { return p.At(x, y).White(); };
        const Box percentage{at.percentage.left, at.percentage.top, at.percentage.right, at.percentage.bottom};
        const Box speed{at.speed.left, at.speed.top, at.speed.right, at.speed.bottom};
        const Box ink = p.Extent(percentage, white), speedInk = p.Extent(speed, white);
        EXPECT_LE(ink.left - percentage.left, 6);
        EXPECT_LE(percentage.bottom - 1 - ink.bottom, 6);
        EXPECT_LE(speed.right - 1 - speedInk.right, 6);
        EXPECT_LE(speed.bottom - 1 - speedInk.bottom, 6);
        const Picture small = Painted(500);
        const Box smallInk = small.Extent({40, 247, 200, 267}, [&](int x, int y) { return small.At(x, y).White(); });
        EXPECT_GE((ink.bottom - ink.top) * 96, (smallInk.bottom - smallInk.top) * dpi * 9 / 10);
        const Box glyph{at.closeGlyph.left, at.closeGlyph.top, at.closeGlyph.right, at.closeGlyph.bottom};
        EXPECT_GT(p.Count(glyph, white), 0);
        EXPECT_EQ(p.Count({glyph.left - 20, glyph.top, glyph.left, glyph.bottom}, white), 0);
    }
}

// The percentage and the speed are white on the pale end of the background: a dark halo makes every pixel of their
// ink stand out from the darkest of what lies within three pixels by at least 4.5 : 1, at 96 DPI and scaled.
TEST_F(Paint, SmallTextsStandOutFromWhatIsAroundThem) {
    for (int dpi : {96, 144}) {
        SCOPED_TRACE(dpi);
        const Picture p = Painted(500, 1000, 123 * 1024.0, {dpi, false});
        const WindowLayout at = ComputeWindowLayout({0, 0, kWidth, kHeight}, {true, 480, 8}, dpi);
        for (const LayoutRect& r : {at.percentage, at.speed}) {
            double worst = 21.0;
            const int inked = p.Count({r.left, r.top, r.right, r.bottom}, [&](int x, int y) {
                if (!p.At(x, y).White())
                    return false;
                double darkest = 1.0;
                p.Count({x - 3, y - 3, x + 4, y + 4}, [&](int u, int v) {
                    darkest = std::min(darkest, Luminance(p.At(u, v)));
                    return false;
                });
                worst = std::min(worst, 1.05 / (darkest + 0.05));
                return true;
            });
            EXPECT_GT(inked, 10);
            EXPECT_GE(worst, 4.5) << r.left;
        }
    }
    EXPECT_LT(Contrast({255, 255, 255}, {174, 199, 212}), 2.0);  // what the background alone gives there
}

// Without the background picture the texts take the system's text colour, on its window colour; with Windows'
// high-contrast setting on, the whole window does, with the fill in its highlight colour and no picture at all.
TEST_F(Paint, SystemColoursWhereThePicturesDoNotServe) {
    auto rgb = [](int index) {
        const COLORREF c = GetSysColor(index);
        return Rgb{GetRValue(c), GetGValue(c), GetBValue(c)};
    };
    const Rgb window = rgb(COLOR_WINDOW), text = rgb(COLOR_WINDOWTEXT), highlight = rgb(COLOR_HIGHLIGHT);
    const Box percentage{40, 247, 200, 267};
    auto texts = [&](const Picture& p) {
        return p.Count(percentage, [&](int x, int y) { return p.At(x, y).Distance(text) <= 40; });
    };
    pictures_.background = nullptr;
    const Picture plain = Painted(500);
    EXPECT_GT(texts(plain), 10);
    EXPECT_EQ(plain.Count(percentage,
                          [&](int x, int y) {
                              return plain.At(x, y).White() && !(window == Rgb{255, 255, 255});
                          }),
              0);

    pictures_.background = background_.get();
    const Picture contrast = Painted(500, 1000, 0.0, {96, true});
    EXPECT_GT(texts(contrast), 10);
    EXPECT_EQ(contrast.At(5, 5), window);
    EXPECT_EQ(contrast.At(280, 150), window) << "the background picture was drawn";
    EXPECT_LE(contrast.At(140, 279).Distance(highlight), 4);
    EXPECT_LE(contrast.At(400, 279).Distance(window), 4);
}

// GetGuiResources answers 0 under Wine, so leaks are found by their effect: with the handle table filled to within
// kHeadroom slots, paints that kept even one object each would leave no room for kHeadroom more.
TEST_F(Paint, ThousandPaintsKeepNoGdiObject) {
    constexpr size_t kHeadroom = 300;
    std::vector<HBRUSH> filler;
    auto fill = [&](size_t limit) {  // until the table (about 65,480 objects under Wine) refuses one
        size_t made = 0;
        for (HBRUSH brush; made < limit && (brush = CreateSolidBrush(RGB(1, 2, 3))); ++made)
            filler.push_back(brush);
        return made;
    };
    const size_t capacity = fill(1'000'000);
    for (size_t i = 0; i < kHeadroom; ++i, filler.pop_back())
        DeleteObject(filler.back());
    for (int i = 0; i < 1000; ++i)
        Painted(500);
    const size_t room = fill(kHeadroom);
    for (HBRUSH brush : filler)
        DeleteObject(brush);
    ASSERT_TRUE(capacity < 1'000'000 && capacity > 10 * kHeadroom) << capacity;
    EXPECT_EQ(room, kHeadroom) << "the paints kept GDI objects";
}

}  // namespace
