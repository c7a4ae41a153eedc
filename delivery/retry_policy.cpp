#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "delivery/retry_policy.h"

bool htsRetryable(const htsPostOutcome &outcome) noexcept
{
    switch (outcome.code) {
    case CURLE_OK:
        if (outcome.succeeded) return false;
        switch (outcome.status) {
        case 408: case 429: case 500: case 502: case 503: case 504: return true;
        default: return false;
        }
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return true;
    default:
        return false;
    }
}

uint64_t htsBackoffDelay(uint64_t base_ms, uint64_t max_ms, uint32_t attempt, std::mt19937_64 &random)
{
    uint64_t ceiling = std::max<uint64_t>(base_ms, 1);
    for (uint32_t i = 1; i < attempt && ceiling < max_ms; i++) ceiling *= 2;
    ceiling = std::min(ceiling, max_ms);
    return std::uniform_int_distribution<uint64_t>(0, ceiling)(random);
}

std::optional<uint64_t> htsParseRetryAfter(const char *value, std::time_t now)
{
    if (value == nullptr) return std::nullopt;
    while (*value == ' ' || *value == '\t') value++;
    if (std::isdigit(static_cast<unsigned char>(*value))) {
        uint64_t seconds = 0;
        const char *p = value;
        for (; std::isdigit(static_cast<unsigned char>(*p)); p++) {
            // Anything beyond a day is clamped by the caller anyway.
            seconds = std::min<uint64_t>(seconds * 10 + static_cast<uint64_t>(*p - '0'), 1u << 30);
        }
        while (*p == ' ' || *p == '\t') p++;
        if (*p != '\0') return std::nullopt;
        return seconds * 1000;
    }
    // libcurl's own date parser reads the three forms HTTP allows.
    const std::time_t when = curl_getdate(value, nullptr);
    if (when < 0) return std::nullopt;
    return (when > now) ? static_cast<uint64_t>(when - now) * 1000 : 0;
}
