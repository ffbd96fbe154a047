#pragma once

#include <windows.h>

#include <winhttp.h>

#include <utility>

// Sole owner of one handle. Closer is a stateless type whose operator() releases a handle; Invalid is the value
// that means "nothing owned". Kernel handles have two empty values (null and INVALID_HANDLE_VALUE): their alias
// uses KernelHandleCloser, which ignores the second one.
template <typename T, typename Closer, T Invalid = T{}>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(T handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    T get() const { return handle_; }
    explicit operator bool() const { return handle_ != Invalid; }

    T release() { return std::exchange(handle_, Invalid); }
    void reset(T handle = Invalid) {
        T old = std::exchange(handle_, handle);
        if (old != Invalid)
            Closer{}(old);
    }

private:
    T handle_ = Invalid;
};

struct WinHttpCloser {
    void operator()(HINTERNET h) const { WinHttpCloseHandle(h); }
};
struct RegKeyCloser {
    void operator()(HKEY h) const { RegCloseKey(h); }
};
struct KernelHandleCloser {
    void operator()(HANDLE h) const {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};
struct MemoryDcCloser {
    void operator()(HDC h) const { DeleteDC(h); }
};
struct GdiObjectCloser {
    void operator()(HGDIOBJ h) const { DeleteObject(h); }
};

using UniqueInternet = UniqueHandle<HINTERNET, WinHttpCloser>;
using UniqueRegKey = UniqueHandle<HKEY, RegKeyCloser>;
using UniqueKernelHandle = UniqueHandle<HANDLE, KernelHandleCloser>;
using UniqueMemoryDc = UniqueHandle<HDC, MemoryDcCloser>;
using UniqueBitmap = UniqueHandle<HBITMAP, GdiObjectCloser>;
using UniqueFont = UniqueHandle<HFONT, GdiObjectCloser>;
using UniqueBrush = UniqueHandle<HBRUSH, GdiObjectCloser>;
using UniquePen = UniqueHandle<HPEN, GdiObjectCloser>;

// Selects an object into a device context and puts the previous one back when it goes out of scope. Declare the
// owner of the object before the guard, so the guard's restore runs before the object is deleted.
class ScopedSelectObject {
public:
    ScopedSelectObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(object ? SelectObject(dc, object) : nullptr) {}
    ~ScopedSelectObject() {
        if (previous_ && previous_ != HGDI_ERROR)
            SelectObject(dc_, previous_);
    }
    ScopedSelectObject(const ScopedSelectObject&) = delete;
    ScopedSelectObject& operator=(const ScopedSelectObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};
