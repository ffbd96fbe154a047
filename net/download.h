#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/sha256.h"

// Called after each block written to the save file with the body bytes written so far and the response's
// Content-Length (0 when the response gave none). Runs on the downloading thread.
using ProgressCallback = std::function<void(std::uint64_t received, std::uint64_t total)>;

// Fetches an https:// address with GET and streams the body of a status-200 response into savePath (opened as
// given, so a relative name lands in the current directory). Follows at most two 301/302/303/307/308 redirects that
// reach it, each to another https:// address. The body goes first into savePath + ".part", which replaces savePath
// only once the whole body is in it.
//
// Returns true only when the whole body is in savePath; a body whose length the response did not announce counts as
// whole only when it is a whole Windows program (IsWholeWindowsProgram). On success bodyDigest, when given, receives
// the SHA-256 of the bytes received. Otherwise returns false, replaces error with a short English diagnostic, leaves
// any existing file named savePath as it was and no ".part" file behind (also when onProgress throws). error is not
// changed on success.
bool DownloadFile(const std::string& url,
                  const std::string& savePath,
                  std::string& error,
                  ProgressCallback onProgress,
                  Sha256Digest* bodyDigest = nullptr);
