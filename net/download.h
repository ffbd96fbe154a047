#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Called after each block written to the save file with the body bytes written so far and the response's
// Content-Length (0 when the response gave none). Runs on the downloading thread.
using ProgressCallback = std::function<void(std::uint64_t received, std::uint64_t total)>;

// Fetches an https:// address with GET and streams the body of a status-200 response into savePath (opened as
// given, so a relative name lands in the current directory). Follows at most two 301/302/303/307/308 redirects that
// reach it, each to another https:// address.
//
// Returns true only when the whole body is in the file; a body whose length the response did not announce counts as
// whole only when it is a whole Windows program (IsWholeWindowsProgram). Otherwise returns false, replaces error
// with a short English diagnostic and leaves no partial save file behind; a failure before the 200 response leaves
// an existing file of that name untouched. error is not changed on success.
bool DownloadFile(const std::string& url, const std::string& savePath, std::string& error, ProgressCallback onProgress);
