#pragma once

// Measurement builds only (VELMOR_PAINT_TRACE): notes the wall-clock time of every paint and, at process exit,
// writes them (milliseconds since 1970, one per line) to the file named by VELMOR_PAINT_TRACE_FILE.
void NotePaintForTrace();
