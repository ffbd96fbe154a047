#pragma once

#include <cstdint>
#include <functional>
#include <vector>

// Whether the bytes hold a whole Windows program as far as its own headers can tell: the DOS and PE headers and an
// optional header of the PE32 or PE32+ kind parse, the section table lies within the file, every section's raw data
// lies within the file, and a certificate table (Authenticode signature), when there is one, ends exactly at the
// end of the file. Reads the headers only, never the whole file.
//
// A download whose length was never announced is judged by this. It cannot see a cut inside data appended after
// the image of an unsigned program (an overlay): such a file passes.
//
// The file is size bytes long; readAt reads count bytes at offset into out (resized to count) and returns false
// unless it could. It is asked only for bytes within the size.
using ReadAtFunction = std::function<bool(std::uint64_t offset, std::uint64_t count, std::vector<unsigned char>& out)>;
bool IsWholeWindowsProgram(std::uint64_t size, const ReadAtFunction& readAt);

struct FileRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// Where the certificate table (the Authenticode signature) lies, as the headers give it. False when the headers do not
// parse (as IsWholeWindowsProgram reads them), when the program has no certificate table, or when the table reaches
// outside the file.
bool FindCertificateTable(std::uint64_t size, const ReadAtFunction& readAt, FileRange& table);

#ifdef _WIN32
// Reads through a file open as fileHandle (a HANDLE with read access) at the offsets asked for.
ReadAtFunction ReadAtOfFile(void* fileHandle);

// IsWholeWindowsProgram for a file open as fileHandle (a HANDLE with read access), read where it is; its file pointer
// moves.
bool IsWholeWindowsProgramFile(void* fileHandle);
#endif
