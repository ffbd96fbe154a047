#pragma once

// GDI+ needs the COM declarations that WIN32_LEAN_AND_MEAN leaves out of <windows.h>, in this order.
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on
