#include "net/download.h"

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <array>
#include <map>
#include <vector>

#include "base/ascii.h"
#include "base/held_file.h"
#include "base/plain_entry.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "net/internet_handle.h"
#include "net/pe_image.h"
#include "net/proxy.h"
#include "net/retry.h"
#include "net/url.h"

namespace {

constexpr DWORD kTimeoutMs = 30000;
constexpr DWORD kReadBufferSize = 8192;
constexpr int kMaxRequests = 3;
// The one failure to save the body that another attempt can mend: the connection broke before the body was whole.
constexpr char kIncomplete[] = "download incomplete";

bool IsRedirectStatus(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Reads one response header (a WINHTTP_QUERY_* value) as UTF-8. Fails when the header is absent or longer than 2047
// UTF-16 units.
bool QueryHeader(HINTERNET request, DWORD infoLevel, std::string& value) {
    std::array<wchar_t, 2048> buffer{};
    DWORD size = sizeof(buffer);
    if (!WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    value = Utf8FromWide(buffer.data());
    return true;
}

// The response's status code; 0 when it cannot be read.
DWORD StatusCode(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

// The header's value, or empty when it is absent.
std::string HeaderOrEmpty(HINTERNET request, DWORD infoLevel) {
    std::string value;
    return QueryHeader(request, infoLevel, value) ? value : std::string();
}

// The temporary file that the body goes into. This download creates it new and writes it only through the one handle
// it keeps from its first attempt to its last, so no link at its name, hard or symbolic, is ever written through;
// others may read it meanwhile (a virus scanner does). Unless it is given its final name it is deleted, also when an
// exception passes.
class PartialFile {
public:
    explicit PartialFile(std::wstring path) : path_(std::move(path)) {}
    ~PartialFile() { Discard(); }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    // Makes the file empty for a body from its first byte: creates it on the first call. False when it cannot be
    // created (something has its name already) or is not a file of its own (a second name links to it).
    bool StartOver() {
        if (!file_) {
            file_.reset(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            created_ = static_cast<bool>(file_);
            if (!file_ || !IsNoLink(file_.get()))
                return false;
        }
        return MoveTo(FILE_BEGIN) && SetEndOfFile(file_.get());
    }
    // Moves to the end of the bytes kept, to append the rest of the body.
    bool Continue() { return file_ && MoveTo(FILE_END); }

    bool Write(const char* bytes, DWORD count) {
        DWORD written = 0;
        return WriteFile(file_.get(), bytes, count, &written, nullptr) && written == count;
    }

    bool HoldsWholeProgram() { return IsWholeWindowsProgramFile(file_.get()); }

    // Closes the file; false for a write error that shows only now.
    bool Close() { return CloseHandle(file_.release()); }

    // Gives the closed file the final name, replacing a file of that name, while another program holds it for a
    // moment too. When that fails the file is deleted, and the thread's last error tells why.
    bool Rename(const std::wstring& finalPath) {
        if (RetryWhileHeld([&] { return MoveFileExW(path_.c_str(), finalPath.c_str(), MOVEFILE_REPLACE_EXISTING); })) {
            created_ = false;
            return true;
        }
        const DWORD error = GetLastError();
        Discard();
        SetLastError(error);
        return false;
    }

    // Deletes the file that this download created, once closed.
    void Discard() {
        file_.reset();
        if (created_)
            DeleteFileW(path_.c_str());
        created_ = false;
    }

private:
    bool MoveTo(DWORD origin) { return SetFilePointerEx(file_.get(), LARGE_INTEGER{}, nullptr, origin); }

    const std::wstring path_;
    bool created_ = false;  // by this download, and not yet renamed or deleted
    UniqueFileHandle file_;
};

// What one download keeps from one attempt to the next, so that the next can ask for the rest of the body.
struct PartialDownload {
    std::uint64_t kept = 0;    // body bytes in the temporary file
    std::uint64_t length = 0;  // Content-Length of the 200 response they came from; 0 when it had none
    std::string validator;     // If-Range value for that response; empty when it cannot be continued

    bool CanResume() const { return kept > 0 && length > 0 && !validator.empty(); }
};

// How one attempt ended. A failure is retried only when retryable; status and retryAfter come from a response
// whose status failed it.
struct AttemptResult {
    bool done = false;
    bool retryable = false;
    bool routeFailed = false;  // the route's proxy failed, and the next route may do better
    DWORD status = 0;
    DWORD lastError = 0;  // of the call that failed, if one did
    std::string retryAfter;
};

AttemptResult Failed(std::string& error, const char* text, bool retryable, DWORD lastError = 0) {
    error = text;
    AttemptResult result;
    result.retryable = retryable;
    result.lastError = lastError;
    return result;
}

// Streams the body of a status-200 response into the file, or, when partial.kept is not 0, appends the body of a 206
// response that continues it. Progress reports count the kept bytes too, and give the whole length as total, so the
// bar goes on from where it was.
// partial.kept follows the bytes in the file, also on failure.
bool SaveBody(HINTERNET request,
              PartialFile& file,
              PartialDownload& partial,
              std::string& error,
              const ProgressCallback& onProgress,
              DWORD& lastError) {
    DWORD length = 0;
    DWORD size = sizeof(length);
    const bool announced =
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
    // The whole body's length is the 200 response's Content-Length (0 when it had none), also while a 206 continues
    // that body, which may announce no length of its own (chunked).
    const std::uint64_t offset = partial.kept;
    if (offset == 0)
        partial.length = announced ? length : 0;

    if (!(offset == 0 ? file.StartOver() : file.Continue())) {
        lastError = GetLastError();
        error = "failed to create save file";
        return false;
    }

    std::array<char, kReadBufferSize> buffer;
    std::uint64_t received = 0;
    for (;;) {
        DWORD count = 0;
        // A body ends whole when the file is as long as the first response said: the rest of a body cut short is
        // still to come, and a 206 may carry less than the range it announced.
        const bool read = WinHttpReadData(request, buffer.data(), kReadBufferSize, &count);
        if (!read || (count == 0 && partial.length != 0 && offset + received != partial.length)) {
            lastError = read ? 0 : GetLastError();
            error = kIncomplete;
            return false;
        }
        if (count == 0) {
            // A chunked body cut off between two chunks ends like a whole one: when neither this response nor the
            // one it continues announced a length, only the program's own headers can tell.
            if (!announced && partial.length == 0 && !file.HoldsWholeProgram()) {
                error = kIncomplete;
                return false;
            }
            return true;
        }
        if (!file.Write(buffer.data(), count)) {
            lastError = GetLastError();
            error = "failed to write save file";
            return false;
        }
        received += count;
        partial.kept = offset + received;
        if (onProgress)
            onProgress(offset + received, partial.length);
    }
}

// Offers TLS 1.2 and 1.3, or TLS 1.2 alone where the system refuses that, or leaves the system's default: Windows
// 7's WinHTTP offers neither by default, and download hosts refuse what it does offer.
void OfferModernTls(HINTERNET session) {
    const DWORD choices[] = {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3,
                             WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2};
    for (DWORD protocols : choices) {
        if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols)))
            return;
    }
}

// True when a response through a proxy is the proxy's own error, not the server's: the tunnel to the server was
// refused (a proxy that asks for credentials, 407, among them), so no server certificate ever came.
bool AnsweredByProxy(HINTERNET request) {
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof(certificate);
    if (StatusCode(request) < 400 ||
        WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size)) {
        if (certificate)
            CertFreeCertificateContext(certificate);
        return false;
    }
    return true;
}

// A request over one route with its response received. The handles close innermost first, request, connection,
// session: in reverse declaration order when the exchange ends, and through Close before another route is tried.
struct Exchange {
    UniqueInternet session;
    UniqueInternet connection;
    UniqueInternet request;

