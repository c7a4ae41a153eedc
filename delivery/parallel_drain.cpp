// The parallel engine's down state and drain: a channel with a spool whose
// collector keeps failing counts as down and keeps what it is given on disk
// rather than in memory; once a post succeeds again the engine sends what
// the spool holds for it, oldest first, beside the live payloads.
#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "config/log_text.h"
#include "delivery/parallel_delivery.h"
#include "delivery/payload_id.h"
#include "delivery/post_result.h"
#include "delivery/retry_policy.h"
#include "delivery/spool.h"
#include "vxlog.h"

#include "delivery/parallel_channel.h"

namespace {

using Clock = std::chrono::steady_clock;

// Payloads asked of the spool at once (at most 16 MiB of bodies), and how
// few may be left before the next read is asked for, so that the posts do
// not wait for the disk. A read lists the whole folder, so after a long
// outage a small batch would spend its time listing.
constexpr size_t read_batch = 512;
constexpr size_t read_again_below = 128;

std::string FailureText(const htsPostOutcome &outcome, const char *error)
{
    return outcome.code != CURLE_OK ? std::string(htsTransferReason(outcome.code, error))
                                    : "HTTP: " + std::to_string(outcome.status);
}

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

unsigned long long Lost(const htsSpoolSnapshot &figures, const std::string &channel)
{
    auto it = figures.channels.find(channel);
    if (it == figures.channels.end()) return 0;
    const htsSpoolFigures &f = it->second;
    return f.lost_behind + f.lost_full + f.lost_unwritable + f.lost_writer;
}

} // namespace

void htsParallelDelivery::ConfigureDrain(Channel &channel, const std::shared_ptr<htsChannelConfig> &before)
{
    const htsChannelConfig &record = *channel.record;
    if (!record.spool_dir.empty() || record.UsesPayloadId()) tag_payloads = true;
    htsDrainState &d = channel.drain;
    const bool enabled = !record.spool_dir.empty() && record.spool_drain;
    if (!enabled) {
        ReleaseDrain(channel);
        return;
    }
    if (!drain_wake_set) {
        // Called on the spool's thread: only flag and wake.
        spool->SetWake([this] {
            drain_answers.store(true);
            Wake();
        });
        drain_wake_set = true;
    }
    if (!d.enabled) {
        // New, or newly with a drain: what the folder holds from before
        // (an earlier run's files) is read first.
        d = htsDrainState{};
        d.enabled = true;
    }
    else if (before && before->spool_dir != record.spool_dir) {
        for (const htsSpooled &s : d.ready) spool->Released(s.handle);
        d.ready.clear();
        d.unknown = true;
        d.returned++;
    }
    // What the collector refused for good may pass under new settings: read
    // once more, up to this moment.
    if (before && before->Describe() != record.Describe()) {
        d.rejected_too = true;
        d.rejected_before_ms = NowMs();
        d.unknown = true;
        d.returned++;
    }
    drain_attention.insert(channel.name);
}

void htsParallelDelivery::ReleaseDrain(Channel &channel)
{
    htsDrainState &d = channel.drain;
    if (!d.enabled) return;
    for (const htsSpooled &s : d.ready) spool->Released(s.handle);
    if (d.down) {
        channels_down--;
        std::lock_guard<std::mutex> guard(down_lock);
        down_names.erase(channel.name);
    }
    // Posts of spooled payloads still in flight settle their files as they
    // end.
    d = htsDrainState{};
}

std::set<std::string> htsParallelDelivery::DownChannels() const
{
    std::lock_guard<std::mutex> guard(down_lock);
    return down_names;
}

std::shared_ptr<vxPluginSinkPayload> htsParallelDelivery::TagOffered(
    const std::shared_ptr<vxPluginSinkPayload> &payload) const
{
    if (!tag_payloads || htsPayloadIdOf(payload) != nullptr) return payload;
    return htsTagPayload(payload, htsNewPayloadId());
}

