// The parallel engine's scheduler: channels put in force, payloads offered,
// posts started on their transfers and reaped, and the stop.
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

namespace {


// libcurl reports a socket it could not make as a failed connection; the
// reason an operator needs is that the process ran out of descriptors.
void ReportOutOfDescriptors(const std::string &tag, const htsChannelConfig &record, CURL *handle)
{
    long os_error = 0;
    if (curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &os_error) != CURLE_OK) return;
    if (os_error != EMFILE && os_error != ENFILE) return;
    char buffer[256];
    vx_printf("%sout of file descriptors: %s\n", htsChannelLinePrefix(tag, record.channel, record.url).c_str(),
        strerror_r(static_cast<int>(os_error), buffer, sizeof(buffer)));
}

bool IsHttps(const std::string &url) { return strncasecmp(url.c_str(), "https://", 8) == 0; }


// Over TLS the second post waits for the first connection to learn whether
// it can share it (HTTP/2) instead of opening its own.
htsOptionResult SetPipeWait(CURL *handle, const htsChannelConfig &record)
{
    htsOptionResult set;
    set.code = curl_easy_setopt(handle, CURLOPT_PIPEWAIT, IsHttps(record.url) ? 1L : 0L);
    if (!set) set.option = CURLOPT_PIPEWAIT;
    // With it, the options only this engine takes: the connection age limit.
    if (set) set = htsSetConnectionAge(handle, record);
    return set;
}

} // namespace

size_t htsParallelDelivery::Transfer::Sink(char *ptr, size_t size, size_t nmemb, void *userdata) noexcept
{
    auto *self = static_cast<Transfer *>(userdata);
    const size_t length = size * nmemb;
    try {
        size_t room = (self->response.size() < htsResponseMax) ? htsResponseMax - self->response.size() : 0;
        self->response.append(ptr, std::min(length, room));
    }
    catch (const std::bad_alloc &e) {
        try {
            vx_printf("%s: Error appending %lu bytes to return buffer: %s\n", self->tag->c_str(),
                static_cast<unsigned long>(length), e.what());
        }
        catch (...) {
        }
        return 0;
    }
    catch (...) {
        return 0;
    }
    return length;
}

htsParallelDelivery::htsParallelDelivery(const std::string &tag, const std::atomic<bool> &stop,
    htsStatsLookup stats_of)
    : tag(tag), stop(stop), stats_of(std::move(stats_of))
{
    // The multi handle may come before any easy handle.
    htsInitCurl();
    // Made at once (its thread only when something is spooled), so the
    // status can read the spool's figures from any thread.
    spool = std::make_unique<htsSpool>(tag);
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_fd < 0 || wake_fd < 0) {
        CloseDescriptors();
        throw vxException("%s: cannot wait on transfers: %s", tag.c_str(), strerror(errno));
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_fd;
    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &ev);

    multi.reset(curl_multi_init());
    if (!multi) {
        CloseDescriptors();
        throw vxException("%s: curl_multi_init: failed", tag.c_str());
    }
    // Posts in flight to a collector that speaks HTTP/2 share one connection.
    curl_multi_setopt(multi.get(), CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
    // libcurl tells which sockets to watch and is called for those that are
    // ready only: a hung transfer costs nothing while it waits, however
    // busy the other channels are.
    curl_multi_setopt(multi.get(), CURLMOPT_SOCKETFUNCTION, WatchSocket);
    curl_multi_setopt(multi.get(), CURLMOPT_SOCKETDATA, this);
}

htsParallelDelivery::~htsParallelDelivery()
{
    // The spool's thread may still call back into the engine (see SetWake).
    if (spool) spool->Finish();
    for (auto &[name, channel] : channels) {
        for (auto &transfer : channel->transfers)
            if (transfer->payload) curl_multi_remove_handle(multi.get(), transfer->handle.get());
    }
    channels.clear();
    multi.reset();
    CloseDescriptors();
}

