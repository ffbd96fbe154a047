#include "app/window_accessible.h"

#include <new>
#include <utility>

#include <oleacc.h>

#include "app/main_window.h"
#include "base/com.h"
#include "base/product_values.h"
#include "install/progress_state.h"
#include "install/progress_view.h"
#include "ui/layout.h"
#include "ui/paint.h"

namespace {

// IID_IAccessible written out: MinGW's liboleacc.a defines that name as code, not as the GUID.
constexpr IID kIidAccessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr LONG kCloseChild = 1;

enum class Part { Window, Close, None };

Part PartOf(const VARIANT& child) {
    if (child.vt != VT_I4)
        return Part::None;
    return child.lVal == CHILDID_SELF ? Part::Window : child.lVal == kCloseChild ? Part::Close : Part::None;
}

// A copy of text for the caller to free.
HRESULT Text(const wchar_t* text, BSTR* out) {
    *out = SysAllocString(text);
    return *out ? S_OK : E_OUTOFMEMORY;
}

// What the window shows of the progress now, by the painting's rule for the bar as laid out.
ProgressView ShownProgress() {
    const WindowLayout layout = CurrentLayout();
    return ViewOfProgress(ReadProgress(), layout.bar.right - layout.bar.left);
}

class WindowAccessible final : public IAccessible {
public:
    WindowAccessible(HWND window, ComPtr<IAccessible>&& standard) : window_(window), standard_(std::move(standard)) {}

