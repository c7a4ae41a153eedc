#include <algorithm>

#include "delivery/url_failover.h"

void htsUrlFailover::Reset(size_t count)
{
    urls.assign(std::clamp<size_t>(count, 1, most_urls), Url{});
}

size_t htsUrlFailover::Pick(Clock::time_point now) noexcept
{
    for (size_t i = 0; i < urls.size(); i++) {
        Url &url = urls[i];
        if (url.up) return i;
        if (now >= url.probe_at) {
            url.probed = now;
            url.probe_at = now + std::chrono::milliseconds(url.delay_ms);
            return i;
        }
    }
    return InUse();
}

size_t htsUrlFailover::InUse() const noexcept
{
    size_t soonest = 0;
    for (size_t i = 0; i < urls.size(); i++) {
        if (urls[i].up) return i;
        if (urls[i].probe_at < urls[soonest].probe_at) soonest = i;
    }
    return soonest;
}

bool htsUrlFailover::Answered(size_t index) noexcept
{
    if (index >= urls.size()) return false;
    Url &url = urls[index];
    const bool was_down = !url.up;
    url = Url{};
    return was_down;
}

bool htsUrlFailover::Failed(size_t index, Clock::time_point picked, Clock::time_point now, uint64_t backoff_ms,
    uint64_t backoff_max_ms) noexcept
{
    if (index >= urls.size()) return false;
    Url &url = urls[index];
    const bool was_up = url.up;
    // Posts that were in flight when it went down say nothing new; only a
    // failed probe lengthens the wait.
    if (!was_up && picked < url.probed) return false;
    url.up = false;
    url.failures = std::min<uint32_t>(url.failures + 1, 63);
    uint64_t delay = std::max<uint64_t>(backoff_ms, 1);
    for (uint32_t i = 1; i < url.failures && delay < backoff_max_ms; i++) delay *= 2;
    url.delay_ms = std::min(delay, std::max<uint64_t>(backoff_max_ms, 1));
    url.probed = now;
    url.probe_at = now + std::chrono::milliseconds(url.delay_ms);
    return was_up;
}

uint64_t htsUrlFailover::DownMask() const noexcept
{
    uint64_t mask = 0;
    for (size_t i = 0; i < urls.size(); i++)
        if (!urls[i].up) mask |= uint64_t{ 1 } << i;
    return mask;
}