bool htsParallelDelivery::SpoolInstead(Channel &channel, const std::shared_ptr<vxPluginSinkPayload> &payload)
{
    htsDrainState &d = channel.drain;
    if (!d.enabled || stop.load()) return false;
    // With one post in flight the channel keeps its order: while spooled
    // payloads wait, new ones queue behind them on disk.
    const bool in_order = channel.record->max_in_flight == 1 && d.Draining();
    if (!d.down && !in_order) return false;
    if (d.down && !d.Draining() && !d.reading && Clock::now() >= d.probe_due) {
        // Nothing on disk to probe with (the spool lost it, say): this
        // payload finds out whether the collector is back.
        d.probes++;
        ScheduleProbe(channel, d.probes + 1);
        return false;
    }
    if (d.down) d.spooled_while_down++;
    SpoolPayload(*channel.record, payload, d.down ? "channel down" : "behind spooled payloads");
    return true;
}

bool htsParallelDelivery::DownAfterFailures(const Channel &channel, bool gave_up) const noexcept
{
    // One post at a time: three failed in a row, or one payload's tries
    // used up, say the collector is away. With more in flight, the posts
    // of a moment fail or pass together when it is, while one that refuses
    // posts at random still takes most: twice the places in a row.
    const size_t places = channel.Limit();
    const unsigned failures = channel.drain.failures;
    if (places <= 1) return failures >= htsDownAfterFailures || gave_up;
    return failures >= std::max<size_t>(htsDownAfterFailures, 2 * places);
}

bool htsParallelDelivery::SpoolIfDown(Channel &channel, Transfer &transfer, const htsPostOutcome &outcome)
{
    htsDrainState &d = channel.drain;
    if (!d.enabled || !channel.active) return false;
    d.failures++;
    const htsChannelConfig &record = *channel.record;
    const bool give_up = transfer.attempt > record.retries || stop.load();
    const bool go_down = !d.down && DownAfterFailures(channel, give_up);
    if (!d.down && !go_down && !give_up) return false;
    if (give_up) {
        vx_printf("%sgiving up after %u attempts\n",
            htsChannelLinePrefix(tag, transfer.record->channel, transfer.record->url).c_str(), transfer.attempt);
        if (channel.stats) channel.stats->AddGivenUp();
    }
    // The oldest first: this payload, then what waited behind it.
    SpoolPayload(record, transfer.payload, FailureText(outcome, transfer.error));
    if (go_down)
        GoDown(channel);
    else if (d.down)
        d.spooled_while_down++;
    return true;
}

void htsParallelDelivery::GoDown(Channel &channel)
{
    htsDrainState &d = channel.drain;
    d.down = true;
    d.probes = 0;
    d.spooled_while_down = 0;
    ScheduleProbe(channel, 1);
    channels_down++;
    {
        std::lock_guard<std::mutex> guard(down_lock);
        down_names.insert(channel.name);
    }
    vx_printf("%sdown, spooling payloads\n", htsChannelLinePrefix(tag, channel.name, channel.record->url).c_str());

    // What waits in memory goes to disk in the channel's order: the retries
    // waited longest.
    for (const Channel::Retry &r : channel.retrying) SpoolPayload(*channel.record, r.payload, "channel down");
    for (const auto &waiting : channel.backlog) SpoolPayload(*channel.record, waiting.payload, "channel down");
    d.spooled_while_down += channel.retrying.size() + channel.backlog.size();
    backlogged -= channel.backlog.size();
    awaiting_retry -= channel.retrying.size();
    channel.backlog.clear();
    channel.retrying.clear();
    channel.backlog_bytes = 0;
    // Payloads read back and not posted stay in their files.
    for (const htsSpooled &s : d.ready) spool->Released(s.handle);
    d.ready.clear();
    d.pending = true;
    d.returned++;
    ShowLevels(channel);
}

void htsParallelDelivery::ComeUp(Channel &channel)
{
    htsDrainState &d = channel.drain;
    d.failures = 0;
    if (!d.down) return;
    d.down = false;
    d.probes = 0;
    d.unknown = true;
    channels_down--;
    {
        std::lock_guard<std::mutex> guard(down_lock);
        down_names.erase(channel.name);
    }
    vx_printf("%sup again, %llu payloads spooled while down\n",
        htsChannelLinePrefix(tag, channel.name, channel.record->url).c_str(), d.spooled_while_down);
    d.spooled_while_down = 0;
    drain_attention.insert(channel.name);
}

