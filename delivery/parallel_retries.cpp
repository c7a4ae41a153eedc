// The parallel engine's retries: what a failed post becomes (a retry, a
// payload given up) and when waiting retries start.
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <deque>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "config/log_text.h"
#include "delivery/curl_ptr.h"
#include "delivery/parallel_delivery.h"
#include "delivery/post_result.h"
#include "delivery/post_setup.h"
#include "delivery/retry_policy.h"
#include "delivery/spool.h"
#include "delivery/transfer_callbacks.h"
#include "delivery/transfer_options.h"
#include "vxconfig.h"
#include "vxexception.h"
#include "vxlog.h"

#include "delivery/parallel_channel.h"

void htsParallelDelivery::RetryOrGiveUp(Channel &channel, Transfer &transfer, const htsPostOutcome &outcome,
    const std::optional<uint64_t> &retry_after)
{
    // The record in force decides all that follows (whether to try again,
    // the wait, the spool): a reload since the post started may have
    // changed any of it. The lines still name the URL that failed.
    const htsChannelConfig &record = *channel.record;
    // The stop may cut a transfer off before Stop() gets to it: a post that
    // the stop ended is kept like one Stop() ends.
    if (outcome.code == CURLE_ABORTED_BY_CALLBACK && stop.load()) {
        SpoolPayload(record, transfer.payload, "stopped");
        return;
    }
    if (!htsRetryable(outcome)) {
        // Refused for good (a credential, a certificate, a size): with a
        // spool it is kept rather than thrown away, marked so that it is not
        // sent again as if nothing had changed.
        if (record.spool_dir.empty()) return;
        vx_printf("%sgiving up after %u attempts\n",
            htsChannelLinePrefix(tag, transfer.record->channel, transfer.record->url).c_str(), transfer.attempt);
        if (channel.stats) channel.stats->AddGivenUp();
        SpoolPayload(record, transfer.payload,
            outcome.code != CURLE_OK ? std::string(htsTransferReason(outcome.code, transfer.error))
                                     : "HTTP: " + std::to_string(outcome.status),
            true);
        return;
    }
    // A channel down keeps what it cannot deliver on disk, not in memory.
    if (SpoolIfDown(channel, transfer, outcome)) return;
    if (transfer.attempt <= record.retries && channel.active && !stop.load()) {
        const uint64_t delay = retry_after ? std::min(*retry_after, record.retry_backoff_max_ms)
                                           : htsBackoffDelay(record.retry_backoff_ms, record.retry_backoff_max_ms,
                                                 transfer.attempt, random);
        channel.retrying.push_back({ transfer.payload, transfer.bodies, transfer.attempt + 1,
            std::chrono::steady_clock::now() + std::chrono::milliseconds(delay) });
        channel.backlog_bytes += htsBacklogCost(*transfer.payload);
        awaiting_retry++;
        if (channel.stats) channel.stats->AddRetried();
        return;
    }
    if (record.retries == 0 && record.spool_dir.empty()) return;
    vx_printf("%sgiving up after %u attempts\n",
        htsChannelLinePrefix(tag, transfer.record->channel, transfer.record->url).c_str(), transfer.attempt);
    if (channel.stats) channel.stats->AddGivenUp();
    const std::string error = (outcome.code != CURLE_OK)
        ? std::string(htsTransferReason(outcome.code, transfer.error))
        : "HTTP: " + std::to_string(outcome.status);
    SpoolPayload(record, transfer.payload, error);
}

void htsParallelDelivery::StartDueRetries()
{
    for (auto &[name, state] : channels) StartDueRetries(*state);
}

void htsParallelDelivery::StartDueRetries(Channel &channel)
{
    if (channel.retrying.empty() || !channel.active || stop.load()) return;
    const auto now = std::chrono::steady_clock::now();
    const size_t before = channel.retrying.size();
    for (auto it = channel.retrying.begin(); it != channel.retrying.end();) {
        // A retry that is due waits for a free place like any post (a
        // limit lowered by a reload included), ahead of the backlog.
        if (!channel.HasRoomForRetry()) break;
        if (it->due > now) {
            ++it;
            continue;
        }
        Channel::Retry retry = std::move(*it);
        it = channel.retrying.erase(it);
        channel.backlog_bytes -= htsBacklogCost(*retry.payload);
        awaiting_retry--;
        Start(channel, retry.payload, std::move(retry.bodies), retry.attempt);
    }
    if (channel.retrying.size() != before) ShowLevels(channel);
}

long htsParallelDelivery::NextRetryMs() const
{
    if (awaiting_retry == 0 || stop.load()) return -1;
    const auto now = std::chrono::steady_clock::now();
    long next = -1;
    for (const auto &[name, channel] : channels) {
        // A retry due on a channel without a free place cannot start before
        // a post of the channel ends, which wakes the wait by itself.
        if (!channel->HasRoomForRetry()) continue;
        for (const Channel::Retry &r : channel->retrying) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(r.due - now).count();
            const long ms = std::max<long>(0, static_cast<long>(left));
            if (next < 0 || ms < next) next = ms;
        }
    }
    return next;
}
