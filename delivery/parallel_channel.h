#ifndef HTS_PARALLEL_CHANNEL_H
#define HTS_PARALLEL_CHANNEL_H

// The engine's own view of a channel and of its transfers, shared by the
// files of htsParallelDelivery (the scheduler, the socket watch, retries and
// the spool hand-off); nothing outside the engine includes it.

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "delivery/adaptive_limit.h"
#include "config/curl_slist.h"
#include "delivery/curl_ptr.h"
#include "delivery/drain_state.h"
#include "delivery/drop_episode.h"
#include "delivery/parallel_delivery.h"
#include "delivery/url_failover.h"

// What a waiting payload counts against its channel's bound: its body, and
// at least one byte, so that empty bodies cannot pile up without limit.
inline uint64_t htsBacklogCost(const vxPluginSinkPayload &payload) noexcept
{
    return std::max<uint64_t>(payload.length, 1);
}

// One transfer of a channel: its easy handle, made once with the options of
// its whole life, and what the post in flight on it holds.
struct htsParallelDelivery::Transfer {
    htsCurlEasyPtr handle;
    char error[CURL_ERROR_SIZE] = {};
    std::string response;
    const std::string *tag = nullptr;
    Channel *channel = nullptr;
    // Set while a post is in flight: the record it started with, so a reload
    // cannot free its header list or change its settings under it, and the
    // payload, whose memory libcurl sends from.
    std::shared_ptr<htsChannelConfig> record;
    std::shared_ptr<vxPluginSinkPayload> payload;
    // The payload's compressed copies, one of which libcurl may be sending.
    std::shared_ptr<htsPayloadBodies> bodies;
    // Which try of the payload this post is, from 1.
    uint32_t attempt = 0;
    // For a channel with an adaptive limit: what the post's start told it.
    htsAdaptiveLimit::Ticket ticket;
    // For a channel with fallback URLs: which of its URLs the post went to,
    // and when that was chosen.
    size_t url_index = 0;
    std::chrono::steady_clock::time_point url_picked{};
    // The post's own header list, for a channel whose headers carry the
    // payload's id.
    htsCurlSlistPtr headers;

    // libcurl's response sink: keeps the head of the body, as the serial
    // poster does, and lets nothing unwind into libcurl.
    static size_t Sink(char *ptr, size_t size, size_t nmemb, void *userdata) noexcept;
};

struct htsParallelDelivery::Channel {
    std::string name;
    // The record in force; transfers hold the one they started with.
    std::shared_ptr<htsChannelConfig> record;
    // False once a reload removed the channel: it takes nothing new and is
    // forgotten when its last transfer ends.
    bool active = true;
    // Where its posts are recorded; null while removed or when nobody asks.
    std::shared_ptr<htsChannelStats> stats;

    // A waiting payload, with the compressed copies that its channels share
    // (null until one of them wants a copy): made once, at the first post
    // that needs it, and kept as long as any channel holds the payload.
    struct Waiting {
        std::shared_ptr<vxPluginSinkPayload> payload;
        std::shared_ptr<htsPayloadBodies> bodies;
    };
    std::deque<Waiting> backlog;
    uint64_t backlog_bytes = 0;
    // An episode of drops: set by the first payload that did not fit, logged
    // once at each end.
    htsDropEpisode backlog_full;

    // Payloads waiting for their next try, each holding the place of a post
    // in flight; their bodies count in backlog_bytes.
    struct Retry {
        std::shared_ptr<vxPluginSinkPayload> payload;
        std::shared_ptr<htsPayloadBodies> bodies;
        uint32_t attempt; // the try it waits for
        std::chrono::steady_clock::time_point due;
    };
    std::deque<Retry> retrying;

    // Payloads of the agent's queue spooled at a stop.
    unsigned long long queued_spooled = 0;

    // Up or down, and what it sends again from its spool (parallel_drain.cpp).
    htsDrainState drain;

    std::vector<std::unique_ptr<Transfer>> transfers;
    std::vector<Transfer *> idle;
    size_t in_flight = 0;

    // Set with "max_in_flight": "auto": the limit it found, at most the
    // record's max_in_flight. Lowered below what is in flight, it stops new
    // starts only: nothing in flight is cut off.
    std::optional<htsAdaptiveLimit> adaptive;
    size_t Limit() const noexcept { return adaptive ? adaptive->Current() : record->max_in_flight; }

    // With fallback URLs: the record to post with for each URL (the first
    // is `record` itself, the others copies of it with their own URL and
    // header lists), and which of them is up. Empty without fallbacks.
    std::vector<std::shared_ptr<htsChannelConfig>> url_records;
    htsUrlFailover failover;

    // With one post in flight a waiting retry holds the channel's only place,
    // so that nothing overtakes it; with more, order is not kept anyway and
    // the others go on posting while it waits.
    size_t PlacesHeldByRetries() const noexcept { return Limit() == 1 ? retrying.size() : 0; }
    bool HasRoom() const noexcept { return active && in_flight + PlacesHeldByRetries() < Limit(); }
    // A retry takes any free place, however many others wait: they hold
    // places against the backlog, not against each other.
    bool HasRoomForRetry() const noexcept { return active && in_flight < Limit(); }
};

#endif
