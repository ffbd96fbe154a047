#include "ui/paint.h"

#include <algorithm>
#include <string>

#include "base/unique_handle.h"
#include "config/product.h"
#include "ui/layout.h"
#include "ui/text.h"

namespace {

// Owners of the objects that live within one paint.
using UniqueMemoryDc = UniqueHandle<HDC, NullEmptyTraits<HDC, DeleteDC>>;
using UniqueFont = UniqueGdiObject<HFONT>;
using UniqueBrush = UniqueGdiObject<HBRUSH>;
using UniquePen = UniqueGdiObject<HPEN>;

constexpr COLORREF kTextColor = RGB(255, 255, 255);
constexpr COLORREF kTrackFallbackColor = RGB(204, 220, 230);
constexpr Gdiplus::ARGB kFillFallbackLeft = 0xFF5EA0CE;
constexpr Gdiplus::ARGB kFillFallbackRight = 0xFFD1E1E9;

struct FontSpec {
    int height;
    int weight;
};
constexpr FontSpec kNameFont{20, 600};
constexpr FontSpec kGlyphFont{30, 700};
constexpr FontSpec kSmallFont{14, 400};

UniqueFont MakeFont(const FontSpec& spec) {
    return UniqueFont(CreateFontW(spec.height, 0, 0, 0, spec.weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS,
                                  L"Microsoft YaHei"));
}

RECT ToRect(const LayoutRect& r) {
    return RECT{r.left, r.top, r.right, r.bottom};
}

// Draws white text in one font that lives only for this call.
void DrawWhiteText(HDC dc, const FontSpec& spec, const std::wstring& text, const LayoutRect& where, UINT format) {
    UniqueFont font = MakeFont(spec);
    ScopedSelectObject select(dc, font.get());
    SetTextColor(dc, kTextColor);
    RECT rect = ToRect(where);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect, format);
}

void DrawBackground(HDC surface, HDC reference, HBITMAP background, int width, int height, const RECT& update) {
    if (!background) {
        FillRect(surface, &update, GetSysColorBrush(COLOR_WINDOW));
        return;
    }
    UniqueMemoryDc pictureDc(CreateCompatibleDC(reference));
    if (!pictureDc)
        return;
    ScopedSelectObject select(pictureDc.get(), background);
    BITMAP info{};
    GetObjectW(background, sizeof(info), &info);
    StretchBlt(surface, 0, 0, width, height, pictureDc.get(), 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
}

void DrawTrackFallback(HDC surface, const LayoutRect& bar) {
    UniquePen pen(CreatePen(PS_NULL, 0, 0));
    UniqueBrush brush(CreateSolidBrush(kTrackFallbackColor));
    ScopedSelectObject selectPen(surface, pen.get());
    ScopedSelectObject selectBrush(surface, brush.get());
    const int height = bar.bottom - bar.top;
    RoundRect(surface, bar.left, bar.top, bar.right, bar.bottom, height, height);
}

// The fill's outline: the circle at the bar's left end for a narrow fill, a capsule from the left end otherwise.
void AddFillShape(Gdiplus::GraphicsPath& path, const LayoutRect& bar, int fillWidth) {
    const auto x = static_cast<Gdiplus::REAL>(bar.left);
    const auto y = static_cast<Gdiplus::REAL>(bar.top);
    const int height = bar.bottom - bar.top;
    const auto h = static_cast<Gdiplus::REAL>(height);
    if (ChooseFillShape(fillWidth, height) == FillShape::Circle) {
        path.AddEllipse(x, y, static_cast<Gdiplus::REAL>(std::max(fillWidth, height)), h);
        return;
    }
    const Gdiplus::REAL a = h;
    const Gdiplus::REAL right = x + static_cast<Gdiplus::REAL>(fillWidth) - a;
    path.AddArc(x, y, a, a, 180.0f, 90.0f);
    path.AddArc(right, y, a, a, 270.0f, 90.0f);
    path.AddArc(right, y + h - a, a, a, 0.0f, 90.0f);
    path.AddArc(x, y + h - a, a, a, 90.0f, 90.0f);
    path.CloseFigure();
}

void DrawFill(Gdiplus::Graphics& graphics, Gdiplus::Bitmap* fillImage, const LayoutRect& bar, int fillWidth) {
    const int height = bar.bottom - bar.top;
    Gdiplus::GraphicsPath path(Gdiplus::FillModeAlternate);
    AddFillShape(path, bar, fillWidth);

    Gdiplus::Region savedClip;
    graphics.GetClip(&savedClip);
    graphics.SetClip(&path, Gdiplus::CombineModeIntersect);
    if (fillImage) {
        // The whole strip is squeezed into the filled width, not cropped.
        graphics.DrawImage(fillImage,
                           Gdiplus::RectF(static_cast<Gdiplus::REAL>(bar.left), static_cast<Gdiplus::REAL>(bar.top),
                                          static_cast<Gdiplus::REAL>(fillWidth), static_cast<Gdiplus::REAL>(height)));
    } else {
        Gdiplus::LinearGradientBrush brush(Gdiplus::Rect(bar.left, bar.top, std::max(fillWidth, height), height),
                                           Gdiplus::Color(kFillFallbackLeft), Gdiplus::Color(kFillFallbackRight),
                                           Gdiplus::LinearGradientModeHorizontal);
        brush.SetWrapMode(Gdiplus::WrapModeTile);
        graphics.FillPath(&brush, &path);
    }
    graphics.SetClip(&savedClip, Gdiplus::CombineModeReplace);
}

void DrawBar(HDC surface, const WindowPictures& pictures, const LayoutRect& bar, double fraction) {
    // GDI+ draws onto the surface only while this object lives; it is gone before GDI draws the small texts.
    Gdiplus::Graphics graphics(surface);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeHighQuality);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    graphics.SetCompositingQuality(Gdiplus::CompositingQualityHighQuality);

    const int width = bar.right - bar.left;
    const int height = bar.bottom - bar.top;
    if (pictures.track) {
        graphics.DrawImage(pictures.track,
                           Gdiplus::RectF(static_cast<Gdiplus::REAL>(bar.left), static_cast<Gdiplus::REAL>(bar.top),
                                          static_cast<Gdiplus::REAL>(width), static_cast<Gdiplus::REAL>(height)));
    } else {
        DrawTrackFallback(surface, bar);
    }

    const int fillWidth = FillWidth(width, fraction);
    if (fillWidth > 0)
        DrawFill(graphics, pictures.fill, bar, fillWidth);
}

