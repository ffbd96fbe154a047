#include "ui/paint.h"

#include <algorithm>
#include <string>

#include "base/unique_handle.h"
#include "config/product.h"
#include "install/progress_view.h"
#include "ui/layout.h"
#include "ui/text.h"

namespace {

// Owners of the objects that live within one paint.
using UniqueMemoryDc = UniqueHandle<HDC, NullEmptyTraits<HDC, DeleteDC>>;
using UniqueFont = UniqueGdiObject<HFONT>;
using UniqueBrush = UniqueGdiObject<HBRUSH>;
using UniquePen = UniqueGdiObject<HPEN>;

constexpr COLORREF kTextColor = RGB(255, 255, 255);
// Behind the small white texts, which stand on the pale end of the background's gradient: the gradient's dark end.
constexpr COLORREF kHaloColor = RGB(5, 41, 108);
constexpr COLORREF kTrackFallbackColor = RGB(204, 220, 230);
constexpr Gdiplus::ARGB kFillFallbackLeft = 0xFF5EA0CE;
constexpr Gdiplus::ARGB kFillFallbackRight = 0xFFD1E1E9;

struct FontSpec {
    int height;  // pixels at 96 DPI
    int weight;
};
constexpr FontSpec kNameFont{20, 600};
constexpr FontSpec kGlyphFont{30, 700};
constexpr FontSpec kSmallFont{14, 400};

// The colours of one paint.
struct Colours {
    COLORREF text = kTextColor;
    bool halo = true;        // around the small texts
    bool systemBar = false;  // the bar in system colours instead of its pictures
};

UniqueFont MakeFont(const FontSpec& spec, int dpi) {
    return UniqueFont(CreateFontW(ScaleForDpi(spec.height, dpi), 0, 0, 0, spec.weight, FALSE, FALSE, FALSE,
                                  DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                  DEFAULT_PITCH | FF_SWISS, L"Microsoft YaHei"));
}

RECT ToRect(const LayoutRect& r) {
    return RECT{r.left, r.top, r.right, r.bottom};
}

Gdiplus::RectF ToRectF(const LayoutRect& r) {
    return Gdiplus::RectF(static_cast<Gdiplus::REAL>(r.left), static_cast<Gdiplus::REAL>(r.top),
                          static_cast<Gdiplus::REAL>(r.right - r.left), static_cast<Gdiplus::REAL>(r.bottom - r.top));
}

// Draws text in the paint's text colour, in the font selected. With halo, first the same text in the halo colour
// moved by halo pixels left, right, up and down, kept inside where: every glyph then stands out from what is directly
// around it, whatever lies behind.
void DrawLabel(HDC dc, const wchar_t* text, const LayoutRect& where, UINT format, COLORREF colour, int halo) {
    RECT rect = ToRect(where);
    if (halo > 0) {
        const int saved = SaveDC(dc);
        IntersectClipRect(dc, rect.left, rect.top, rect.right, rect.bottom);
        SetTextColor(dc, kHaloColor);
        const POINT moves[] = {{-halo, 0}, {halo, 0}, {0, -halo}, {0, halo}};
        for (const POINT& move : moves) {
            RECT moved = rect;
            OffsetRect(&moved, move.x, move.y);
            DrawTextW(dc, text, -1, &moved, format);
        }
        RestoreDC(dc, saved);
    }
    SetTextColor(dc, colour);
    DrawTextW(dc, text, -1, &rect, format);
}

// Draws a text in one font that lives only for this call.
void DrawTextIn(HDC dc,
                const FontSpec& spec,
                int dpi,
                const wchar_t* text,
                const LayoutRect& where,
                UINT format,
                COLORREF colour,
                int halo = 0) {
    UniqueFont font = MakeFont(spec, dpi);
    ScopedSelectObject select(dc, font.get());
    DrawLabel(dc, text, where, format, colour, halo);
}

void DrawBackground(HDC surface,
                    HDC reference,
                    const WindowPictures& pictures,
                    int dpi,
                    int width,
                    int height,
                    const RECT& update) {
    if (dpi > kLargePicturesAboveDpi && pictures.largeBackground) {
        Gdiplus::Graphics graphics(surface);
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
        graphics.DrawImage(pictures.largeBackground, ToRectF({0, 0, width, height}));
        return;
    }
    if (!pictures.background) {
        FillRect(surface, &update, GetSysColorBrush(COLOR_WINDOW));
        return;
    }
    UniqueMemoryDc pictureDc(CreateCompatibleDC(reference));
    if (!pictureDc)
        return;
    ScopedSelectObject select(pictureDc.get(), pictures.background);
    BITMAP info{};
    GetObjectW(pictures.background, sizeof(info), &info);
    if (info.bmWidth != width || info.bmHeight != height) {
        SetStretchBltMode(surface, HALFTONE);
        SetBrushOrgEx(surface, 0, 0, nullptr);
    }
    StretchBlt(surface, 0, 0, width, height, pictureDc.get(), 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
}

void DrawTrackFallback(HDC surface, const LayoutRect& bar, COLORREF colour, COLORREF outline) {
    UniquePen pen(outline == CLR_INVALID ? CreatePen(PS_NULL, 0, 0) : CreatePen(PS_SOLID, 1, outline));
    UniqueBrush brush(CreateSolidBrush(colour));
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

// The fill over fillWidth pixels from the bar's left end: the fill picture squeezed into that width, or without it
// the fallback gradient, or in high contrast the highlight colour.
void DrawFill(Gdiplus::Graphics& graphics,
              Gdiplus::Bitmap* fillImage,
              const LayoutRect& bar,
              int fillWidth,
              const Colours& colours) {
    const int height = bar.bottom - bar.top;
    Gdiplus::GraphicsPath path(Gdiplus::FillModeAlternate);
    AddFillShape(path, bar, fillWidth);

    Gdiplus::Region savedClip;
    graphics.GetClip(&savedClip);
    graphics.SetClip(&path, Gdiplus::CombineModeIntersect);
    if (colours.systemBar) {
        Gdiplus::Color highlight;
        highlight.SetFromCOLORREF(GetSysColor(COLOR_HIGHLIGHT));
        Gdiplus::SolidBrush brush(highlight);
        graphics.FillPath(&brush, &path);
    } else if (fillImage) {
        // The whole strip is squeezed into the filled width, not cropped.
        graphics.DrawImage(fillImage, ToRectF({bar.left, bar.top, bar.left + fillWidth, bar.bottom}));
    } else {
        Gdiplus::LinearGradientBrush brush(Gdiplus::Rect(bar.left, bar.top, std::max(fillWidth, height), height),
                                           Gdiplus::Color(kFillFallbackLeft), Gdiplus::Color(kFillFallbackRight),
                                           Gdiplus::LinearGradientModeHorizontal);
        brush.SetWrapMode(Gdiplus::WrapModeTile);
        graphics.FillPath(&brush, &path);
    }
    graphics.SetClip(&savedClip, Gdiplus::CombineModeReplace);
}

void DrawBar(HDC surface,
             Gdiplus::Bitmap* track,
             Gdiplus::Bitmap* fill,
             const LayoutRect& bar,
             int fillWidth,
             int dpi,
             const Colours& colours) {
    // GDI+ draws onto the surface only while this object lives; it is gone before GDI draws the small texts.
    Gdiplus::Graphics graphics(surface);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeHighQuality);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    graphics.SetCompositingQuality(Gdiplus::CompositingQualityHighQuality);
    if (dpi != 96)
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);

    if (colours.systemBar)
        DrawTrackFallback(surface, bar, GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT));
    else if (track)
        graphics.DrawImage(track, ToRectF(bar));
    else
        DrawTrackFallback(surface, bar, kTrackFallbackColor, CLR_INVALID);

