// The parallel engine's adaptive in-flight limit: each channel with
// "max_in_flight": "auto" tells its htsAdaptiveLimit when a post starts and
// how it ended, and shows what it found in the channel's stats.
#include <utility>

#include "config/log_text.h"
#include "delivery/parallel_delivery.h"
#include "delivery/retry_policy.h"
#include "vxlog.h"

#include "delivery/parallel_channel.h"

namespace {

htsAdaptiveLimit::Outcome LimitOutcome(const htsPostOutcome &outcome) noexcept
{
    if (htsRetryable(outcome)) return htsAdaptiveLimit::Outcome::BackPressure;
    // Any other answer took the collector its usual time, refusal or not.
    if (outcome.code == CURLE_OK) return htsAdaptiveLimit::Outcome::Answered;
    return htsAdaptiveLimit::Outcome::Other;
}

} // namespace

void htsParallelDelivery::ConfigureAdaptiveLimit(Channel &channel)
{
    const htsChannelConfig &record = *channel.record;
    if (!record.max_in_flight_auto) {
        channel.adaptive.reset();
        if (channel.stats) channel.stats->SetAdaptiveLimit(0, -1.0);
        return;
    }
    // A channel that stays keeps what it learnt; a new ceiling bounds it.
    if (channel.adaptive)
        channel.adaptive->SetCeiling(record.max_in_flight);
    else
        channel.adaptive.emplace(record.max_in_flight);
    if (channel.stats) channel.stats->SetAdaptiveLimit(channel.adaptive->Current(), channel.adaptive->BaselineMs());
}

void htsParallelDelivery::AdaptLimitOnStart(Channel &channel, Transfer &transfer)
{
    // Cleared for a fixed limit too, so that a post started before a reload
    // made the limit adaptive is not counted from a stale start.
    transfer.ticket = channel.adaptive ? channel.adaptive->Started(channel.in_flight, htsAdaptiveLimit::Clock::now())
                                       : htsAdaptiveLimit::Ticket{};
}

void htsParallelDelivery::AdaptLimitOnEnd(Channel &channel, Transfer &transfer, const htsPostOutcome &outcome)
{
    const htsAdaptiveLimit::Ticket ticket = std::exchange(transfer.ticket, htsAdaptiveLimit::Ticket{});
    if (ticket.start == htsAdaptiveLimit::Clock::time_point{}) return;
    htsAdaptiveLimit &limit = *channel.adaptive;
    const uint32_t before = limit.Current();
    if (limit.Ended(ticket, LimitOutcome(outcome), htsAdaptiveLimit::Clock::now()))
        vx_dprintf("%smax_in_flight now %u (was %u, latency baseline %.3f ms)\n",
            htsChannelLinePrefix(tag, channel.name, channel.record->url).c_str(), limit.Current(), before,
            limit.BaselineMs());
    if (channel.stats) channel.stats->SetAdaptiveLimit(limit.Current(), limit.BaselineMs());
}
