#include "net/download.h"

#include <windows.h>

#include <winhttp.h>

#include <array>

#include "base/ascii.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "net/pe_image.h"
#include "net/retry.h"
#include "net/url.h"

namespace {

constexpr wchar_t kUserAgent[] = L"VelmorInstaller/1.0";
constexpr DWORD kTimeoutMs = 30000;
constexpr DWORD kReadBufferSize = 8192;
constexpr int kMaxRequests = 3;
// The one failure to save the body that another attempt can mend: the connection broke before the body was whole.
constexpr char kIncomplete[] = "download incomplete";

using UniqueInternet = UniqueHandle<HINTERNET, NullEmptyTraits<HINTERNET, WinHttpCloseHandle>>;

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
    const int needed = WideCharToMultiByte(CP_UTF8, 0, buffer.data(), -1, nullptr, 0, nullptr, nullptr);
    value.clear();
    if (needed > 1) {
        value.resize(needed);
        WideCharToMultiByte(CP_UTF8, 0, buffer.data(), -1, value.data(), needed, nullptr, nullptr);
        value.resize(needed - 1);
    }
    return true;
}

// The header's value, or empty when it is absent.
std::string HeaderOrEmpty(HINTERNET request, DWORD infoLevel) {
    std::string value;
    return QueryHeader(request, infoLevel, value) ? value : std::string();
}