    if (fillWidth > 0)
        DrawFill(graphics, fill, bar, fillWidth, colours);
}

TrackPictureSize TrackSize(Gdiplus::Bitmap* track) {
    if (!track)
        return {};
    return {true, static_cast<int>(track->GetWidth()), static_cast<int>(track->GetHeight())};
}

}  // namespace

std::wstring ProductDisplayName() {
    std::wstring name = Utf8ToWide(ProductName);
    return name.empty() ? L"" VELMOR_PRODUCT_WINDOW_TITLE : name;
}

void DrawMainWindow(HDC target,
                    const RECT& client,
                    const RECT& update,
                    const WindowPictures& pictures,
                    const ProgressSnapshot& progress,
                    const PaintStyle& style) {
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const int dpi = style.dpi;

    UniqueMemoryDc surface(CreateCompatibleDC(target));
    UniqueBitmap surfaceBitmap(CreateCompatibleBitmap(target, width, height));
    if (!surface || !surfaceBitmap)
        return;
    ScopedSelectObject selectSurface(surface.get(), surfaceBitmap.get());
    HDC dc = surface.get();

    // White texts need the background picture behind them; on the system's window colour (white on most systems)
    // they take the system's text colour.
    Colours colours;
    if (style.highContrast) {
        FillRect(dc, &update, GetSysColorBrush(COLOR_WINDOW));
        colours = {GetSysColor(COLOR_WINDOWTEXT), false, true};
    } else {
        DrawBackground(dc, target, pictures, dpi, width, height, update);
        if (!pictures.background && !(dpi > kLargePicturesAboveDpi && pictures.largeBackground))
            colours = {GetSysColor(COLOR_WINDOWTEXT), false, false};
    }
    SetBkMode(dc, TRANSPARENT);

    // Laid out from the window's size in 96-DPI units, whatever the track picture drawn.
    const WindowLayout layout =
        ComputeWindowLayout({0, 0, kClientWidth, kClientHeight}, TrackSize(pictures.track), dpi);

    DrawTextIn(dc, kNameFont, dpi, ProductDisplayName().c_str(), layout.name, DT_SINGLELINE | DT_VCENTER, colours.text);
    DrawTextIn(dc, kGlyphFont, dpi, L"\u00D7", layout.closeGlyph, DT_SINGLELINE | DT_VCENTER | DT_CENTER, colours.text);

    const ProgressView view = ViewOfProgress(progress, layout.bar.right - layout.bar.left);
    const bool large = dpi > kLargePicturesAboveDpi;
    Gdiplus::Bitmap* track = large && pictures.track && pictures.largeTrack ? pictures.largeTrack : pictures.track;
    Gdiplus::Bitmap* fill = large && pictures.largeFill ? pictures.largeFill : pictures.fill;
    DrawBar(dc, track, fill, layout.bar, view.fillWidth, dpi, colours);

    {
        UniqueFont font = MakeFont(kSmallFont, dpi);
        ScopedSelectObject select(dc, font.get());
        const int halo = colours.halo ? ScaleForDpi(1, dpi) : 0;
        DrawLabel(dc, view.percentage.data(), layout.percentage, DT_SINGLELINE | DT_BOTTOM, colours.text, halo);
        DrawLabel(dc, view.speed.data(), layout.speed, DT_SINGLELINE | DT_BOTTOM | DT_RIGHT, colours.text, halo);
    }

    BitBlt(target, 0, 0, width, height, dc, 0, 0, SRCCOPY);
}
