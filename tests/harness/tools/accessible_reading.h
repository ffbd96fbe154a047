#pragma once

#include <windows.h>

#include <string>

#include <oleacc.h>

#include "wine/tools/helper.h"

// Reading an accessible object as a screen reader does, for the tests.

// IID_IAccessible written out: MinGW's liboleacc.a defines that name as code, not as the GUID.
inline constexpr IID kIidAccessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The VARIANT that names child id of an object (0: the object itself).
inline VARIANT Child(LONG id) {
    VARIANT child{};
    child.vt = VT_I4;
    child.lVal = id;
    return child;
}

// A text or number property of the child, as UTF-8 or in decimal; "-" where the call failed or gave none.
inline std::string Said(IAccessible* object,
                        HRESULT (STDMETHODCALLTYPE IAccessible::*property)(VARIANT, BSTR*),
                        LONG child) {
    BSTR text = nullptr;
    const HRESULT result = (object->*property)(Child(child), &text);
    const std::string said = result == S_OK && text ? ToUtf8(text) : "-";
    SysFreeString(text);
    return said;
}

inline std::string Said(IAccessible* object,
                        HRESULT (STDMETHODCALLTYPE IAccessible::*property)(VARIANT, VARIANT*),
                        LONG child) {
    VARIANT value{};
    const HRESULT result = (object->*property)(Child(child), &value);
    return result == S_OK && value.vt == VT_I4 ? std::to_string(value.lVal) : "-";
}
