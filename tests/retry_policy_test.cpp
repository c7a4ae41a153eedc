// The pure decisions behind parallel delivery's retries: which outcomes are
// tried again, how long the back-off may wait, and what a Retry-After answer
// asks for. No servers here; the engine's use of them is in
// parallel_retry_test.cpp.
#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "delivery/retry_policy.h"

namespace {

// ---- back-off -------------------------------------------------------------

struct BackoffCase {
    const char *name;
    uint64_t base_ms;
    uint64_t max_ms;
    uint32_t attempt;
    uint64_t ceiling; // the largest wait this try may draw
};

void PrintTo(const BackoffCase &c, std::ostream *os) { *os << c.name; }

class Backoff : public testing::TestWithParam<BackoffCase> { };

// Many draws from a seeded generator cover the whole of [0, ceiling] and
// nothing beyond it: the ceiling doubles per earlier retry up to the
// maximum, a zero base still allows a wait, and only a zero maximum always
// gives 0.
TEST_P(Backoff, DrawsCoverZeroToTheCeiling)
{
    const BackoffCase &c = GetParam();
    std::mt19937_64 random(20261211);
    constexpr int draws = 4000;
    uint64_t low = UINT64_MAX, high = 0;
    double sum = 0;
    for (int i = 0; i < draws; i++) {
        const uint64_t d = htsBackoffDelay(c.base_ms, c.max_ms, c.attempt, random);
        low = std::min(low, d);
        high = std::max(high, d);
        sum += static_cast<double>(d);
    }
    EXPECT_LE(high, c.ceiling);
    // The draws reach close to the ceiling and close to 0 (both ends for a
    // ceiling of 1) ...
    EXPECT_GE(high, c.ceiling - c.ceiling / 20);
    EXPECT_LE(low, c.ceiling / 20);
    // ... and spread evenly between them.
    const double ceiling = static_cast<double>(c.ceiling);
    EXPECT_NEAR(sum / draws, ceiling / 2, ceiling * 0.05 + 0.1);
}

INSTANTIATE_TEST_SUITE_P(Rows, Backoff,
    testing::Values(BackoffCase{ "first_retry_is_base", 500, 30000, 1, 500 },
        BackoffCase{ "attempt_zero_is_base", 500, 30000, 0, 500 },
        BackoffCase{ "second_doubles", 500, 30000, 2, 1000 },
        BackoffCase{ "third_doubles_again", 500, 30000, 3, 2000 },
        BackoffCase{ "sixth", 500, 30000, 6, 16000 },
        BackoffCase{ "seventh_capped", 500, 30000, 7, 30000 },
        BackoffCase{ "far_attempt_capped", 500, 30000, 4000000000u, 30000 },
        BackoffCase{ "cap_below_base", 500, 200, 1, 200 },
        BackoffCase{ "cap_not_a_power_of_two", 3, 10, 3, 10 },
        // The largest the configuration allows: a day.
        BackoffCase{ "day_long_base_and_cap", 86400000, 86400000, 4000000000u, 86400000 },
        BackoffCase{ "doubling_up_to_a_day", 1, 86400000, 64, 86400000 },
        BackoffCase{ "zero_base_still_waits", 0, 100, 1, 1 },
        BackoffCase{ "zero_base_doubles", 0, 100, 4, 8 },
        BackoffCase{ "one_ms", 1, 1, 9, 1 },
        BackoffCase{ "zero_max_asks_for_none", 500, 0, 3, 0 }),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Retry-After ----------------------------------------------------------

// 2023-11-14 22:13:20 UTC.
constexpr std::time_t now = 1700000000;

struct RetryAfterCase {
    const char *name;
    const char *value;
    std::optional<uint64_t> ms;
};

void PrintTo(const RetryAfterCase &c, std::ostream *os) { *os << c.name; }

class RetryAfterValue : public testing::TestWithParam<RetryAfterCase> { };

TEST_P(RetryAfterValue, Parsed)
{
    const RetryAfterCase &c = GetParam();
    EXPECT_EQ(htsParseRetryAfter(c.value, now), c.ms);
}

INSTANTIATE_TEST_SUITE_P(Rows, RetryAfterValue,
    testing::Values(RetryAfterCase{ "zero_seconds", "0", 0 },
        RetryAfterCase{ "seconds", "120", 120000 },
        RetryAfterCase{ "seconds_spaced", " \t7 ", 7000 },
        RetryAfterCase{ "leading_zeros", "0030", 30000 },
        RetryAfterCase{ "date_future", "Tue, 14 Nov 2023 22:13:50 GMT", 30000 },
        RetryAfterCase{ "date_future_next_day", "Wed, 15 Nov 2023 22:13:20 GMT", 86400000 },
        RetryAfterCase{ "date_future_asctime", "Tue Nov 14 22:15:20 2023", 120000 },
        RetryAfterCase{ "date_now", "Tue, 14 Nov 2023 22:13:20 GMT", 0 },
        RetryAfterCase{ "date_one_second_past", "Tue, 14 Nov 2023 22:13:19 GMT", 0 },
        RetryAfterCase{ "date_long_past", "Thu, 01 Jan 2015 00:00:00 GMT", 0 },
        RetryAfterCase{ "null", nullptr, std::nullopt },
        RetryAfterCase{ "empty", "", std::nullopt },
        RetryAfterCase{ "blank", "   ", std::nullopt },
        RetryAfterCase{ "word", "soon", std::nullopt },
        RetryAfterCase{ "digits_then_text", "12abc", std::nullopt },
        RetryAfterCase{ "fraction", "1.5", std::nullopt },
        RetryAfterCase{ "two_numbers", "1 2", std::nullopt }),
    [](const auto &info) { return std::string(info.param.name); });

// A delay too long for any integer still asks for a long wait (the caller
// clamps it to the channel's maximum); it must not wrap round to a short one.
TEST(RetryAfterOverflow, HugeDelayStaysLong)
{
    for (const char *value : { "4294967296", "18446744073709551616", "99999999999999999999999999999999999999" }) {
        const auto ms = htsParseRetryAfter(value, now);
        ASSERT_TRUE(ms.has_value()) << value;
        EXPECT_GE(*ms, uint64_t{ 86400 } * 1000) << value;
    }
}

// ---- which outcomes are tried again ----------------------------------------

struct OutcomeCase {
    const char *name;
    CURLcode code;
    long status;
    bool succeeded;
    bool retried;
};

void PrintTo(const OutcomeCase &c, std::ostream *os) { *os << c.name; }

class Retryable : public testing::TestWithParam<OutcomeCase> { };

TEST_P(Retryable, Decided)
{
    const OutcomeCase &c = GetParam();
    htsPostOutcome outcome;
    outcome.code = c.code;
    outcome.status = c.status;
    outcome.succeeded = c.succeeded;
    EXPECT_EQ(htsRetryable(outcome), c.retried);
}

INSTANTIATE_TEST_SUITE_P(Tried, Retryable,
    testing::Values(OutcomeCase{ "refused", CURLE_COULDNT_CONNECT, 0, false, true },
        OutcomeCase{ "unresolved", CURLE_COULDNT_RESOLVE_HOST, 0, false, true },
        OutcomeCase{ "proxy_unresolved", CURLE_COULDNT_RESOLVE_PROXY, 0, false, true },
        OutcomeCase{ "timed_out", CURLE_OPERATION_TIMEDOUT, 0, false, true },
        OutcomeCase{ "reset", CURLE_RECV_ERROR, 0, false, true },
        OutcomeCase{ "send_error", CURLE_SEND_ERROR, 0, false, true },
        OutcomeCase{ "empty_answer", CURLE_GOT_NOTHING, 0, false, true },
        OutcomeCase{ "cut_short", CURLE_PARTIAL_FILE, 0, false, true },
        OutcomeCase{ "http_408", CURLE_OK, 408, false, true },
        OutcomeCase{ "http_429", CURLE_OK, 429, false, true },
        OutcomeCase{ "http_500", CURLE_OK, 500, false, true },
        OutcomeCase{ "http_502", CURLE_OK, 502, false, true },
        OutcomeCase{ "http_503", CURLE_OK, 503, false, true },
        OutcomeCase{ "http_504", CURLE_OK, 504, false, true }),
    [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(NotTried, Retryable,
    testing::Values(OutcomeCase{ "http_200", CURLE_OK, 200, true, false },
        OutcomeCase{ "http_201_not_a_success_code", CURLE_OK, 201, false, false },
        // A status the channel counts as success is never retried, even
        // one that would be otherwise.
        OutcomeCase{ "http_503_as_success", CURLE_OK, 503, true, false },
        OutcomeCase{ "http_400", CURLE_OK, 400, false, false },
        OutcomeCase{ "http_401", CURLE_OK, 401, false, false },
        OutcomeCase{ "http_403", CURLE_OK, 403, false, false },
        OutcomeCase{ "http_404", CURLE_OK, 404, false, false },
        OutcomeCase{ "http_413", CURLE_OK, 413, false, false },
        OutcomeCase{ "http_501", CURLE_OK, 501, false, false },
        OutcomeCase{ "http_505", CURLE_OK, 505, false, false },
        OutcomeCase{ "certificate", CURLE_PEER_FAILED_VERIFICATION, 0, false, false },
        OutcomeCase{ "aborted_by_callback", CURLE_ABORTED_BY_CALLBACK, 0, false, false },
        OutcomeCase{ "redirect_limit", CURLE_TOO_MANY_REDIRECTS, 0, false, false },
        OutcomeCase{ "scheme_refused", CURLE_UNSUPPORTED_PROTOCOL, 0, false, false },
        OutcomeCase{ "bad_url", CURLE_URL_MALFORMAT, 0, false, false }),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