bool htsParallelDelivery::DrainPostEnded(Channel &channel, Transfer &transfer, const htsPostOutcome &outcome)
{
    htsDrainState &d = channel.drain;
    const std::string *handle = htsSpoolHandleOf(transfer.payload);
    if (handle == nullptr) {
        if (d.enabled && channel.active) {
            if (outcome.Delivered())
                ComeUp(channel);
            else if (!htsRetryable(outcome))
                d.failures = 0; // the collector answered
        }
        return false;
    }
    if (d.in_flight > 0) d.in_flight--;
    if (outcome.Delivered()) {
        spool->Delivered(*handle);
        if (d.enabled && channel.active) ComeUp(channel);
        return true;
    }
    // Stopped, removed or no longer drained: the file stays for later.
    if ((outcome.code == CURLE_ABORTED_BY_CALLBACK && stop.load()) || !channel.active || !d.enabled) {
        spool->Released(*handle);
        return true;
    }
    if (htsRetryable(outcome)) {
        // Still in its file, and still first in line.
        DrainFailed(channel, *handle);
        return true;
    }
    // Refused for good: kept as rejected in a file of its own (the same id),
    // which replaces the one it came from.
    d.failures = 0;
    vx_printf("%sgiving up after 1 attempts\n",
        htsChannelLinePrefix(tag, transfer.record->channel, transfer.record->url).c_str());
    if (channel.stats) channel.stats->AddGivenUp();
    const htsChannelConfig &record = *channel.record;
    htsSpoolEntry entry;
    entry.payload = transfer.payload;
    entry.channel = record.channel;
    entry.url = htsMaskUrl(record.url);
    entry.dir = record.spool_dir;
    entry.max_bytes = record.spool_max_bytes;
    entry.error = FailureText(outcome, transfer.error);
    if (const std::string *id = htsPayloadIdOf(transfer.payload)) entry.id = *id;
    entry.rejected = true;
    const std::string file = *handle;
    // Kept where it is when the writer is behind: it is tried again later.
    if (spool->Put(std::move(entry), htsSpoolPut::refuse))
        spool->Delivered(file);
    else
        HandBack(channel, file);
    return true;
}

void htsParallelDelivery::HandBack(Channel &channel, const std::string &handle)
{
    spool->Released(handle);
    channel.drain.pending = true;
    channel.drain.returned++;
}

void htsParallelDelivery::ScheduleProbe(Channel &channel, uint32_t probe)
{
    channel.drain.probe_due = Clock::now() + std::chrono::milliseconds(htsBackoffDelay(
        channel.record->retry_backoff_ms, channel.record->retry_backoff_max_ms, probe, random));
}

void htsParallelDelivery::DrainFailed(Channel &channel, const std::string &handle)
{
    HandBack(channel, handle);
    htsDrainState &d = channel.drain;
    if (!d.down) {
        // Counted as a live post's failure is: with several in flight, one
        // failure beside successes does not send the stream to disk.
        d.failures++;
        if (DownAfterFailures(channel, false)) GoDown(channel);
    }
    else {
        d.probes++;
        ScheduleProbe(channel, d.probes + 1);
    }
}

bool htsParallelDelivery::ReleaseIfDrained(const std::shared_ptr<vxPluginSinkPayload> &payload)
{
    const std::string *handle = htsSpoolHandleOf(payload);
    if (handle == nullptr) return false;
    spool->Released(*handle);
    return true;
}

void htsParallelDelivery::ReadSpool(Channel &channel, size_t payloads)
{
    htsDrainState &d = channel.drain;
    htsSpoolRead request;
    request.channel = channel.name;
    request.dir = channel.record->spool_dir;
    request.max_payloads = payloads;
    request.rejected_too = d.rejected_too;
    d.reading = true;
    d.puts_at_read = d.puts;
    d.returned_at_read = d.returned;
    d.lost_at_read = Lost(spool->Snapshot(), channel.name);
    spool->Read(std::move(request));
}

