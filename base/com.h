#pragma once

#include <windows.h>

#include <objbase.h>

#include "base/unique_handle.h"

// COM interface pointers are owned like handles: Release gives one back.
template <typename Interface>
struct ComReleaseTraits {
    static Interface* Empty() { return nullptr; }
    static void Close(Interface* pointer) { pointer->Release(); }
};
template <typename Interface>
using ComPtr = UniqueHandle<Interface*, ComReleaseTraits<Interface>>;

// Where a call that hands out an interface pointer as void** stores it.
template <typename Interface>
void** PutVoid(ComPtr<Interface>& owner) {
    return reinterpret_cast<void**>(owner.put());
}

// COM on this thread, single-threaded apartment, for the owner's lifetime. A thread that already has COM in another
// apartment keeps it, and COM is usable there as well.
class ScopedComApartment {
public:
    ScopedComApartment() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ScopedComApartment() {
        if (initialised_)
            CoUninitialize();
    }
    ScopedComApartment(const ScopedComApartment&) = delete;
    ScopedComApartment& operator=(const ScopedComApartment&) = delete;

private:
    bool initialised_;
};