TrackPictureSize TrackSize(Gdiplus::Bitmap* track) {
    if (!track)
        return {};
    return {true, static_cast<int>(track->GetWidth()), static_cast<int>(track->GetHeight())};
}

}  // namespace

void DrawMainWindow(HDC target,
                    const RECT& client,
                    const RECT& update,
                    const WindowPictures& pictures,
                    const ProgressSnapshot& progress) {
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;

    UniqueMemoryDc surface(CreateCompatibleDC(target));
    UniqueBitmap surfaceBitmap(CreateCompatibleBitmap(target, width, height));
    if (!surface || !surfaceBitmap)
        return;
    ScopedSelectObject selectSurface(surface.get(), surfaceBitmap.get());
    HDC dc = surface.get();

    DrawBackground(dc, target, pictures.background, width, height, update);
    SetBkMode(dc, TRANSPARENT);

    const LayoutRect clientRect{client.left, client.top, client.right, client.bottom};
    const WindowLayout layout = ComputeWindowLayout(clientRect, TrackSize(pictures.track));

    std::wstring name = Utf8ToWide(ProductName);
    if (name.empty())
        name = L"Velmor Installer";
    DrawWhiteText(dc, kNameFont, name, layout.name, DT_SINGLELINE | DT_VCENTER);
    DrawWhiteText(dc, kGlyphFont, L"\u00D7", layout.closeGlyph, DT_SINGLELINE | DT_VCENTER | DT_CENTER);

    // The clamp absorbs a received count and a total taken from different reports.
    const double fraction = ProgressFraction(progress.received, progress.total);
    DrawBar(dc, pictures, layout.bar, fraction);

    {
        UniqueFont font = MakeFont(kSmallFont);
        ScopedSelectObject select(dc, font.get());
        SetTextColor(dc, kTextColor);
        RECT percentage = ToRect(layout.percentage);
        const std::wstring percentText = PercentageText(fraction);
        DrawTextW(dc, percentText.c_str(), -1, &percentage, DT_SINGLELINE | DT_BOTTOM);
        RECT speed = ToRect(layout.speed);
        const std::wstring speedText = SpeedText(progress.bytesPerSecond);
        DrawTextW(dc, speedText.c_str(), -1, &speed, DT_SINGLELINE | DT_BOTTOM | DT_RIGHT);
    }

    BitBlt(target, 0, 0, width, height, dc, 0, 0, SRCCOPY);
}
