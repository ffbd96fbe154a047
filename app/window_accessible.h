#pragma once

#include <windows.h>

// What screen readers find in the installer's window. Its client area is a progress bar, read-only, named as the
// window shows the product's name, whose value is the percentage and whose description is the speed, both as the
// window shows them now (ViewOfProgress for the window's layout); its only child (id 1) is the close glyph, a push
// button named "关闭" whose default action closes the window as a click on it does. The rest (where the window is, its
// parent, focus, navigation among windows, hit testing outside the glyph) is the standard object's for the window.
// Everything here runs on the window's thread, which is a single-threaded apartment: other processes' calls into the
// object arrive through its message loop.

// The answer to WM_GETOBJECT: for the client area (OBJID_CLIENT) the window's own object, made at the first request;
// for every other object, DefWindowProc's answer.
LRESULT AnswerGetObject(HWND window, WPARAM wParam, LPARAM lParam);

// For WM_DESTROY: the object, which screen readers may hold on to, answers every call from now on that it is
// disconnected (RPC_E_DISCONNECTED), and releases what it holds; the next window gets a new one.
void DisconnectWindowAccessible();
