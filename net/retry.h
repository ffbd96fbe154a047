#pragma once

#include <cstdint>
#include <string>

// The rules by which a download that may make several attempts decides whether to try again, how long to wait
// first, and whether the next attempt can continue the bytes already saved.

// True for the statuses that a busy or briefly broken server answers: 408, 429, 500, 502, 503 and 504.
bool IsRetryableStatus(std::uint32_t status);

// True when a WinHTTP failure to connect, send, receive or read is worth another attempt: every error but those
// that concern the certificate or the secure channel, which another attempt would only meet again.
bool IsRetryableNetworkError(std::uint32_t error);

// Seconds to wait before attempt number failedAttempts + 1: 1, 2, 4, then 8 for every later one. A Retry-After
// given in whole seconds with a 429 or 503 response lengthens the wait to that value, but to no more than 30.
std::uint32_t RetryDelaySeconds(int failedAttempts, std::uint32_t status, const std::string& retryAfter);

// The If-Range value that lets a later attempt continue a 200 response, from its Accept-Ranges, ETag, Last-Modified
// and Date values (empty when absent): the ETag when it is strong; with no ETag, Last-Modified when it is strong too,
// that is at least 60 seconds older than Date (two bodies written within one second have the same Last-Modified).
// Empty when the response cannot be continued: no "Accept-Ranges: bytes", a weak ETag, a weak date or none.
std::string ChooseResumeValidator(const std::string& acceptRanges,
                                  const std::string& etag,
                                  const std::string& lastModified,
                                  const std::string& date);

// Seconds since 1970 of an HTTP date in its preferred form, "Sun, 06 Nov 1994 08:49:37 GMT"; false for anything
// else (the two obsolete forms included).
bool ParseHttpDate(const std::string& text, std::int64_t& seconds);

// True when a 206 response's Content-Range is exactly "bytes kept-(length-1)/length": the rest of the body whose
// first kept bytes are saved, of the same length as the response they came from.
bool ContentRangeContinues(const std::string& contentRange, std::uint64_t kept, std::uint64_t length);
