#ifndef HTS_RETRY_POLICY_H
#define HTS_RETRY_POLICY_H

#include <cstdint>
#include <ctime>
#include <optional>
#include <random>

#include "delivery/post_result.h"

// Whether a failed post may be tried again: only when the collector may not
// have taken the payload (no connection, no answer, an answer that says
// "later"). A success, a refusal of the request itself, a certificate that
// does not verify or a stop is never tried again.
bool htsRetryable(const htsPostOutcome &outcome) noexcept;

// The wait before try number `attempt` + 1 (the first retry follows attempt
// 1): `base_ms` doubled for each earlier retry, at most `max_ms`, drawn
// uniformly from [0, that] so that many senders cut off together do not come
// back together.
uint64_t htsBackoffDelay(uint64_t base_ms, uint64_t max_ms, uint32_t attempt, std::mt19937_64 &random);

// A Retry-After value in milliseconds from `now`: delay seconds, or an HTTP
// date (a date already past gives 0). Nothing for a value that is neither.
std::optional<uint64_t> htsParseRetryAfter(const char *value, std::time_t now);

#endif
