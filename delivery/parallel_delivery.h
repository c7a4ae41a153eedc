#ifndef HTS_PARALLEL_DELIVERY_H
#define HTS_PARALLEL_DELIVERY_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "config/channel_config.h"
#include "delivery/body_compression.h"
#include "delivery/channel_stats.h"
#include "delivery/connection_rotation.h"
#include "delivery/post_result.h"
#include "delivery/spool.h"
#include "vxplugin.h"


// Where the engine records a channel's posts: the stats of the channel
// named, or null for none. Shared, so that stats a reload let go of stay
// valid for the posts still in flight on the channel.
using htsStatsLookup = std::function<std::shared_ptr<htsChannelStats>(const std::string &channel)>;

// Owner of a libcurl multi handle.
struct htsCurlMultiCleanup {
    void operator()(CURLM *multi) const noexcept { curl_multi_cleanup(multi); }
};

using htsCurlMultiPtr = std::unique_ptr<CURLM, htsCurlMultiCleanup>;

// Delivery with every channel on its own: each keeps a FIFO backlog of the
// agent's payloads (references, never copies of the bodies) and its own easy
// handles, and has up to its max_in_flight posts running at once on one
// libcurl multi handle. A slow, hung or failing collector therefore holds up
// only its own channel; a channel whose backlog would pass max_backlog_bytes
// drops what does not fit.
//
// A failed post that may not have reached the collector is tried again up
// to the channel's "retries" times, after a back-off that runs on the
// engine's own clock (the wait's time-out, never a sleep); a payload that
// waits for its next try holds its place in the channel, so with one post in
// flight nothing overtakes it (with more, others go on meanwhile). A payload given up, dropped for a full
// backlog or still waiting at a stop goes to the channel's spool folder when
// it has one (see htsSpool).
//
// Everything but Wake() runs on the plug-in's worker thread. Each post is
// made with the same options and logged with the same lines as a serial one.
class htsParallelDelivery
{
public:
    // `tag` begins every log line and `stop` aborts transfers once set; both
    // must outlive the object. Each Configure() asks `stats_of` where its
    // channels' posts, levels and drops are recorded. Throws vxException
    // when libcurl cannot make the multi handle.
    htsParallelDelivery(const std::string &tag, const std::atomic<bool> &stop, htsStatsLookup stats_of = {});
    // Transfers still in flight are dropped without a word: Stop() is the
    // orderly way out.
    ~htsParallelDelivery();

    htsParallelDelivery(const htsParallelDelivery &) = delete;
    htsParallelDelivery &operator=(const htsParallelDelivery &) = delete;

    // Puts a configuration in force. Each channel works from a copy of its
    // record, so transfers in flight finish under the record they started
    // with while later posts take the new settings. A channel that stays
    // keeps its backlog; one that is gone releases it with one line and lets
    // its transfers finish.
    void Configure(const std::map<std::string, htsChannelConfig> &channels);

    // Takes a payload for each of its channels, in name order: started at
    // once where the channel has room and nothing waiting, else added to
    // its backlog, or dropped when the backlog is full.
    void Offer(const std::shared_ptr<vxPluginSinkPayload> &payload);

    // Runs the transfers whose time has come (new ones, time limits),
    // reports those that ended and starts what waits behind them. Never
    // blocks.
    void Perform();

    // Waiting for work, in three steps so that no wake-up is lost: Arm(),
    // then a last look at the queue and flags (Disarm() if there is work),
    // then Wait(), which sleeps up to `timeout_ms` on the transfers' sockets
    // (less when a transfer has a time limit due) and ends early on Wake();
    // it hands libcurl the sockets that are ready.
    void Arm() noexcept;
    void Disarm() noexcept;
    void Wait(int timeout_ms);

    // From any thread: ends the worker's Wait() once Arm() has been called,
    // or makes that Wait() return at once.
    void Wake() noexcept;

    // True when nothing waits and nothing is in flight.
    bool Idle() const noexcept { return backlogged == 0 && in_flight == 0 && awaiting_retry == 0; }

    // Aborts every transfer in flight (each reported as its post's failure)
    // and releases every backlog with one line per channel that held any.
    void Stop();

    // What the spool holds and has done, per channel; from any thread.
    htsSpoolSnapshot SpoolFigures() const { return spool->Snapshot(); }
    // The channels down now (see README); from any thread.
    std::set<std::string> DownChannels() const;

    // After Stop(): a payload still in the agent's queue, spooled for each
    // of its channels that has a spool folder.
    void SpoolQueued(const std::shared_ptr<vxPluginSinkPayload> &payload);
    // Logs how many queued payloads each channel spooled and waits until
    // everything spooled is on disk.
    void FinishSpool();

private:
    struct Channel;
    struct Transfer;

