#pragma once

#include <filesystem>
#include <istream>

// Whether the bytes hold a whole Windows program as far as its own headers can tell: the DOS and PE headers and an
// optional header of the PE32 or PE32+ kind parse, the section table lies within the file, every section's raw data
// lies within the file, and a certificate table (Authenticode signature), when there is one, ends exactly at the
// end of the file. Reads the headers only, never the whole file.
//
// A download whose length was never announced is judged by this. It cannot see a cut inside data appended after
// the image of an unsigned program (an overlay): such a file passes.
bool IsWholeWindowsProgram(std::istream& file);

// The same for a file on disk; false when it cannot be opened.
bool IsWholeWindowsProgram(const std::filesystem::path& path);
