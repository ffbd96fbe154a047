#include "net/retry.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace {

constexpr std::uint32_t kMaxScheduledDelaySeconds = 8;
constexpr std::uint32_t kMaxRetryAfterSeconds = 30;

// WinHTTP's certificate and secure-channel errors (ERROR_WINHTTP_SECURE_* and the client-certificate ones).
constexpr std::uint32_t kSecureChannelErrors[] = {12037, 12038, 12044, 12045, 12057, 12157,
                                                  12169, 12170, 12175, 12179, 12185, 12186};

// A whole decimal number and nothing else; false on overflow.
bool ParseDecimal(std::string_view text, std::uint64_t& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool IsRetryableStatus(std::uint32_t status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

bool IsRetryableNetworkError(std::uint32_t error) {
    return std::find(std::begin(kSecureChannelErrors), std::end(kSecureChannelErrors), error) ==
           std::end(kSecureChannelErrors);
}

std::uint32_t RetryDelaySeconds(int failedAttempts, std::uint32_t status, const std::string& retryAfter) {
    const int doublings = std::clamp(failedAttempts - 1, 0, 3);
    std::uint32_t delay = std::min(std::uint32_t{1} << doublings, kMaxScheduledDelaySeconds);
    const bool inSeconds = !retryAfter.empty() && retryAfter.find_first_not_of("0123456789") == std::string::npos;
    if ((status == 429 || status == 503) && inSeconds) {
        std::uint64_t asked = 0;
        if (!ParseDecimal(retryAfter, asked))
            asked = kMaxRetryAfterSeconds;  // more digits than a number holds
        delay = std::max(delay, static_cast<std::uint32_t>(std::min<std::uint64_t>(asked, kMaxRetryAfterSeconds)));
    }
    return delay;
}

std::string ChooseResumeValidator(const std::string& acceptRanges,
                                  const std::string& etag,
                                  const std::string& lastModified) {
    if (acceptRanges != "bytes")
        return {};
    if (!etag.empty())
        return etag.rfind("W/", 0) == 0 ? std::string() : etag;
    return lastModified;
}

bool ContentRangeContinues(const std::string& contentRange, std::uint64_t kept, std::uint64_t length) {
    constexpr std::string_view kUnit = "bytes ";
    const std::string_view text(contentRange);
    const size_t dash = text.find('-');
    const size_t slash = text.find('/');
    if (text.rfind(kUnit, 0) != 0 || dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return false;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
    return ParseDecimal(text.substr(kUnit.size(), dash - kUnit.size()), first) &&
           ParseDecimal(text.substr(dash + 1, slash - dash - 1), last) && ParseDecimal(text.substr(slash + 1), total) &&
           kept > 0 && kept < length && first == kept && total == length && last + 1 == length;
}
