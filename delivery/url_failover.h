#ifndef HTS_URL_FAILOVER_H
#define HTS_URL_FAILOVER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

// Which of a channel's URLs (its "url", then its "fallback_urls" in order)
// takes the next post. Posts go to the first URL that is up. A failure that
// may clear by itself (see htsRetryable) marks its URL down; a down URL gets
// one post again, as a probe, once its back-off has passed (the channel's
// retry_backoff_ms, doubled for each failed probe up to
// retry_backoff_max_ms), and is up again once any post to it is answered.
// With every URL down, posts go to the one whose probe is due first.
//
// Pure bookkeeping on the caller's clock.
class htsUrlFailover
{
public:
    using Clock = std::chrono::steady_clock;

    // The most URLs a channel has, its own included.
    static constexpr size_t most_urls = 64;

    // Starts over with `count` URLs, every one up.
    void Reset(size_t count);
    size_t Count() const noexcept { return urls.size(); }

    // The URL for the next post. A down URL whose probe is due is picked
    // once, and its next probe set a back-off later in case this one never
    // comes back.
    size_t Pick(Clock::time_point now) noexcept;
    // The URL the next post would go to, without picking it (the status).
    size_t InUse() const noexcept;

    // A post to `index` was answered: up. True when it was down.
    bool Answered(size_t index) noexcept;
    // A post to `index`, picked at `picked`, failed for a reason that may
    // clear: down, probed again after the back-off. True when it was up.
    bool Failed(size_t index, Clock::time_point picked, Clock::time_point now, uint64_t backoff_ms,
        uint64_t backoff_max_ms) noexcept;

    bool IsUp(size_t index) const noexcept { return urls[index].up; }
    // One bit per down URL, the channel's own URL the lowest.
    uint64_t DownMask() const noexcept;

private:
    struct Url {
        bool up = true;
        uint32_t failures = 0; // failed probes since it went down, itself included
        uint64_t delay_ms = 0;
        Clock::time_point probe_at{};
        // When it went down or was last picked as a probe.
        Clock::time_point probed{};
    };
    std::vector<Url> urls;
};

#endif