void htsParallelDelivery::StartDrain(Channel &channel)
{
    htsDrainState &d = channel.drain;
    if (!d.enabled || !channel.active || stop.load()) return;

    // Starts the oldest payload read back; false when it could not start
    // (its line is logged), which counts as the collector being away.
    auto start_one = [&]() {
        htsSpooled s = std::move(d.ready.front());
        d.ready.pop_front();
        std::string id = s.id.empty() ? htsNewPayloadId() : std::move(s.id);
        const uint64_t before = started;
        Start(channel, htsTagPayload(s.payload, std::move(id), s.handle), nullptr);
        if (started != before) {
            d.in_flight++;
            return true;
        }
        DrainFailed(channel, s.handle);
        return false;
    };

    if (d.down) {
        // One spooled payload at a time finds out whether the collector is
        // back, once the back-off has passed.
        if (d.in_flight > 0 || Clock::now() < d.probe_due || !channel.HasRoom()) return;
        if (!d.ready.empty())
            start_one();
        else if (!d.reading && (d.pending || d.unknown))
            ReadSpool(channel, 1);
        return;
    }
    // Spooled payloads take at most half the places (at least one) while
    // live payloads wait, and every free place while none do; an adaptive
    // channel shares the limit it has found.
    const size_t share = std::max<size_t>(1, channel.Limit() / 2);
    while (!d.ready.empty() && channel.HasRoom()) {
        if (d.in_flight >= share && !channel.backlog.empty()) break;
        if (!start_one()) return;
    }
    if (!d.reading && (d.pending || d.unknown) && d.ready.size() < read_again_below)
        ReadSpool(channel, read_batch);
}

void htsParallelDelivery::PumpDrain()
{
    if (drain_answers.exchange(false)) {
        for (htsSpoolReadResult &answer : spool->TakeReadResults()) {
            auto it = channels.find(answer.channel);
            Channel *channel = (it != channels.end() && it->second->active && it->second->drain.enabled)
                ? it->second.get()
                : nullptr;
            if (channel == nullptr) {
                for (const htsSpooled &s : answer.payloads) spool->Released(s.handle);
                continue;
            }
            htsDrainState &d = channel->drain;
            d.reading = false;
            // Files handed back (or let through) since the read was asked
            // for may have been passed over: read again.
            const bool current = d.returned == d.returned_at_read;
            if (current) d.unknown = false;
            if (answer.payloads.empty() && current) {
                // A whole pass: files refused again since are not read again.
                d.rejected_too = false;
                // Spooled since the read was asked for, and not lost: on its
                // way to disk, so read again.
                const uint64_t since = d.puts - d.puts_at_read;
                if (since == 0 || Lost(spool->Snapshot(), channel->name) - d.lost_at_read >= since)
                    d.pending = false;
                // A probe that found nothing to send waits for its next turn
                // rather than asking again at once.
                if (d.down)
                    ScheduleProbe(*channel, d.probes + 1);
            }
            else {
                d.pending = true;
            }
            for (htsSpooled &s : answer.payloads) {
                if (s.rejected && (!d.rejected_too || s.when_ms > d.rejected_before_ms)) {
                    // Refused again after the load that let it be read: it
                    // waits for the next change, as do those behind it.
                    spool->Released(s.handle);
                    d.rejected_too = false;
                    continue;
                }
                d.ready.push_back(std::move(s));
            }
            drain_attention.insert(channel->name);
        }
    }
    if (!drain_attention.empty()) {
        std::set<std::string> names;
        names.swap(drain_attention);
        for (const std::string &name : names) {
            auto it = channels.find(name);
            if (it != channels.end()) StartDrain(*it->second);
        }
    }
    if (channels_down > 0) {
        const auto now = Clock::now();
        for (auto &[name, channel] : channels)
            if (channel->drain.down && channel->drain.probe_due <= now) StartDrain(*channel);
    }
}

long htsParallelDelivery::NextDrainMs() const
{
    if (drain_answers.load() || !drain_attention.empty()) return 0;
    if (channels_down == 0 || stop.load()) return -1;
    const auto now = Clock::now();
    long next = -1;
    for (const auto &[name, channel] : channels) {
        const htsDrainState &d = channel->drain;
        // A probe waits for its place, whose end wakes the wait by itself.
        if (!d.down || d.in_flight > 0 || d.reading || !channel->HasRoom()) continue;
        if (d.ready.empty() && !d.pending && !d.unknown) continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(d.probe_due - now).count();
        const long ms = std::max<long>(0, static_cast<long>(left));
        if (next < 0 || ms < next) next = ms;
    }
    return next;
}

void htsParallelDelivery::NoteSpooled(const std::string &name, bool rejected)
{
    if (rejected) return;
    auto it = channels.find(name);
    if (it == channels.end() || !it->second->drain.enabled) return;
    htsDrainState &d = it->second->drain;
    d.puts++;
    d.pending = true;
    drain_attention.insert(name);
}