// The temporary file that the body goes into. This download creates it new and writes it only through the one handle
// it keeps from its first attempt to its last, so no link at its name, hard or symbolic, is ever written through.
// Unless it is given its final name it is deleted, also when an exception passes.
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
            file_.reset(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            created_ = static_cast<bool>(file_);
            BY_HANDLE_FILE_INFORMATION info{};
            if (!file_ || !GetFileInformationByHandle(file_.get(), &info) || info.nNumberOfLinks != 1)
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

    // Gives the closed file the final name, replacing a file of that name. When that fails the file is deleted.
    bool Rename(const std::wstring& finalPath) {
        if (MoveFileExW(path_.c_str(), finalPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            created_ = false;
            return true;
        }
        Discard();
        return false;
    }

    // Deletes the file that this download created: through its handle while it is open, by its name once closed.
    void Discard() {
        if (file_) {
            FILE_DISPOSITION_INFO dispose{TRUE};
            SetFileInformationByHandle(file_.get(), FileDispositionInfo, &dispose, sizeof(dispose));
            file_.reset();
        } else if (created_) {
            DeleteFileW(path_.c_str());
        }
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
    DWORD status = 0;
    std::string retryAfter;
};

AttemptResult Failed(std::string& error, const char* text, bool retryable) {
    error = text;
    AttemptResult result;
    result.retryable = retryable;
    return result;
}

// For a failed connect, send or receive; reads the thread's last error, so it must come right after the call.
AttemptResult NetworkFailed(std::string& error, const char* text) {
    return Failed(error, text, IsRetryableNetworkError(GetLastError()));
}

// Streams the body of a status-200 response into the file, or, when partial.kept is not 0, appends the body of a 206
// response that continues it. Progress reports count the kept bytes too, so the bar goes on from where it was.
// partial.kept follows the bytes in the file, also on failure.
bool SaveBody(HINTERNET request,
              PartialFile& file,
              PartialDownload& partial,
              std::string& error,
              const ProgressCallback& onProgress) {
    DWORD total = 0;
    DWORD size = sizeof(total);
    const bool lengthKnown =
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &total, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
    if (!lengthKnown)
        total = 0;

    const std::uint64_t offset = partial.kept;
    if (offset == 0)
        partial.length = total;
    const std::uint64_t reportedTotal = lengthKnown ? offset + total : 0;

    if (!(offset == 0 ? file.StartOver() : file.Continue())) {
        error = "failed to create save file";
        return false;
    }

    std::array<char, kReadBufferSize> buffer;
    std::uint64_t received = 0;
    for (;;) {
        DWORD count = 0;
        // A body ends whole when it is as long as its response said, and the file as long as the first response
        // said: a 206 may carry less than the range it announced.
        if (!WinHttpReadData(request, buffer.data(), kReadBufferSize, &count) ||
            (count == 0 &&
             ((lengthKnown && received != total) || (partial.length != 0 && offset + received != partial.length)))) {
            error = kIncomplete;
            return false;
        }
        if (count == 0) {
            // A chunked body cut off between two chunks ends like a whole one: without an announced length only the
            // program's own headers can tell.
            if (!lengthKnown && !file.HoldsWholeProgram()) {
                error = kIncomplete;
                return false;
            }
            return true;
        }
        if (!file.Write(buffer.data(), count)) {
            error = "failed to write save file";
            return false;
        }
        received += count;
        partial.kept = offset + received;
        if (onProgress)
            onProgress(offset + received, reportedTotal);
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

// One attempt: the request loop from url through its redirects to a response whose body is saved. When partial
// can be continued, the request asks only for the rest of it.
AttemptResult RunAttempt(const std::string& url,
                         PartialFile& file,
                         PartialDownload& partial,
                         std::string& error,
                         const ProgressCallback& progress) {
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

        // Declared session, connection, request: they close in the reverse order, innermost first.
        UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session)
            return Failed(error, "WinHttpOpen failed", false);
        WinHttpSetTimeouts(session.get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
        OfferModernTls(session.get());

        UniqueInternet connection(WinHttpConnect(session.get(), host.c_str(), static_cast<INTERNET_PORT>(port), 0));
        if (!connection)
            return NetworkFailed(error, "WinHttpConnect failed");
        UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                  WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
        if (!request)
            return Failed(error, "WinHttpOpenRequest failed", false);
        const bool sent =
            WinHttpSendRequest(request.get(), resuming ? rangeHeaders.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
                               static_cast<DWORD>(rangeHeaders.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
        if (!sent)
            return NetworkFailed(error, "WinHttpSendRequest failed");
        if (!WinHttpReceiveResponse(request.get(), nullptr))
            return NetworkFailed(error, "WinHttpReceiveResponse failed");

        DWORD status = 0;
        DWORD size = sizeof(status);
        WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);

        // A redirect without a readable Location falls through to the status check below.
        std::string location;
        if (IsRedirectStatus(status) && QueryHeader(request.get(), WINHTTP_QUERY_LOCATION, location)) {
            if (request_number == kMaxRequests)
                return Failed(error, "Too many redirects", false);
            currentUrl = std::move(location);
            continue;
        }

        const bool continues = resuming && status == 206 &&
                               ContentRangeContinues(HeaderOrEmpty(request.get(), WINHTTP_QUERY_CONTENT_RANGE),
                                                     partial.kept, partial.length);
        if (status == 200) {
            // The whole body again (a first attempt, a server that ignores Range, or a file that changed): start over.
            partial = PartialDownload{};
            partial.validator = ChooseResumeValidator(HeaderOrEmpty(request.get(), WINHTTP_QUERY_ACCEPT_RANGES),
                                                      HeaderOrEmpty(request.get(), WINHTTP_QUERY_ETAG),
                                                      HeaderOrEmpty(request.get(), WINHTTP_QUERY_LAST_MODIFIED),
                                                      HeaderOrEmpty(request.get(), WINHTTP_QUERY_DATE));
        } else if (!continues) {
            error = "HTTP status not OK: " + std::to_string(status);
            AttemptResult result;
            result.status = status;
            result.retryAfter = HeaderOrEmpty(request.get(), WINHTTP_QUERY_RETRY_AFTER);
            result.retryable = IsRetryableStatus(status);
            if (resuming && (status == 206 || status == 416)) {
                // Some other part, or none: what is kept cannot be trusted to belong to what the server has now.
                partial = PartialDownload{};
                result.retryable = true;
            }
            return result;
        }
        AttemptResult result;
        result.done = SaveBody(request.get(), file, partial, error, progress);
        result.retryable = !result.done && error == kIncomplete;
        return result;
    }
}

}  // namespace

bool DownloadFile(const std::string& url,
                  const std::string& savePath,
                  std::string& error,
                  ProgressCallback onProgress,
                  int attempts) {
    // The callable belongs to this call and is released when it returns, on every path.
    const ProgressCallback progress = std::move(onProgress);
    const std::wstring finalPath = WideFromUtf8(savePath);
    const std::wstring partPath = finalPath + L".part";
    PartialFile file(partPath);
    PartialDownload partial;
    std::string attemptError;

    for (int attempt = 1;; ++attempt) {
        const AttemptResult result = RunAttempt(url, file, partial, attemptError, progress);
        if (result.done) {
            if (!file.Close()) {
                error = "failed to write save file";
                return false;
            }
            if (!file.Rename(finalPath)) {
                error = "failed to rename save file";
                return false;
            }
            return true;
        }
        if (!result.retryable || attempt >= attempts) {
            error = attemptError;
            return false;
        }
        // The window's close ends the process, this thread with it, also during the wait.
        Sleep(RetryDelaySeconds(attempt, result.status, result.retryAfter) * 1000);
    }
}