    // A transfer of `channel` ready to post: an idle one or a new one
    // while the channel is below its limit; null when it has no room.
    Transfer *TakeTransfer(Channel &channel);
    // Posts `payload` on a transfer of the channel that has room, with the
    // compressed copies its channels share (null: none made yet); `attempt`
    // counts from 1.
    void Start(Channel &channel, const std::shared_ptr<vxPluginSinkPayload> &payload,
        std::shared_ptr<htsPayloadBodies> bodies, uint32_t attempt = 1);
    // After a failed post: schedules the next try, or gives the payload up
    // (to the spool when the channel has one).
    void RetryOrGiveUp(Channel &channel, Transfer &transfer, const htsPostOutcome &outcome,
        const std::optional<uint64_t> &retry_after);
    // Starts the retries whose time has come, of every channel or of one.
    void StartDueRetries();
    void StartDueRetries(Channel &channel);
    // Milliseconds until the next retry is due, or -1 when none waits.
    long NextRetryMs() const;
    // Hands a payload that was not delivered to the channel's spool folder,
    // if it has one.
    // `rejected` marks a payload the collector refused outright, so that
    // it is not sent again until the channel's settings change.
    void SpoolPayload(const htsChannelConfig &record, const std::shared_ptr<vxPluginSinkPayload> &payload,
        const std::string &error, bool rejected = false);
    // Starts waiting payloads while the channel has room.
    void StartBacklog(Channel &channel);
    // Reports every finished transfer and refills its channel.
    void Reap();
    // Hands a transfer back to its channel after a post (or a post that could
    // not start), or frees it when the channel no longer wants it.
    void ReturnTransfer(Channel &channel, Transfer *transfer);
    // Releases the backlog and waiting retries of `channel` with one line
    // that says why ("stopped", "removed"), spooling them first when `keep`.
    void ReleaseBacklog(Channel &channel, const char *why, bool keep = false);
    // Shows the channel's backlog and posts in flight in its stats.
    void ShowLevels(const Channel &channel) noexcept;
    // The adaptive in-flight limit (parallel_adaptive.cpp): set up or
    // dropped as the record in force asks, told of each post's start and
    // end.
    void ConfigureAdaptiveLimit(Channel &channel);
    void AdaptLimitOnStart(Channel &channel, Transfer &transfer);
    void AdaptLimitOnEnd(Channel &channel, Transfer &transfer, const htsPostOutcome &outcome);
    // Fallback URLs (parallel_failover.cpp): the records of each URL made
    // as the record in force asks, the record the next post of the channel
    // goes out with (noted in `transfer`), and what a post's end says of
    // its URL.
    void ConfigureFallbackUrls(Channel &channel);
    const std::shared_ptr<htsChannelConfig> &RecordToPost(Channel &channel, Transfer &transfer);
    void NoteUrlOutcome(Channel &channel, const Transfer &transfer, const htsPostOutcome &outcome);
    // Connection rotation (parallel_rotation.cpp): counts the posts each
    // connection carried and closes an idle one that reached its channel's
    // "connection_max_requests", so that the next post opens a new one.
    // Each new connection's socket is also shown to the socket watch.
    static int ConnectionOpened(void *self, curl_socket_t socket, curlsocktype purpose) noexcept;
    // The socket of the post's connection once it carried `most` posts,
    // else CURL_SOCKET_BAD; read before the handle leaves the multi handle.
    curl_socket_t CountConnectionUse(CURL *handle, uint32_t most);
    // Shuts a worn-out connection's socket unless another post took it up.
    void RetireConnection(curl_socket_t socket);
    htsConnectionUses connection_uses;
    // Forgets a channel that is gone once its last transfer has ended.
    void ForgetIfDone(const std::string &name);

