#pragma once

#include <windows.h>

#include <utility>

// Sole owner of one handle. Traits says what "nothing owned" is (Empty) and how a handle is released (Close); each
// owner has exactly one empty value, so operator bool and the closer always agree.
template <typename T, typename Traits>
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
    explicit operator bool() const { return handle_ != Traits::Empty(); }

    T release() { return std::exchange(handle_, Traits::Empty()); }
    // Releases what is owned and returns where a call that hands out a new handle stores it.
    T* put() {
        reset();
        return &handle_;
    }
    void reset(T handle = Traits::Empty()) {
        T old = std::exchange(handle_, handle);
        if (old != Traits::Empty())
            Traits::Close(old);
    }

private:
    T handle_ = Traits::Empty();
};

// Traits for the common case: null means "nothing owned".
template <typename T, auto CloseFunction>
struct NullEmptyTraits {
    static T Empty() { return T{}; }
    static void Close(T handle) { CloseFunction(handle); }
};

// Kernel handles come in two kinds: most functions fail with null, CreateFileW and its kin with
// INVALID_HANDLE_VALUE. Each kind has its own owner.
using UniqueKernelHandle = UniqueHandle<HANDLE, NullEmptyTraits<HANDLE, CloseHandle>>;
struct FileHandleTraits {
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
using UniqueFileHandle = UniqueHandle<HANDLE, FileHandleTraits>;

template <typename Object>
using UniqueGdiObject = UniqueHandle<Object, NullEmptyTraits<Object, DeleteObject>>;
using UniqueBitmap = UniqueGdiObject<HBITMAP>;

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