void htsParallelDelivery::Configure(const std::map<std::string, htsChannelConfig> &config)
{
    tag_payloads = false;
    for (const auto &[name, record] : config) {
        std::unique_ptr<Channel> &state = channels[name];
        if (!state) {
            state = std::make_unique<Channel>();
            state->name = name;
        }
        // A copy starts without header lists; it builds its own, which the
        // transfers that start under it keep alive.
        const std::shared_ptr<htsChannelConfig> before = state->active ? state->record : nullptr;
        state->record = std::make_shared<htsChannelConfig>(record);
        state->active = true;
        state->stats = stats_of ? stats_of(name) : nullptr;
        ConfigureAdaptiveLimit(*state);
        ConfigureFallbackUrls(*state);
        ConfigureDrain(*state, before);
        ShowLevels(*state);
    }

    // libcurl keeps idle connections for four times the handles attached at
    // the moment, and between posts few are: without a fixed size the cache
    // would close connections that the next posts open again.
    uint64_t connections = 0;
    for (const auto &[name, record] : config) connections += record.max_in_flight;
    curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS,
        static_cast<long>(std::clamp<uint64_t>(connections, 1, 1u << 20)));

    for (auto it = channels.begin(); it != channels.end();) {
        Channel &channel = *it->second;
        if (config.find(it->first) == config.end()) {
            if (channel.active) {
                ReleaseBacklog(channel, "removed", true);
                ReleaseDrain(channel);
                channel.active = false;
                channel.backlog_full.Reset();
                // Its stats went with it.
                channel.stats.reset();
            }
        }
        // Slots beyond a lowered limit go now if idle, else when their post
        // ends; a removed channel keeps none.
        const size_t keep = channel.active ? channel.record->max_in_flight : 0;
        while (!channel.idle.empty() && channel.transfers.size() > keep) {
            Transfer *transfer = channel.idle.back();
            channel.idle.pop_back();
            std::erase_if(channel.transfers, [transfer](const auto &s) { return s.get() == transfer; });
        }
        if (!channel.active && channel.in_flight == 0) {
            it = channels.erase(it);
            continue;
        }
        // A raised limit lets waiting payloads start at once.
        StartBacklog(channel);
        ++it;
    }
}

void htsParallelDelivery::Offer(const std::shared_ptr<vxPluginSinkPayload> &offered)
{
    const std::shared_ptr<vxPluginSinkPayload> payload = TagOffered(offered);
    // Made only for a payload that one of its channels compresses; its
    // copies are made at the posts, never here.
    std::shared_ptr<htsPayloadBodies> bodies;
    for (const std::string &name : payload->channel_names) {
        auto it = channels.find(name);
        if (it == channels.end() || !it->second->active) {
            vx_dprintf("%s: channel not defined: %s\n", tag.c_str(), htsEscapeControl(name).c_str());
            continue;
        }
        Channel &channel = *it->second;
        const htsChannelConfig &record = *channel.record;
        if (SpoolInstead(channel, payload)) continue;

        // Only a payload that has to wait counts against the backlog, so an
        // idle channel takes even a body larger than its bound.
        const bool start_now = channel.backlog.empty() && channel.HasRoom() && !stop.load();
        const uint64_t length = htsBacklogCost(*payload);
        if (!start_now &&
            (length > record.max_backlog_bytes ||
                channel.backlog_bytes > record.max_backlog_bytes - length)) {
            if (channel.backlog_full.Drop()) {
                vx_printf("%sbacklog full, dropping payloads\n",
                    htsChannelLinePrefix(tag, channel.name, record.url).c_str());
            }
            if (channel.stats) channel.stats->AddDropped();
            SpoolPayload(record, payload, "backlog full");
            continue;
        }
        if (unsigned long long dropped = 0; channel.backlog_full.End(dropped))
            vx_printf("%sbacklog accepting again, %llu payloads dropped\n",
                htsChannelLinePrefix(tag, channel.name, record.url).c_str(), dropped);

        if (!bodies && htsPayloadBodies::Wanted(record, *payload)) bodies = std::make_shared<htsPayloadBodies>();
        if (start_now) {
            Start(channel, payload, bodies);
        }
        else {
            channel.backlog.push_back({ payload, bodies });
            channel.backlog_bytes += length;
            backlogged++;
        }
        ShowLevels(channel);
    }
}

void htsParallelDelivery::ShowLevels(const Channel &channel) noexcept
{
    if (channel.stats)
        channel.stats->SetLevels(channel.backlog.size() + channel.retrying.size(), channel.backlog_bytes,
            channel.in_flight);
}