    // The down state and the drain of spooled payloads (parallel_drain.cpp).
    // A channel configured or reconfigured (`before`: its earlier record,
    // null for a new channel); one removed.
    void ConfigureDrain(Channel &channel, const std::shared_ptr<htsChannelConfig> &before);
    void ReleaseDrain(Channel &channel);
    // The engine's reference to an offered payload, tagged with its id when
    // a channel needs one.
    std::shared_ptr<vxPluginSinkPayload> TagOffered(const std::shared_ptr<vxPluginSinkPayload> &payload) const;
    // Spools a payload offered to a channel that is down (or draining in
    // order); false when it goes the usual way.
    bool SpoolInstead(Channel &channel, const std::shared_ptr<vxPluginSinkPayload> &payload);
    // After a failed post that may be tried again: true when the channel is
    // down, or goes down now, and the payload was spooled instead.
    bool SpoolIfDown(Channel &channel, Transfer &transfer, const htsPostOutcome &outcome);
    // Every ended post: up again on a success; a payload read back from the
    // spool is settled here (true) and never retried in memory.
    bool DrainPostEnded(Channel &channel, Transfer &transfer, const htsPostOutcome &outcome);
    // At a stop: a payload read back from the spool stays in its file (true).
    bool ReleaseIfDrained(const std::shared_ptr<vxPluginSinkPayload> &payload);
    // Starts spooled payloads while the channel has room for them.
    void StartDrain(Channel &channel);
    // Takes the spool's answers and starts the probes that are due.
    void PumpDrain();
    // Milliseconds until a probe is due or an answer waits, -1 for none.
    long NextDrainMs() const;
    // Something was spooled for `channel`.
    void NoteSpooled(const std::string &channel, bool rejected);
    void GoDown(Channel &channel);
    void ComeUp(Channel &channel);
    // The next probe of a down channel, one back-off after the `probe`-th.
    void ScheduleProbe(Channel &channel, uint32_t probe);
    // A spooled payload that could not be delivered for now: back to its
    // file, counted as a failed post of an up channel (see
    // DownAfterFailures), or the next probe of a down one later.
    void DrainFailed(Channel &channel, const std::string &handle);
    // A spooled payload read for the channel goes back to its file, to be
    // read again: a read asked for before this may have passed over it.
    void HandBack(Channel &channel, const std::string &handle);
    // Whether the channel's consecutive failures (the last of which used up
    // a payload's tries when `gave_up`) make it down.
    bool DownAfterFailures(const Channel &channel, bool gave_up) const noexcept;
    void ReadSpool(Channel &channel, size_t payloads);

    // libcurl's socket callback: keeps the epoll set in step with the
    // sockets libcurl wants watched.
    static int WatchSocket(CURL *, curl_socket_t socket, int what, void *self, void *) noexcept;
    void CloseDescriptors() noexcept;

    // libcurl's socket callbacks for its connections: a new socket under a
    // number, and its close (the engine closes it for libcurl).
    void SocketOpened(curl_socket_t socket) noexcept;
    static int CloseSocket(void *self, curl_socket_t socket) noexcept;

    // What the epoll set holds for a socket, by descriptor. A socket libcurl
    // stops watching (a kept-alive connection between two posts) stays in
    // the set until it reports something or closes, so that the next post
    // on it costs no change of the set at all when it waits for the same
    // events, else one change rather than a removal and an addition.
    struct SocketWatch {
        bool in_set = false;
        bool wanted = false; // libcurl watches it
        // A connection's socket, seen opened and not yet closed: the entry
        // in the set is its own. Any other socket (the resolver's, say) may
        // have closed unseen, its number taken by a new one, so the set is
        // told again whenever libcurl picks it up.
        bool connection = false;
        uint32_t events = 0;
    };
    std::vector<SocketWatch> watches;
    // The socket's entry, or null when there is no memory for it.
    SocketWatch *WatchOf(curl_socket_t socket) noexcept;

    const std::string &tag;
    const std::atomic<bool> &stop;
    const htsStatsLookup stats_of;
    // The transfers' sockets and the wake-up counter, waited on together.
    int epoll_fd = -1;
    int wake_fd = -1;
    htsCurlMultiPtr multi;
    // Set while the worker may sleep in Wait(); whoever clears it owes it a
    // wake-up.
    std::atomic<bool> armed{ false };

    std::map<std::string, std::unique_ptr<Channel>> channels;
    size_t backlogged = 0; // payloads in backlogs
    size_t in_flight = 0; // transfers on the multi handle
    uint64_t started = 0; // transfers ever added
    size_t awaiting_retry = 0; // payloads waiting for their next try
    std::mt19937_64 random{ std::random_device{}() };
    std::unique_ptr<htsSpool> spool;
    // Compression contexts, kept from post to post.
    htsBodyCompressor compressor;

    // The drain's share of the engine (parallel_drain.cpp).
    bool tag_payloads = false; // some channel spools or sends "${payload_id}"
    bool drain_wake_set = false;
    std::atomic<bool> drain_answers{ false }; // the spool has answers waiting
    std::set<std::string> drain_attention;    // channels whose drain may move
    size_t channels_down = 0;
    mutable std::mutex down_lock;
    std::set<std::string> down_names;
};

#endif
