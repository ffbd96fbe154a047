#include "net/download.h"

#include <windows.h>

#include <winhttp.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/unique_handle.h"
#include "net/pe_image.h"
#include "net/url.h"

namespace {

constexpr wchar_t kUserAgent[] = L"VelmorInstaller/1.0";
constexpr DWORD kTimeoutMs = 30000;
constexpr DWORD kReadBufferSize = 8192;
constexpr int kMaxRequests = 3;

using UniqueInternet = UniqueHandle<HINTERNET, NullEmptyTraits<HINTERNET, WinHttpCloseHandle>>;

bool IsRedirectStatus(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Reads the Location header as UTF-8. Fails when the header is absent or longer than 2047 UTF-16 units.
bool QueryLocation(HINTERNET request, std::string& location) {
    std::array<wchar_t, 2048> buffer{};
    DWORD size = sizeof(buffer);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    const int needed = WideCharToMultiByte(CP_UTF8, 0, buffer.data(), -1, nullptr, 0, nullptr, nullptr);
    location.clear();
    if (needed > 1) {
        location.resize(needed);
        WideCharToMultiByte(CP_UTF8, 0, buffer.data(), -1, location.data(), needed, nullptr, nullptr);
        location.resize(needed - 1);
    }
    return true;
}

// Deletes the temporary file when the transfer into it does not complete, also when an exception passes through.
// Declare it before the stream that writes the file: Windows deletes no file that is still open.
class PartialFileRemover {
public:
    explicit PartialFileRemover(const std::string& path) : path_(path) {}
    ~PartialFileRemover() {
        if (armed_)
            std::remove(path_.c_str());
    }
    void Keep() { armed_ = false; }

private:
    const std::string& path_;
    bool armed_ = true;
};

// Streams the body of a status-200 response into savePath + ".part", which takes the name savePath only once the
// whole body is in it, so that no one can ever find a truncated program under savePath.
bool SaveBody(HINTERNET request,
              const std::string& savePath,
              std::string& error,
              const ProgressCallback& onProgress,
              Sha256Digest* bodyDigest) {
    DWORD total = 0;
    DWORD size = sizeof(total);
    const bool lengthKnown =
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &total, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
    if (!lengthKnown)
        total = 0;

    const std::string partPath = savePath + ".part";
    PartialFileRemover remover(partPath);
    std::ofstream file(partPath, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!file) {
        error = "failed to create save file";
        return false;
    }

    Sha256 hash;
    std::array<char, kReadBufferSize> buffer;
    std::uint64_t received = 0;
    bool readFailed = false;
    for (;;) {
        DWORD count = 0;
        if (!WinHttpReadData(request, buffer.data(), kReadBufferSize, &count)) {
            readFailed = true;
            break;
        }
        if (count == 0)
            break;
        if (!file.write(buffer.data(), count)) {
            error = "failed to write save file";
            return false;
        }
        hash.Update(buffer.data(), count);
        received += count;
        if (onProgress)
            onProgress(received, total);
    }

    file.close();
    if (readFailed || (lengthKnown && received != total)) {
        error = "download incomplete";
        return false;
    }
    if (file.fail()) {
        error = "failed to write save file";
        return false;
    }
    // A chunked body cut off between two chunks ends like a whole one: without an announced length only the
    // program's own headers can tell.
    if (!lengthKnown && !IsWholeWindowsProgram(std::filesystem::path(partPath))) {
        error = "download incomplete";
        return false;
    }
    Sha256Digest digest{};
    if (!hash.Finish(digest)) {
        error = "failed to hash download";
        return false;
    }
    if (!MoveFileExA(partPath.c_str(), savePath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = "failed to rename save file";
        return false;
    }
    remover.Keep();
    if (bodyDigest)
        *bodyDigest = digest;
    return true;
}

// Windows 7 offers only SSL 3 and TLS 1.0 unless told otherwise. A system that does not know TLS 1.3 refuses the
// whole value, so TLS 1.2 alone is tried next; one that refuses that too keeps its own default.
void OfferModernTls(HINTERNET session) {
    const DWORD choices[] = {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3,
                             WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2};
    for (DWORD protocols : choices) {
        if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols)))
            return;
    }
}

}  // namespace

bool DownloadFile(const std::string& url,
                  const std::string& savePath,
                  std::string& error,
                  ProgressCallback onProgress,
                  Sha256Digest* bodyDigest) {
    // The callable belongs to this call and is released when it returns, on every path.
    const ProgressCallback progress = std::move(onProgress);
    std::string currentUrl = url;

    for (int request_number = 1;; ++request_number) {
        std::wstring host;
        std::wstring path;
        int port = 0;
        if (!ParseHttpsUrl(currentUrl, host, port, path)) {
            error = "URL parse failed";
            return false;
        }

        // Declared session, connection, request: they close in the reverse order, innermost first.
        UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) {
            error = "WinHttpOpen failed";
            return false;
        }
        WinHttpSetTimeouts(session.get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
        OfferModernTls(session.get());

        UniqueInternet connection(WinHttpConnect(session.get(), host.c_str(), static_cast<INTERNET_PORT>(port), 0));
        if (!connection) {
            error = "WinHttpConnect failed";
            return false;
        }
        UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                  WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
        if (!request) {
            error = "WinHttpOpenRequest failed";
            return false;
        }
        if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
            error = "WinHttpSendRequest failed";
            return false;
        }
        if (!WinHttpReceiveResponse(request.get(), nullptr)) {
            error = "WinHttpReceiveResponse failed";
            return false;
        }

        DWORD status = 0;
        DWORD size = sizeof(status);
        WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);

        // A redirect without a readable Location falls through to the status check below.
        std::string location;
        if (IsRedirectStatus(status) && QueryLocation(request.get(), location)) {
            if (request_number == kMaxRequests) {
                error = "Too many redirects";
                return false;
            }
            currentUrl = std::move(location);
            continue;
        }

        if (status != 200) {
            error = "HTTP status not OK: " + std::to_string(status);
            return false;
        }
        return SaveBody(request.get(), savePath, error, progress, bodyDigest);
    }
}