    // From now on every call is refused as disconnected; the standard object is released here.
    void Disconnect() { standard_.reset(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
        if (!out)
            return E_POINTER;
        *out = id == kIidAccessible || id == IID_IDispatch || id == IID_IUnknown ? static_cast<IAccessible*>(this)
                                                                                 : nullptr;
        if (!*out)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = InterlockedDecrement(&references_);
        if (left == 0)
            delete this;
        return left;
    }

    // No type information: clients call the IAccessible methods themselves.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return Unless(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
        *out = nullptr;
        return Unless(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return Unless(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return Unless(E_NOTIMPL);
    }

    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** out) override {
        return standard_ ? standard_.get()->get_accParent(out) : RPC_E_DISCONNECTED;
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
        *count = 1;
        return Unless(S_OK);
    }
    // The close glyph is a simple element: it has no object of its own.
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        *out = nullptr;
        Part part;
        if (const HRESULT refused = Check(child, part))
            return refused;
        return part == Part::Close ? S_FALSE : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* out) override {
        return AnswerText(child, out, L"" VELMOR_PRODUCT_CLOSE_NAME,
                          [&] { return Text(ProductDisplayName().c_str(), out); });
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* out) override {
        return AnswerText(child, out, nullptr, [&] { return Text(ShownProgress().percentage.data(), out); });
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* out) override {
        return AnswerText(child, out, nullptr, [&] { return Text(ShownProgress().speed.data(), out); });
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* out) override {
        return AnswerText(child, out, nullptr, [&] { return standard_.get()->get_accHelp(child, out); });
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* out) override {
        return AnswerText(child, out, L"Esc", [&] { return standard_.get()->get_accKeyboardShortcut(child, out); });
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* out) override {
        return AnswerText(child, out, L"" VELMOR_PRODUCT_PRESS_NAME,
                          [&] { return standard_.get()->get_accDefaultAction(child, out); });
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* out) override {
        VariantInit(out);
        Part part;
        if (const HRESULT refused = Check(child, part))
            return refused;
        out->vt = VT_I4;
        out->lVal = part == Part::Window ? ROLE_SYSTEM_PROGRESSBAR : ROLE_SYSTEM_PUSHBUTTON;
        return S_OK;
    }
    // The window's state as the standard object gives it, read-only; the glyph is hidden or off screen with it.
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* out) override {
        VariantInit(out);
        Part part;
        if (const HRESULT refused = Check(child, part))
            return refused;
        VARIANT self{};
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        const HRESULT result = standard_.get()->get_accState(self, out);
        if (result != S_OK || out->vt != VT_I4)
            return result;
        out->lVal = part == Part::Window ? out->lVal | STATE_SYSTEM_READONLY
                                         : out->lVal & (STATE_SYSTEM_INVISIBLE | STATE_SYSTEM_OFFSCREEN);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
        *file = nullptr;
        return ForWindowOnly(child, [&] { return standard_.get()->get_accHelpTopic(file, child, topic); });
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* out) override {
        return standard_ ? standard_.get()->get_accFocus(out) : RPC_E_DISCONNECTED;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* out) override {
        return standard_ ? standard_.get()->get_accSelection(out) : RPC_E_DISCONNECTED;
    }
    HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override {
        return ForWindowOnly(child, [&] { return standard_.get()->accSelect(flags, child); });
    }
    // The glyph's place is the area where a click closes the window, in screen pixels.
    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT child) override {
        Part part;
        if (const HRESULT refused = Check(child, part))
            return refused;
        if (part == Part::Window)
            return standard_.get()->accLocation(left, top, width, height, child);
        const LayoutRect area = CurrentLayout().closeArea;
        POINT corner{area.left, area.top};
        ClientToScreen(window_, &corner);
        *left = corner.x;
        *top = corner.y;
        *width = area.right - area.left;
        *height = area.bottom - area.top;
        return S_OK;
    }
    // The glyph is the window's first and last child, and has neither siblings nor children.
    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
        VariantInit(end);
        Part part;
        if (const HRESULT refused = Check(start, part))
            return refused;
        if (part == Part::Close)
            return S_FALSE;
        if (direction != NAVDIR_FIRSTCHILD && direction != NAVDIR_LASTCHILD)
            return standard_.get()->accNavigate(direction, start, end);
        end->vt = VT_I4;
        end->lVal = kCloseChild;
        return S_OK;
    }
    // Where the standard object finds the window itself, the glyph where a click would close the window.
    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* out) override {
        if (!standard_)
            return RPC_E_DISCONNECTED;
        const HRESULT result = standard_.get()->accHitTest(x, y, out);
        POINT point{x, y};
        if (result == S_OK && out->vt == VT_I4 && out->lVal == CHILDID_SELF && ScreenToClient(window_, &point) &&
            point.x >= 0 && point.y >= 0 && IsInCloseArea(CurrentLayout().closeArea, point.x, point.y))
            out->lVal = kCloseChild;
        return result;
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        Part part;
        if (const HRESULT refused = Check(child, part))
            return refused;
        if (part == Part::Window)
            return standard_.get()->accDoDefaultAction(child);
        CloseMainWindow(window_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override {
        return ForWindowOnly(child, [&] { return standard_.get()->put_accName(child, name); });
    }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override {
        return ForWindowOnly(child, [&] { return standard_.get()->put_accValue(child, value); });
    }

private:
    HRESULT Unless(HRESULT answer) const { return standard_ ? answer : RPC_E_DISCONNECTED; }

    // S_OK with the part that child names while connected; otherwise why the call is refused.
    HRESULT Check(const VARIANT& child, Part& part) const {
        part = PartOf(child);
        return !standard_ ? RPC_E_DISCONNECTED : part == Part::None ? E_INVALIDARG : S_OK;
    }

    // A text property: the window's from ofWindow, the glyph's is ofClose (it has none when that is null).
    template <typename OfWindow>
    HRESULT AnswerText(const VARIANT& child, BSTR* out, const wchar_t* ofClose, OfWindow ofWindow) {
        *out = nullptr;
        Part part;
        if (const HRESULT refused = Check(child, part))
            return refused;
        if (part == Part::Window)
            return ofWindow();
        return ofClose ? Text(ofClose, out) : DISP_E_MEMBERNOTFOUND;
    }

    // What the standard object says of the window; the glyph has no such property.
    template <typename OfWindow>
    HRESULT ForWindowOnly(const VARIANT& child, OfWindow ofWindow) {
        Part part;
        if (const HRESULT refused = Check(child, part))
            return refused;
        return part == Part::Window ? ofWindow() : DISP_E_MEMBERNOTFOUND;
    }

    LONG references_ = 1;
    const HWND window_;
    ComPtr<IAccessible> standard_;  // the standard object for the window's client area; null once disconnected
};

// The window's object from its first WM_GETOBJECT to its WM_DESTROY; the window's thread's alone.
ComPtr<WindowAccessible> g_accessible;

}  // namespace

LRESULT AnswerGetObject(HWND window, WPARAM wParam, LPARAM lParam) {
    // The object id is the low 32 bits: 64-bit Windows does not extend its sign into lParam.
    if (static_cast<DWORD>(lParam) != static_cast<DWORD>(OBJID_CLIENT))
        return DefWindowProcW(window, WM_GETOBJECT, wParam, lParam);
    if (!g_accessible) {
        ComPtr<IAccessible> standard;
        if (FAILED(CreateStdAccessibleObject(window, OBJID_CLIENT, kIidAccessible, PutVoid(standard))))
            return DefWindowProcW(window, WM_GETOBJECT, wParam, lParam);
        g_accessible.reset(new (std::nothrow) WindowAccessible(window, std::move(standard)));
        if (!g_accessible)
            return DefWindowProcW(window, WM_GETOBJECT, wParam, lParam);
    }
    return LresultFromObject(kIidAccessible, wParam, static_cast<IAccessible*>(g_accessible.get()));
}

void DisconnectWindowAccessible() {
    if (!g_accessible)
        return;
    g_accessible.get()->Disconnect();
    // Other processes' proxies let go of it now: it is freed once this process holds no reference either.
    CoDisconnectObject(static_cast<IAccessible*>(g_accessible.get()), 0);
    g_accessible.reset();
}