htsParallelDelivery::Transfer *htsParallelDelivery::TakeTransfer(Channel &channel)
{
    if (!channel.HasRoomForRetry()) return nullptr; // scheduling decided the rest
    if (!channel.idle.empty()) {
        Transfer *transfer = channel.idle.back();
        channel.idle.pop_back();
        return transfer;
    }

    auto transfer = std::make_unique<Transfer>();
    transfer->handle.reset(curl_easy_init());
    if (!transfer->handle) throw vxException("%s: curl_easy_init: failed", tag.c_str());
    transfer->tag = &tag;
    transfer->channel = &channel;

    htsHandleCallbacks callbacks;
    callbacks.error_buffer = transfer->error;
    callbacks.write_function = Transfer::Sink;
    callbacks.write_data = transfer.get();
    callbacks.progress_function = htsProgressCheck;
    callbacks.progress_data = const_cast<std::atomic<bool> *>(&stop);
    htsOptionResult result = htsSetHandleOptions(transfer->handle.get(), callbacks);
    // Decided once, for the handle's whole life, as for the serial handle.
    if (result && vxGlobalConfig::GetInstance().flags.IsSet(vxGlobalConfig::DEBUG_CURL)) {
        callbacks.debug_function = htsDebugTrace;
        callbacks.debug_data = const_cast<std::string *>(&tag);
        result = htsSetHandleOptions(transfer->handle.get(), callbacks);
    }
    if (result) {
        CURLcode rc = curl_easy_setopt(transfer->handle.get(), CURLOPT_PRIVATE, transfer.get());
        if (rc == CURLE_OK) rc = curl_easy_setopt(transfer->handle.get(), CURLOPT_SOCKOPTFUNCTION, ConnectionOpened);
        if (rc == CURLE_OK) rc = curl_easy_setopt(transfer->handle.get(), CURLOPT_SOCKOPTDATA, this);
        if (rc == CURLE_OK) rc = curl_easy_setopt(transfer->handle.get(), CURLOPT_CLOSESOCKETFUNCTION, CloseSocket);
        if (rc == CURLE_OK) rc = curl_easy_setopt(transfer->handle.get(), CURLOPT_CLOSESOCKETDATA, this);
        if (rc != CURLE_OK) result.code = rc;
    }
    if (!result) {
        // A handle without its callbacks or its protocol restriction must not
        // post at all; the next post tries a new one.
        htsRefusePost(tag, *channel.record, channel.stats.get(), result.code);
        return nullptr;
    }
    channel.transfers.push_back(std::move(transfer));
    return channel.transfers.back().get();
}

void htsParallelDelivery::Start(Channel &channel, const std::shared_ptr<vxPluginSinkPayload> &payload,
    std::shared_ptr<htsPayloadBodies> bodies, uint32_t attempt)
{
    Transfer *transfer = TakeTransfer(channel);
    if (transfer == nullptr) return;
    CURL *handle = transfer->handle.get();
    const std::shared_ptr<htsChannelConfig> &posting = RecordToPost(channel, *transfer);
    htsChannelConfig &record = *posting;

    // A reload may have turned compression on since the payload came.
    if (!bodies && htsPayloadBodies::Wanted(record, *payload)) bodies = std::make_shared<htsPayloadBodies>();
    const htsPostBody body = bodies ? bodies->For(tag, record, *payload, compressor) : htsOwnBody(*payload);
    const std::string *payload_id = htsPayloadIdOf(payload);
    if (!htsPreparePost(tag, record, handle, *payload, body, channel.stats.get(), SetPipeWait, &transfer->headers,
            payload_id != nullptr ? *payload_id : std::string())) {
        ReturnTransfer(channel, transfer);
        return;
    }

    transfer->record = posting;
    transfer->payload = payload;
    transfer->bodies = std::move(bodies);
    transfer->attempt = attempt;
    transfer->response.clear();
    transfer->error[0] = '\0';
    CURLMcode mc = curl_multi_add_handle(multi.get(), handle);
    if (mc != CURLM_OK) {
        vx_printf("%s%s [%d]\n", htsChannelLinePrefix(tag, record.channel, record.url).c_str(),
            curl_multi_strerror(mc), static_cast<int>(mc));
        // The post never started, as when libcurl fails to set one up.
        if (channel.stats) channel.stats->RecordRefusal(CURLE_FAILED_INIT, curl_multi_strerror(mc));
        transfer->record.reset();
        transfer->payload.reset();
        transfer->bodies.reset();
        ReturnTransfer(channel, transfer);
        return;
    }
    channel.in_flight++;
    in_flight++;
    started++;
    AdaptLimitOnStart(channel, *transfer);
}

void htsParallelDelivery::StartBacklog(Channel &channel)
{
    // Retries whose time has come go before the backlog.
    if (!channel.retrying.empty()) StartDueRetries(channel);
    // Then spooled payloads, up to their share of the places.
    StartDrain(channel);
    // Once a stop is asked for, nothing new is posted.
    while (!stop.load() && !channel.backlog.empty() && channel.HasRoom()) {
        Channel::Waiting next = std::move(channel.backlog.front());
        channel.backlog.pop_front();
        channel.backlog_bytes -= htsBacklogCost(*next.payload);
        backlogged--;
        Start(channel, next.payload, std::move(next.bodies));
    }
    ShowLevels(channel);
}

