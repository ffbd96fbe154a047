#include "net/retry.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace {

constexpr std::uint32_t kMaxScheduledDelaySeconds = 8;
constexpr std::uint32_t kMaxRetryAfterSeconds = 30;
constexpr std::int64_t kStrongDateAgeSeconds = 60;

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

bool ParseHttpDate(const std::string& text, std::int64_t& seconds) {
    static constexpr std::string_view kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static constexpr std::string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const std::string_view t(text);
    // "Www, DD Mmm YYYY HH:MM:SS GMT"
    if (t.size() != 29 || t.substr(3, 2) != ", " || t[7] != ' ' || t[11] != ' ' || t[16] != ' ' || t[19] != ':' ||
        t[22] != ':' || t.substr(25) != " GMT" ||
        std::find(std::begin(kDays), std::end(kDays), t.substr(0, 3)) == std::end(kDays))
        return false;
    const size_t month = kMonths.find(t.substr(8, 3));
    std::uint64_t day = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (month == std::string_view::npos || month % 3 != 0 || !ParseDecimal(t.substr(5, 2), day) ||
        !ParseDecimal(t.substr(12, 4), year) || !ParseDecimal(t.substr(17, 2), hour) ||
        !ParseDecimal(t.substr(20, 2), minute) || !ParseDecimal(t.substr(23, 2), second) || day < 1 || day > 31 ||
        hour > 23 || minute > 59 || second > 60)
        return false;
    // Days from 1970-01-01 to the date, by the proleptic Gregorian calendar (H. Hinnant's days_from_civil).
    const std::int64_t m = static_cast<std::int64_t>(month / 3) + 1;
    const std::int64_t y = static_cast<std::int64_t>(year) - (m <= 2);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<std::int64_t>(day) - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = era * 146097 + dayOfEra - 719468;
    seconds = days * 86400 + static_cast<std::int64_t>(hour * 3600 + minute * 60 + second);
    return true;
}

std::string ChooseResumeValidator(const std::string& acceptRanges,
                                  const std::string& etag,
                                  const std::string& lastModified,
                                  const std::string& date) {
    if (acceptRanges != "bytes")
        return {};
    if (!etag.empty())
        return etag.rfind("W/", 0) == 0 ? std::string() : etag;
    std::int64_t modified = 0, now = 0;
    const bool strong =
        ParseHttpDate(lastModified, modified) && ParseHttpDate(date, now) && now - modified >= kStrongDateAgeSeconds;
    return strong ? lastModified : std::string();
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
