// The parallel engine's fallback URLs: each channel with "fallback_urls"
// posts to the first of its URLs that is up (see htsUrlFailover), logs when
// one goes down or answers again, and shows their states in its stats.
#include "config/log_text.h"
#include "delivery/parallel_delivery.h"
#include "delivery/retry_policy.h"
#include "vxlog.h"

#include "delivery/parallel_channel.h"

void htsParallelDelivery::ConfigureFallbackUrls(Channel &channel)
{
    const std::shared_ptr<htsChannelConfig> &record = channel.record;
    if (record->fallback_urls.empty()) {
        channel.url_records.clear();
        channel.failover.Reset(1);
        if (channel.stats) channel.stats->SetUrlStates(0, 0, 0);
        return;
    }
    // A channel whose URLs stay keeps what it knows of them.
    bool same = channel.url_records.size() == record->fallback_urls.size() + 1 &&
        channel.url_records[0]->url == record->url;
    for (size_t i = 1; same && i < channel.url_records.size(); i++)
        same = channel.url_records[i]->url == record->fallback_urls[i - 1];
    channel.url_records.assign(1, record);
    for (const std::string &url : record->fallback_urls) {
        // A copy builds header lists of its own, as the record's copy does.
        auto copy = std::make_shared<htsChannelConfig>(*record);
        copy->url = url;
        channel.url_records.push_back(std::move(copy));
    }
    if (!same) channel.failover.Reset(channel.url_records.size());
    if (channel.stats)
        channel.stats->SetUrlStates(channel.url_records.size(), channel.failover.InUse(), channel.failover.DownMask());
}

const std::shared_ptr<htsChannelConfig> &htsParallelDelivery::RecordToPost(Channel &channel, Transfer &transfer)
{
    transfer.url_index = 0;
    if (channel.url_records.empty()) return channel.record;
    transfer.url_picked = std::chrono::steady_clock::now();
    transfer.url_index = channel.failover.Pick(transfer.url_picked);
    return channel.url_records[transfer.url_index];
}

void htsParallelDelivery::NoteUrlOutcome(Channel &channel, const Transfer &transfer, const htsPostOutcome &outcome)
{
    const size_t index = transfer.url_index;
    // A post that went out under URLs a reload has changed since says
    // nothing of the URLs now in force.
    if (index >= channel.url_records.size() || channel.url_records[index]->url != transfer.record->url) return;
    const htsChannelConfig &record = *channel.record;
    if (htsRetryable(outcome)) {
        if (channel.failover.Failed(index, transfer.url_picked, std::chrono::steady_clock::now(),
                record.retry_backoff_ms, record.retry_backoff_max_ms)) {
            const size_t next = channel.failover.InUse();
            vx_printf("%sdown, posting to %s\n",
                htsChannelLinePrefix(tag, channel.name, channel.url_records[index]->url).c_str(),
                htsMaskUrl(channel.url_records[next]->url).c_str());
        }
    }
    else if (outcome.code == CURLE_OK) {
        if (channel.failover.Answered(index))
            vx_printf("%sanswering again\n",
                htsChannelLinePrefix(tag, channel.name, channel.url_records[index]->url).c_str());
    }
    if (channel.stats)
        channel.stats->SetUrlStates(channel.url_records.size(), channel.failover.InUse(), channel.failover.DownMask());
}
