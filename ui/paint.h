#pragma once

#include <windows.h>

// Answers WM_PAINT: draws the whole window anew with DrawMainWindow.
void PaintMainWindow(HWND window);

// Draws the installer's picture for the client rectangle onto target from the window's pictures and the progress
// state: composed in one off-screen bitmap, then copied onto target with a single BitBlt. update is the area that
// the background fallback fills when there is no background picture. Every GDI and GDI+ object it makes is released
// before it returns.
void DrawMainWindow(HDC target, const RECT& client, const RECT& update);
