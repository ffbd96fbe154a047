#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Called after each block written to the save file with the body bytes written so far and the response's
// Content-Length (0 when the response gave none). Runs on the downloading thread.
using ProgressCallback = std::function<void(std::uint64_t received, std::uint64_t total)>;

// Fetches an https:// address with GET and streams the body of a status-200 response into savePath (UTF-8, opened as
// given, so a relative name lands in the current directory). Follows at most two 301/302/303/307/308 redirects that
// reach it, each to another https:// address. The body goes first into savePath + ".part", a file that this call
// creates new (whatever has that name already, a link included, fails the download instead of being opened) and
// writes through one handle from its first attempt to its last; it replaces savePath only once the whole body is in
// it.
//
// Returns true only when the whole body is in savePath; a body whose length the response did not announce counts as
// whole only when it is a whole Windows program (IsWholeWindowsProgram). Otherwise returns false, replaces error with
// a short English diagnostic, leaves any existing file named savePath as it was and no ".part" file behind (also
// when onProgress throws). error is not changed on success.
//
// With attempts above 1, a failure that another attempt may not meet (see net/retry.h) is followed, after a wait, by
// a new attempt from url, up to attempts in all; error then tells how the last one failed. An attempt that follows
// a body cut short asks for the rest of it when the server offered ranges and a validator, and appends it when the
// server answers with exactly that part. Progress then goes on from the bytes kept, with the whole length as total;
// when the body starts again from its first byte, so does received.
bool DownloadFile(const std::string& url,
                  const std::string& savePath,
                  std::string& error,
                  ProgressCallback onProgress,
                  int attempts = 1);