void htsParallelDelivery::ReturnTransfer(Channel &channel, Transfer *transfer)
{
    const size_t keep = channel.active ? channel.record->max_in_flight : 0;
    if (channel.transfers.size() > keep) {
        std::erase_if(channel.transfers, [transfer](const auto &s) { return s.get() == transfer; });
        return;
    }
    channel.idle.push_back(transfer);
}

void htsParallelDelivery::Reap()
{
    int left = 0;
    while (CURLMsg *msg = curl_multi_info_read(multi.get(), &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        // The message dies with the handle's removal: take what it says first.
        CURL *handle = msg->easy_handle;
        const CURLcode rc = msg->data.result;
        char *address = nullptr;
        curl_easy_getinfo(handle, CURLINFO_PRIVATE, &address);
        auto *transfer = reinterpret_cast<Transfer *>(address);
        // An answer that says when to come back is read while the handle
        // still holds its headers.
        std::optional<uint64_t> retry_after;
        curl_header *header = nullptr;
        if (rc == CURLE_OK && transfer->record->retries > 0 &&
            curl_easy_header(handle, "Retry-After", 0, CURLH_HEADER, -1, &header) == CURLHE_OK)
            retry_after = htsParseRetryAfter(header->value, std::time(nullptr));
        const curl_socket_t worn_out = transfer->record->connection_max_requests > 0
            ? CountConnectionUse(handle, transfer->record->connection_max_requests)
            : CURL_SOCKET_BAD;
        curl_multi_remove_handle(multi.get(), handle);
        if (worn_out != CURL_SOCKET_BAD) RetireConnection(worn_out);

        Channel &channel = *transfer->channel;
        channel.in_flight--;
        in_flight--;
        const htsPostOutcome outcome = htsReportPost(tag, *transfer->record, handle, rc, transfer->error);
        if (rc != CURLE_OK) ReportOutOfDescriptors(tag, *transfer->record, handle);
        if (channel.stats) channel.stats->RecordTransfer(handle, outcome, transfer->error);
        if (channel.adaptive) AdaptLimitOnEnd(channel, *transfer, outcome);
        if (!channel.url_records.empty()) NoteUrlOutcome(channel, *transfer, outcome);
        if (!DrainPostEnded(channel, *transfer, outcome) && !outcome.Delivered())
            RetryOrGiveUp(channel, *transfer, outcome, retry_after);
        transfer->payload.reset();
        transfer->bodies.reset();
        transfer->record.reset();
        ReturnTransfer(channel, transfer);
        if (channel.active)
            StartBacklog(channel);
        else
            ForgetIfDone(channel.name);
    }
}

void htsParallelDelivery::ForgetIfDone(const std::string &name)
{
    auto it = channels.find(name);
    if (it != channels.end() && !it->second->active && it->second->in_flight == 0) channels.erase(it);
}

void htsParallelDelivery::Perform()
{
    // Transfers started while reaping are sent on their way in the same
    // call rather than after another trip through the wait.
    if (awaiting_retry > 0) StartDueRetries();
    PumpDrain();
    for (int pass = 0; pass < 4; pass++) {
        long due = -1;
        curl_multi_timeout(multi.get(), &due);
        if (due == 0) {
            int running = 0;
            curl_multi_socket_action(multi.get(), CURL_SOCKET_TIMEOUT, 0, &running);
        }
        const uint64_t before = started;
        Reap();
        if (started == before) break;
    }
}

void htsParallelDelivery::Stop()
{
    // What ended already is reported as it ended.
    Reap();
    for (auto &[name, channel] : channels) {
        for (auto &transfer : channel->transfers) {
            if (!transfer->payload) continue;
            // Cut off here and reported as a serial post cut short by the
            // stop is.
            curl_multi_remove_handle(multi.get(), transfer->handle.get());
            htsRefusePost(tag, *transfer->record, channel->stats.get(), CURLE_ABORTED_BY_CALLBACK);
            // Cut off before its answer: the collector may or may not have
            // it, and a duplicate beats a loss.
            if (!ReleaseIfDrained(transfer->payload)) SpoolPayload(*transfer->record, transfer->payload, "stopped");
            transfer->payload.reset();
            transfer->bodies.reset();
            transfer->record.reset();
            channel->in_flight--;
            in_flight--;
            channel->idle.push_back(transfer.get());
        }
        ReleaseBacklog(*channel, "stopped", true);
        ShowLevels(*channel);
    }
    // Everything spooled is on disk before the worker ends.
    if (spool) spool->Finish();
}
