#include "net/retry.h"

#include <gtest/gtest.h>

namespace {

TEST(Retry, OnlyPassingTroubleIsRetried) {
    for (std::uint32_t status : {408u, 429u, 500u, 502u, 503u, 504u})
        EXPECT_TRUE(IsRetryableStatus(status)) << status;
    for (std::uint32_t status : {0u, 200u, 206u, 400u, 401u, 403u, 404u, 410u, 416u, 501u, 505u, 511u})
        EXPECT_FALSE(IsRetryableStatus(status)) << status;

    // Cannot connect, connection reset or aborted, timeout, closed without a response.
    for (std::uint32_t error : {12029u, 12030u, 12031u, 12002u, 12152u, 12007u})
        EXPECT_TRUE(IsRetryableNetworkError(error)) << error;
    // Untrusted or invalid certificate, wrong name, expired, revoked, no secure channel.
    for (std::uint32_t error : {12175u, 12157u, 12038u, 12045u, 12169u, 12037u, 12170u, 12057u, 12179u, 12044u})
        EXPECT_FALSE(IsRetryableNetworkError(error)) << error;
}

TEST(Retry, WaitsDoubleUpToEightSecondsAndHonourRetryAfterUpToThirty) {
    struct Case {
        int failed;
        std::uint32_t status;
        const char* retryAfter;
        std::uint32_t seconds;
    };
    const Case cases[] = {
        {1, 0, "", 1},
        {2, 500, "", 2},
        {3, 502, "", 4},
        {4, 504, "", 8},
        {9, 0, "", 8},
        {1, 503, "5", 5},
        {1, 429, "30", 30},
        {1, 503, "31", 30},
        {2, 503, "1", 2},
        {1, 503, "0", 1},
        {1, 503, "99999999999999999999", 30},
        {1, 500, "20", 1},  // only 429 and 503 are asked to wait
        {1, 503, "-3", 1},
        {1, 503, " 5", 1},
        {1, 503, "5s", 1},
        {1, 503, "Wed, 21 Oct 2026 07:28:00 GMT", 1},  // a date is not in seconds
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.failed << " " << c.status << " '" << c.retryAfter << "'");
        EXPECT_EQ(RetryDelaySeconds(c.failed, c.status, c.retryAfter), c.seconds);
    }
}

TEST(Retry, ResumesOnlyWithRangesAndAStrongValidator) {
    const char* const date = "Wed, 21 Oct 2026 07:28:00 GMT";
    EXPECT_EQ(ChooseResumeValidator("bytes", "\"v1\"", date), "\"v1\"");
    EXPECT_EQ(ChooseResumeValidator("bytes", "", date), date);
    EXPECT_EQ(ChooseResumeValidator("bytes", "W/\"v1\"", date), "");  // a weak tag is no basis for If-Range
    EXPECT_EQ(ChooseResumeValidator("bytes", "", ""), "");
    EXPECT_EQ(ChooseResumeValidator("none", "\"v1\"", date), "");
    EXPECT_EQ(ChooseResumeValidator("", "\"v1\"", date), "");

    struct Case {
        const char* contentRange;
        bool continues;
    };
    const Case cases[] = {
        // 30000 bytes kept of 100000
        {"bytes 30000-99999/100000", true},
        {"bytes 0-99999/100000", false},
        {"bytes 30001-99999/100000", false},
        {"bytes 30000-99998/100000", false},
        {"bytes 30000-99999/100001", false},
        {"bytes 30000-99999/*", false},
        {"bytes */100000", false},
        {"items 30000-99999/100000", false},
        {"bytes 30000-99999", false},
        {"bytes 30000-99999/100000 ", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ContentRangeContinues(c.contentRange, 30000, 100000), c.continues) << c.contentRange;
    EXPECT_FALSE(ContentRangeContinues("bytes 0-99/100", 0, 100));  // nothing kept: nothing to continue
}

}  // namespace