    void Close() {
        request.reset();
        connection.reset();
        session.reset();
    }
};

// Sends a GET for path to host:port over route, with the extra headers (which may be empty), and receives the
// response into exchange, once the handles it held for an earlier route are closed. On failure returns a failed result
// that tells the Windows error.
AttemptResult SendOverRoute(const Route& route,
                            const std::wstring& host,
                            int port,
                            const std::wstring& path,
                            const std::wstring& headers,
                            Exchange& exchange,
                            std::string& error) {
    const DWORD access = route.kind == Route::kWinHttpDefault ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY
                         : route.kind == Route::kDirect       ? WINHTTP_ACCESS_TYPE_NO_PROXY
                                                              : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    exchange.Close();
    exchange.session.reset(WinHttpOpen(kUserAgent, access,
                                       route.kind == Route::kProxy ? route.proxy.c_str() : WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!exchange.session)
        return Failed(error, "WinHttpOpen failed", false, GetLastError());
    WinHttpSetTimeouts(exchange.session.get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
    OfferModernTls(exchange.session.get());

    // Wine's WinHTTP leaves the wait for response headers (and for a proxy's tunnel and the TLS handshake) unbounded
    // unless this is set; Windows waits 90 s by default.
    DWORD responseTimeout = kTimeoutMs;
    WinHttpSetOption(exchange.session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));

    const auto failed = [&](const char* text) {
        const DWORD lastError = GetLastError();
        AttemptResult result = Failed(error, text, IsRetryableNetworkError(lastError), lastError);
        result.routeFailed = route.kind == Route::kProxy && IsRouteFailure(lastError);
        return result;
    };
    exchange.connection.reset(
        WinHttpConnect(exchange.session.get(), host.c_str(), static_cast<INTERNET_PORT>(port), 0));
    if (!exchange.connection)
        return failed("WinHttpConnect failed");
    exchange.request.reset(WinHttpOpenRequest(exchange.connection.get(), L"GET", path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!exchange.request)
        return Failed(error, "WinHttpOpenRequest failed", false, GetLastError());
    if (!WinHttpSendRequest(exchange.request.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return failed("WinHttpSendRequest failed");
    if (!WinHttpReceiveResponse(exchange.request.get(), nullptr))
        return failed("WinHttpReceiveResponse failed");
    AttemptResult received;
    received.done = true;
    if (route.kind == Route::kProxy && AnsweredByProxy(exchange.request.get())) {
        received.done = false;
        received.routeFailed = true;
        error = "the proxy answered with an error";
    }
    return received;
}

// One attempt: the request loop from url through its redirects to a response whose body is saved, each request over
// the first of its routes on which a response comes. When partial can be continued, the request asks only for the
// rest of it. Each route left for the next goes into tries; so does the last request, once the caller completes it.
AttemptResult RunAttempt(const std::string& url,
                         ProxySource proxySource,
                         std::map<std::string, std::vector<Route>>& routeCache,
                         PartialFile& file,
                         PartialDownload& partial,
                         std::string& error,
                         const ProgressCallback& progress,
                         std::vector<TryReport>& tries) {
    const bool resuming = partial.CanResume();
    const std::wstring rangeHeaders = resuming ? L"Range: bytes=" + std::to_wstring(partial.kept) + L"-\r\nIf-Range: " +
                                                     WidenAscii(partial.validator) + L"\r\n"
                                               : std::wstring();
    std::string currentUrl = url;

    for (int request_number = 1;; ++request_number) {
        std::wstring host;
        std::wstring path;
        int port = 0;
        if (!ParseHttpsUrl(currentUrl, host, port, path))
            return Failed(error, "URL parse failed", false);

        // The routes are tried in order while a route's proxy cannot be reached or answers with an error of its own.
        Exchange exchange;
        // Asked once per address for the whole download, once settled: a proxy script's answer may take a moment.
        std::vector<Route> routes;
        if (const auto cached = routeCache.find(currentUrl); cached != routeCache.end()) {
            routes = cached->second;
        } else {
            RouteChoice choice = ChooseRoutes(currentUrl, Utf8FromWide(host), proxySource);
            if (choice.settled)
                routeCache.emplace(currentUrl, choice.routes);
            routes = std::move(choice.routes);
        }
        for (size_t index = 0;; ++index) {
            const ULONGLONG start = GetTickCount64();
            TryReport& report = tries.emplace_back();
            report.route = routes[index].Describe();
            const AttemptResult sent = SendOverRoute(routes[index], host, port, path, rangeHeaders, exchange, error);
            if (sent.done)
                break;
            if (index + 1 == routes.size() || !sent.routeFailed)
                return sent;
            tries.back().error = sent.lastError;
            tries.back().milliseconds = GetTickCount64() - start;
            tries.back().outcome = error;
        }
        const HINTERNET request = exchange.request.get();

        const DWORD status = StatusCode(request);
        tries.back().status = status;

        // A redirect without a readable Location falls through to the status check below.
        std::string location;
        if (IsRedirectStatus(status) && QueryHeader(request, WINHTTP_QUERY_LOCATION, location)) {
            if (request_number == kMaxRequests)
                return Failed(error, "Too many redirects", false);
            currentUrl = std::move(location);
            tries.back().outcome = "redirected";
            continue;
        }

        const bool continues =
            resuming && status == 206 &&
            ContentRangeContinues(HeaderOrEmpty(request, WINHTTP_QUERY_CONTENT_RANGE), partial.kept, partial.length);
        if (status == 200) {
            // The whole body again (a first attempt, a server that ignores Range, or a file that changed): start over.
            partial = PartialDownload{};
            partial.validator = ChooseResumeValidator(
                HeaderOrEmpty(request, WINHTTP_QUERY_ACCEPT_RANGES), HeaderOrEmpty(request, WINHTTP_QUERY_ETAG),
                HeaderOrEmpty(request, WINHTTP_QUERY_LAST_MODIFIED), HeaderOrEmpty(request, WINHTTP_QUERY_DATE));
        } else if (!continues) {
            error = "HTTP status not OK: " + std::to_string(status);
            AttemptResult result;
            result.status = status;
            result.retryAfter = HeaderOrEmpty(request, WINHTTP_QUERY_RETRY_AFTER);
            result.retryable = IsRetryableStatus(status);
            if (resuming && (status == 206 || status == 416)) {
                // Some other part, or none: what is kept cannot be trusted to belong to what the server has now.
                partial = PartialDownload{};
                result.retryable = true;
            }
            return result;
        }
        AttemptResult result;
        const std::uint64_t kept = partial.kept;
        result.done = SaveBody(request, file, partial, error, progress, result.lastError);
        result.status = status;
        result.retryable = !result.done && error == kIncomplete;
        tries.back().bytes = partial.kept - std::min(kept, partial.kept);
        return result;
    }
}

}  // namespace

bool DownloadFile(const std::string& url,
                  const std::string& savePath,
                  std::string& error,
                  ProgressCallback onProgress,
                  const DownloadOptions& options) {
    // The callable belongs to this call and is released when it returns, on every path.
    const ProgressCallback progress = std::move(onProgress);
    const std::wstring finalPath = WideFromUtf8(savePath);
    PartialFile file(finalPath + L".part");
    PartialDownload partial;
    std::map<std::string, std::vector<Route>> routes;
    std::string attemptError;

    for (int attempt = 1;; ++attempt) {
        std::vector<TryReport> tries;
        const ULONGLONG start = GetTickCount64();
        AttemptResult result = RunAttempt(url, options.proxy, routes, file, partial, attemptError, progress, tries);
        if (result.done && !file.Close()) {
            result = Failed(attemptError, "failed to write save file", false, GetLastError());
        } else if (result.done && !file.Rename(finalPath)) {
            // A virus scanner may remove a new program as soon as it is closed.
            const DWORD lastError = GetLastError();
            result = Failed(attemptError,
                            lastError == ERROR_FILE_NOT_FOUND ? "the saved file vanished (quarantined?)"
                                                              : "failed to rename save file",
                            false, lastError);
        }
        const bool again = !result.done && result.retryable && attempt < options.attempts;
        const std::uint32_t wait = again ? RetryDelaySeconds(attempt, result.status, result.retryAfter) : 0;
        if (options.onTry) {
            if (tries.empty())
                tries.push_back({});
            TryReport& last = tries.back();
            last.status = result.status ? result.status : last.status;
            last.error = result.lastError;
            last.milliseconds = GetTickCount64() - start;
            last.outcome = result.done ? "done" : attemptError;
            last.waitSeconds = wait;
            for (TryReport& report : tries) {
                report.attempt = attempt;
                options.onTry(report);
            }
        }
        if (result.done)
            return true;
        if (!again) {
            error = attemptError;
            return false;
        }
        // The window's close ends the process, this thread with it, also during the wait.
        Sleep(wait * 1000);
    }
}
