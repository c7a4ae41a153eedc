// The parallel engine's hand-off to the spool: payloads it cannot deliver
// (given up, dropped, released at a stop or a removal) go to disk.
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
#include "delivery/payload_id.h"
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

void htsParallelDelivery::ReleaseBacklog(Channel &channel, const char *why, bool keep)
{
    const unsigned long long count = channel.backlog.size() + channel.retrying.size();
    if (count == 0) return;
    vx_printf("%s%s, %llu payloads not sent\n", htsChannelLinePrefix(tag, channel.name, channel.record->url).c_str(),
        why, count);
    if (keep) {
        // Those that waited longest (the retries) go first, so a replay keeps
        // the channel's order.
        for (const Channel::Retry &r : channel.retrying) SpoolPayload(*channel.record, r.payload, why);
        for (const auto &w : channel.backlog) SpoolPayload(*channel.record, w.payload, why);
    }
    backlogged -= channel.backlog.size();
    awaiting_retry -= channel.retrying.size();
    channel.backlog.clear();
    channel.retrying.clear();
    channel.backlog_bytes = 0;
    ShowLevels(channel);
}

void htsParallelDelivery::SpoolPayload(const htsChannelConfig &record, const std::shared_ptr<vxPluginSinkPayload> &payload,
    const std::string &error, bool rejected)
{
    if (record.spool_dir.empty()) return;
    htsSpoolEntry entry;
    entry.payload = payload;
    entry.channel = record.channel;
    entry.url = htsMaskUrl(record.url);
    entry.dir = record.spool_dir;
    entry.max_bytes = record.spool_max_bytes;
    entry.error = error;
    entry.rejected = rejected;
    if (const std::string *id = htsPayloadIdOf(payload)) entry.id = *id;
    NoteSpooled(record.channel, rejected);
    // At a stop nothing is turned away for the writer's queue: the bodies
    // are in memory anyway, and the stop waits for the disk.
    spool->Put(std::move(entry), stop.load() ? htsSpoolPut::always : htsSpoolPut::drop);
}

void htsParallelDelivery::SpoolQueued(const std::shared_ptr<vxPluginSinkPayload> &payload)
{
    for (const std::string &name : payload->channel_names) {
        auto it = channels.find(name);
        if (it == channels.end() || !it->second->active || it->second->record->spool_dir.empty()) continue;
        SpoolPayload(*it->second->record, payload, "stopped");
        it->second->queued_spooled++;
    }
}

void htsParallelDelivery::FinishSpool()
{
    for (auto &[name, channel] : channels) {
        if (channel->queued_spooled == 0) continue;
        vx_printf("%sstopped, %llu queued payloads spooled\n",
            htsChannelLinePrefix(tag, channel->name, channel->record->url).c_str(), channel->queued_spooled);
        channel->queued_spooled = 0;
    }
    if (spool) spool->Finish();
}
