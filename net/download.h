#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/proxy.h"

// Called after each block written to the save file with the body bytes written so far and the whole body's length:
// the Content-Length of the 200 response, also while a 206 continues that body (0 when it gave none). Runs on the
// downloading thread.
using ProgressCallback = std::function<void(std::uint64_t received, std::uint64_t total)>;

// One request of an attempt, as it ended, for the diagnostics log: a route that failed and was left for the next one,
// or the attempt's last request.
struct TryReport {
    int attempt = 0;           // 1 for the first
    std::string route;         // Route::Describe
    std::uint32_t status = 0;  // of the response; 0 when none came
    std::uint32_t error = 0;   // the Windows error of the call that failed; 0 when none did
    std::uint64_t bytes = 0;   // body bytes saved
    std::uint64_t milliseconds = 0;
    std::string outcome;            // "done", or the failure's diagnostic
    std::uint32_t waitSeconds = 0;  // before the next attempt, after an attempt's last request; 0 when none follows
};

struct DownloadOptions {
    int attempts = 1;
    ProxySource proxy = ProxySource::kWinHttp;
    std::function<void(const TryReport&)> onTry;  // may be empty; runs on the downloading thread
};

// Fetches an https:// address with GET and streams the body of a status-200 response into savePath (UTF-8, opened as
// given, so a relative name lands in the current directory). Follows at most two 301/302/303/307/308 redirects that
// reach it, each to another https:// address. The body goes first into savePath + ".part", a file that this call
// creates new (whatever has that name already, a link included, fails the download instead of being opened) and
// writes through one handle from its first attempt to its last; it replaces savePath only once the whole body is in
// it.
//
// Returns true only when the whole body is in savePath; a body whose length the 200 response did not announce counts
// as whole only when it is a whole Windows program (IsWholeWindowsProgram). Otherwise returns false, replaces error
// with a short English diagnostic, leaves any existing file named savePath as it was and no ".part" file behind (also
// when onProgress throws). error is not changed on success.
//
// Each request goes over the routes that ChooseRoutes gives for options.proxy, in order, to the first on which a
// response comes. With options.attempts above 1, a failure that another attempt may not meet (see net/retry.h) is
// followed, after a wait, by a new attempt from url, up to attempts in all; error then tells how the last one failed.
// An attempt that follows a body cut short asks for the rest of it when the server offered ranges and a validator, and
// appends it when the server answers with exactly that part. Progress then goes on from the bytes kept, with the whole
// length as total; when the body starts again from its first byte, so does received.
bool DownloadFile(const std::string& url,
                  const std::string& savePath,
                  std::string& error,
                  ProgressCallback onProgress,
                  const DownloadOptions& options = {});
