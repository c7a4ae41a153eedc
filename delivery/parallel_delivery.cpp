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

// One post slot of a channel: its easy handle, made once with the options of
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
    // Which try of the payload this post is, from 1.
    uint32_t attempt = 0;

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

    std::deque<std::shared_ptr<vxPluginSinkPayload>> backlog;
    uint64_t backlog_bytes = 0;
    // An episode of drops: set by the first payload that did not fit, logged
    // once at each end.
    bool dropping = false;
    unsigned long long dropped = 0;

    // Payloads waiting for their next try, each holding the place of a post
    // in flight; their bodies count in backlog_bytes.
    struct Retry {
        std::shared_ptr<vxPluginSinkPayload> payload;
        uint32_t attempt; // the try it waits for
        std::chrono::steady_clock::time_point due;
    };
    std::deque<Retry> retrying;

    // Payloads of the agent's queue spooled at a stop.
    unsigned long long queued_spooled = 0;

    std::vector<std::unique_ptr<Transfer>> slots;
    std::vector<Transfer *> idle;
    size_t in_flight = 0;

    // With one post in flight a waiting retry holds the channel's only place,
    // so that nothing overtakes it; with more, order is not kept anyway and
    // the others go on posting while it waits.
    size_t Held() const noexcept { return record->max_in_flight == 1 ? retrying.size() : 0; }
    bool HasRoom() const noexcept { return active && in_flight + Held() < record->max_in_flight; }
    // A retry takes any free place, however many others wait: they hold
    // places against the backlog, not against each other.
    bool HasRoomForRetry() const noexcept { return active && in_flight < record->max_in_flight; }
};

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

// What a waiting payload counts against its channel's bound: its body, and
// at least one byte, so that empty bodies cannot pile up without limit.
uint64_t BacklogCost(const vxPluginSinkPayload &payload) noexcept
{
    return std::max<uint64_t>(payload.length, 1);
}

// Over TLS the second post waits for the first connection to learn whether
// it can share it (HTTP/2) instead of opening its own.
htsOptionResult SetPipeWait(CURL *handle, const htsChannelConfig &record)
{
    htsOptionResult set;
    set.code = curl_easy_setopt(handle, CURLOPT_PIPEWAIT, IsHttps(record.url) ? 1L : 0L);
    if (!set) set.option = CURLOPT_PIPEWAIT;
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
    htsFiguresLookup figures)
    : tag(tag), stop(stop), figures(std::move(figures))
{
    // The multi handle may come before any easy handle.
    htsInitCurl();
    // Made at once (its thread only when something is spooled), so the
    // status can read its figures from any thread.
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

void htsParallelDelivery::CloseDescriptors() noexcept
{
    if (epoll_fd >= 0) close(epoll_fd);
    if (wake_fd >= 0) close(wake_fd);
    epoll_fd = wake_fd = -1;
}

htsParallelDelivery::SocketWatch *htsParallelDelivery::WatchOf(curl_socket_t socket) noexcept
{
    if (socket < 0) return nullptr;
    const size_t index = static_cast<size_t>(socket);
    try {
        if (index >= watches.size()) watches.resize(std::max<size_t>(index + 1, 64));
    }
    catch (...) {
        return nullptr;
    }
    return &watches[index];
}

int htsParallelDelivery::WatchSocket(CURL *, curl_socket_t socket, int what, void *self, void *) noexcept
{
    auto *engine = static_cast<htsParallelDelivery *>(self);
    const int epoll_fd = engine->epoll_fd;
    SocketWatch *watch = engine->WatchOf(socket);
    if (what == CURL_POLL_REMOVE) {
        if (watch != nullptr) {
            // Left in the set: see SocketWatch.
            watch->wanted = false;
            return 0;
        }
        epoll_ctl(epoll_fd, EPOLL_CTL_DEL, socket, nullptr);
        return 0;
    }
    epoll_event ev{};
    ev.events = ((what & CURL_POLL_IN) ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) ? EPOLLOUT : 0u);
    ev.data.fd = socket;
    if (watch == nullptr) {
        if (epoll_ctl(epoll_fd, EPOLL_CTL_MOD, socket, &ev) != 0 && errno == ENOENT)
            epoll_ctl(epoll_fd, EPOLL_CTL_ADD, socket, &ev);
        return 0;
    }
    const bool was_wanted = watch->wanted;
    watch->wanted = true;
    if (watch->in_set) {
        // Unchanged while libcurl watched it all along: nothing to do. A
        // socket it picks up again may be a new one under the same number,
        // whose predecessor left the set when it closed: always told.
        if (was_wanted && watch->events == ev.events) return 0;
        if (epoll_ctl(epoll_fd, EPOLL_CTL_MOD, socket, &ev) == 0) {
            watch->events = ev.events;
            return 0;
        }
        if (errno != ENOENT) return 0;
    }
    watch->in_set = epoll_ctl(epoll_fd, EPOLL_CTL_ADD, socket, &ev) == 0 ||
        (errno == EEXIST && epoll_ctl(epoll_fd, EPOLL_CTL_MOD, socket, &ev) == 0);
    // Unwatched, a transfer still ends at its time limit.
    watch->events = watch->in_set ? ev.events : 0;
    return 0;
}

htsParallelDelivery::~htsParallelDelivery()
{
    for (auto &[name, channel] : channels) {
        for (auto &slot : channel->slots)
            if (slot->payload) curl_multi_remove_handle(multi.get(), slot->handle.get());
    }
    channels.clear();
    multi.reset();
    CloseDescriptors();
}

void htsParallelDelivery::Configure(const std::map<std::string, htsChannelConfig> &config)
{
    for (const auto &[name, record] : config) {
        std::unique_ptr<Channel> &state = channels[name];
        if (!state) {
            state = std::make_unique<Channel>();
            state->name = name;
        }
        // A copy starts without header lists; it builds its own, which the
        // transfers that start under it keep alive.
        state->record = std::make_shared<htsChannelConfig>(record);
        state->active = true;
        state->stats = figures ? figures(name) : nullptr;
        Publish(*state);
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
                channel.active = false;
                channel.dropping = false;
                channel.dropped = 0;
                // Its figures went with it.
                channel.stats.reset();
            }
        }
        // Slots beyond a lowered limit go now if idle, else when their post
        // ends; a removed channel keeps none.
        const size_t keep = channel.active ? channel.record->max_in_flight : 0;
        while (!channel.idle.empty() && channel.slots.size() > keep) {
            Transfer *slot = channel.idle.back();
            channel.idle.pop_back();
            std::erase_if(channel.slots, [slot](const auto &s) { return s.get() == slot; });
        }
        if (!channel.active && channel.in_flight == 0) {
            it = channels.erase(it);
            continue;
        }
        // A raised limit lets waiting payloads start at once.
        StartWaiting(channel);
        ++it;
    }
}

void htsParallelDelivery::Offer(const std::shared_ptr<vxPluginSinkPayload> &payload)
{
    for (const std::string &name : payload->channel_names) {
        auto it = channels.find(name);
        if (it == channels.end() || !it->second->active) {
            vx_dprintf("%s: channel not defined: %s\n", tag.c_str(), htsEscapeControl(name).c_str());
            continue;
        }
        Channel &channel = *it->second;
        const htsChannelConfig &record = *channel.record;

        // Only a payload that has to wait counts against the backlog, so an
        // idle channel takes even a body larger than its bound.
        const bool start_now = channel.backlog.empty() && channel.HasRoom() && !stop.load();
        const uint64_t length = BacklogCost(*payload);
        if (!start_now &&
            (length > record.max_backlog_bytes ||
                channel.backlog_bytes > record.max_backlog_bytes - length)) {
            if (!channel.dropping) {
                channel.dropping = true;
                vx_printf("%sbacklog full, dropping payloads\n",
                    htsChannelLinePrefix(tag, channel.name, record.url).c_str());
            }
            channel.dropped++;
            if (channel.stats) channel.stats->AddDropped();
            Keep(record, payload, "backlog full");
            continue;
        }
        if (channel.dropping) {
            vx_printf("%sbacklog accepting again, %llu payloads dropped\n",
                htsChannelLinePrefix(tag, channel.name, record.url).c_str(), channel.dropped);
            channel.dropping = false;
            channel.dropped = 0;
        }

        if (start_now) {
            Start(channel, payload);
        }
        else {
            channel.backlog.push_back(payload);
            channel.backlog_bytes += length;
            waiting++;
        }
        Publish(channel);
    }
}

void htsParallelDelivery::Publish(const Channel &channel) noexcept
{
    if (channel.stats)
        channel.stats->SetLevels(channel.backlog.size() + channel.retrying.size(), channel.backlog_bytes,
            channel.in_flight);
}

htsParallelDelivery::Transfer *htsParallelDelivery::TakeSlot(Channel &channel)
{
    if (!channel.HasRoomForRetry()) return nullptr; // scheduling decided the rest
    if (!channel.idle.empty()) {
        Transfer *slot = channel.idle.back();
        channel.idle.pop_back();
        return slot;
    }

    auto slot = std::make_unique<Transfer>();
    slot->handle.reset(curl_easy_init());
    if (!slot->handle) throw vxException("%s: curl_easy_init: failed", tag.c_str());
    slot->tag = &tag;
    slot->channel = &channel;

    htsHandleCallbacks callbacks;
    callbacks.error_buffer = slot->error;
    callbacks.write_function = Transfer::Sink;
    callbacks.write_data = slot.get();
    callbacks.progress_function = htsProgressCheck;
    callbacks.progress_data = const_cast<std::atomic<bool> *>(&stop);
    htsOptionResult result = htsSetHandleOptions(slot->handle.get(), callbacks);
    // Decided once, for the handle's whole life, as for the serial handle.
    if (result && vxGlobalConfig::GetInstance().flags.IsSet(vxGlobalConfig::DEBUG_CURL)) {
        callbacks.debug_function = htsDebugTrace;
        callbacks.debug_data = const_cast<std::string *>(&tag);
        result = htsSetHandleOptions(slot->handle.get(), callbacks);
    }
    if (result) {
        CURLcode rc = curl_easy_setopt(slot->handle.get(), CURLOPT_PRIVATE, slot.get());
        if (rc != CURLE_OK) result.code = rc;
    }
    if (!result) {
        // A handle without its callbacks or its protocol restriction must not
        // post at all; the next post tries a new one.
        htsRefusePost(tag, *channel.record, channel.stats.get(), result.code);
        return nullptr;
    }
    channel.slots.push_back(std::move(slot));
    return channel.slots.back().get();
}

void htsParallelDelivery::Start(Channel &channel, const std::shared_ptr<vxPluginSinkPayload> &payload,
    uint32_t attempt)
{
    Transfer *slot = TakeSlot(channel);
    if (slot == nullptr) return;
    CURL *handle = slot->handle.get();
    htsChannelConfig &record = *channel.record;

    if (!htsPreparePost(tag, record, handle, *payload, channel.stats.get(), SetPipeWait)) {
        ReturnSlot(channel, slot);
        return;
    }

    slot->record = channel.record;
    slot->payload = payload;
    slot->attempt = attempt;
    slot->response.clear();
    slot->error[0] = '\0';
    CURLMcode mc = curl_multi_add_handle(multi.get(), handle);
    if (mc != CURLM_OK) {
        vx_printf("%s%s [%d]\n", htsChannelLinePrefix(tag, record.channel, record.url).c_str(),
            curl_multi_strerror(mc), static_cast<int>(mc));
        // The post never started, as when libcurl fails to set one up.
        if (channel.stats) channel.stats->RecordRefusal(CURLE_FAILED_INIT, curl_multi_strerror(mc));
        slot->record.reset();
        slot->payload.reset();
        ReturnSlot(channel, slot);
        return;
    }
    channel.in_flight++;
    in_flight++;
    started++;
}

void htsParallelDelivery::StartWaiting(Channel &channel)
{
    // Retries whose time has come go before the backlog.
    if (!channel.retrying.empty()) StartDueRetries(channel);
    // Once a stop is asked for, nothing new is posted.
    while (!stop.load() && !channel.backlog.empty() && channel.HasRoom()) {
        std::shared_ptr<vxPluginSinkPayload> payload = std::move(channel.backlog.front());
        channel.backlog.pop_front();
        channel.backlog_bytes -= BacklogCost(*payload);
        waiting--;
        Start(channel, payload);
    }
    Publish(channel);
}

void htsParallelDelivery::ReturnSlot(Channel &channel, Transfer *slot)
{
    const size_t keep = channel.active ? channel.record->max_in_flight : 0;
    if (channel.slots.size() > keep) {
        std::erase_if(channel.slots, [slot](const auto &s) { return s.get() == slot; });
        return;
    }
    channel.idle.push_back(slot);
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
        auto *slot = reinterpret_cast<Transfer *>(address);
        // An answer that says when to come back is read while the handle
        // still holds its headers.
        std::optional<uint64_t> retry_after;
        curl_header *header = nullptr;
        if (rc == CURLE_OK && slot->record->retries > 0 &&
            curl_easy_header(handle, "Retry-After", 0, CURLH_HEADER, -1, &header) == CURLHE_OK)
            retry_after = htsParseRetryAfter(header->value, std::time(nullptr));
        curl_multi_remove_handle(multi.get(), handle);

        Channel &channel = *slot->channel;
        channel.in_flight--;
        in_flight--;
        const htsPostOutcome outcome = htsReportPost(tag, *slot->record, handle, rc, slot->error);
        if (rc != CURLE_OK) ReportOutOfDescriptors(tag, *slot->record, handle);
        if (channel.stats) channel.stats->RecordTransfer(handle, outcome, slot->error);
        if (!outcome.Delivered()) Failed(channel, *slot, outcome, retry_after);
        slot->payload.reset();
        slot->record.reset();
        ReturnSlot(channel, slot);
        if (channel.active)
            StartWaiting(channel);
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
    if (retry_waiting > 0) StartDueRetries();
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

void htsParallelDelivery::Arm() noexcept { armed.store(true); }

void htsParallelDelivery::Disarm() noexcept { armed.store(false); }

void htsParallelDelivery::Wait(int timeout_ms)
{
    long due = -1;
    curl_multi_timeout(multi.get(), &due);
    if (due >= 0 && due < timeout_ms) timeout_ms = static_cast<int>(due);
    // A retry's back-off ends the wait like a transfer's time limit does.
    const long retry_due = NextRetryMs();
    if (retry_due >= 0 && retry_due < timeout_ms) timeout_ms = static_cast<int>(retry_due);

    epoll_event events[64];
    const int ready = epoll_wait(epoll_fd, events, 64, timeout_ms);
    armed.store(false);
    for (int i = 0; i < ready; i++) {
        const int fd = events[i].data.fd;
        if (fd == wake_fd) {
            uint64_t count = 0;
            if (read(wake_fd, &count, sizeof(count)) < 0) { } // drained either way
            continue;
        }
        if (fd >= 0 && static_cast<size_t>(fd) < watches.size() && !watches[fd].wanted) {
            // A socket libcurl let go of has something to say (its peer
            // closed it, say): out of the set until libcurl wants it again.
            epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
            watches[fd].in_set = false;
            continue;
        }
        int mask = 0;
        if (events[i].events & EPOLLIN) mask |= CURL_CSELECT_IN;
        if (events[i].events & EPOLLOUT) mask |= CURL_CSELECT_OUT;
        if (events[i].events & (EPOLLERR | EPOLLHUP)) mask |= CURL_CSELECT_ERR;
        int running = 0;
        curl_multi_socket_action(multi.get(), fd, mask, &running);
    }
}

void htsParallelDelivery::Wake() noexcept
{
    // Only a sleeping (or about to sleep) worker needs the system call; the
    // exchange lets one waker pay it.
    if (armed.exchange(false)) {
        const uint64_t one = 1;
        if (write(wake_fd, &one, sizeof(one)) < 0) { } // a full counter wakes as well
    }
}

void htsParallelDelivery::ReleaseBacklog(Channel &channel, const char *why, bool keep)
{
    const unsigned long long count = channel.backlog.size() + channel.retrying.size();
    if (count == 0) return;
    vx_printf("%s%s, %llu payloads not sent\n", htsChannelLinePrefix(tag, channel.name, channel.record->url).c_str(),
        why, count);
    if (keep) {
        // Those that waited longest (the retries) go first, so a replay keeps
        // the channel's order.
        for (const Channel::Retry &r : channel.retrying) Keep(*channel.record, r.payload, why);
        for (const auto &payload : channel.backlog) Keep(*channel.record, payload, why);
    }
    waiting -= channel.backlog.size();
    retry_waiting -= channel.retrying.size();
    channel.backlog.clear();
    channel.retrying.clear();
    channel.backlog_bytes = 0;
    Publish(channel);
}

void htsParallelDelivery::Failed(Channel &channel, Transfer &slot, const htsPostOutcome &outcome,
    const std::optional<uint64_t> &retry_after)
{
    // The record in force decides all that follows (whether to try again,
    // the wait, the spool): a reload since the post started may have
    // changed any of it. The lines still name the URL that failed.
    const htsChannelConfig &record = *channel.record;
    // The stop may cut a transfer off before Stop() gets to it: a post that
    // the stop ended is kept like one Stop() ends.
    if (outcome.code == CURLE_ABORTED_BY_CALLBACK && stop.load()) {
        Keep(record, slot.payload, "stopped");
        return;
    }
    if (!htsRetryable(outcome)) {
        // Refused for good (a credential, a certificate, a size): with a
        // spool it is kept rather than thrown away, marked so that it is not
        // sent again as if nothing had changed.
        if (record.spool_dir.empty()) return;
        vx_printf("%sgiving up after %u attempts\n",
            htsChannelLinePrefix(tag, slot.record->channel, slot.record->url).c_str(), slot.attempt);
        if (channel.stats) channel.stats->AddGivenUp();
        Keep(record, slot.payload,
            outcome.code != CURLE_OK ? std::string(htsTransferReason(outcome.code, slot.error))
                                     : "HTTP: " + std::to_string(outcome.status),
            true);
        return;
    }
    if (slot.attempt <= record.retries && channel.active && !stop.load()) {
        const uint64_t delay = retry_after ? std::min(*retry_after, record.retry_backoff_max_ms)
                                           : htsBackoffDelay(record.retry_backoff_ms, record.retry_backoff_max_ms,
                                                 slot.attempt, random);
        channel.retrying.push_back({ slot.payload, slot.attempt + 1,
            std::chrono::steady_clock::now() + std::chrono::milliseconds(delay) });
        channel.backlog_bytes += BacklogCost(*slot.payload);
        retry_waiting++;
        if (channel.stats) channel.stats->AddRetried();
        return;
    }
    if (record.retries == 0 && record.spool_dir.empty()) return;
    vx_printf("%sgiving up after %u attempts\n",
        htsChannelLinePrefix(tag, slot.record->channel, slot.record->url).c_str(), slot.attempt);
    if (channel.stats) channel.stats->AddGivenUp();
    const std::string error = (outcome.code != CURLE_OK)
        ? std::string(htsTransferReason(outcome.code, slot.error))
        : "HTTP: " + std::to_string(outcome.status);
    Keep(record, slot.payload, error);
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
        channel.backlog_bytes -= BacklogCost(*retry.payload);
        retry_waiting--;
        Start(channel, retry.payload, retry.attempt);
    }
    if (channel.retrying.size() != before) Publish(channel);
}

long htsParallelDelivery::NextRetryMs() const
{
    if (retry_waiting == 0 || stop.load()) return -1;
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

void htsParallelDelivery::Keep(const htsChannelConfig &record, const std::shared_ptr<vxPluginSinkPayload> &payload,
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
    // At a stop nothing is turned away for the writer's queue: the bodies
    // are in memory anyway, and the stop waits for the disk.
    spool->Put(std::move(entry), stop.load() ? htsSpoolPut::always : htsSpoolPut::drop);
}

void htsParallelDelivery::Stop()
{
    // What ended already is reported as it ended.
    Reap();
    for (auto &[name, channel] : channels) {
        for (auto &slot : channel->slots) {
            if (!slot->payload) continue;
            // Cut off here and reported as a serial post cut short by the
            // stop is.
            curl_multi_remove_handle(multi.get(), slot->handle.get());
            htsRefusePost(tag, *slot->record, channel->stats.get(), CURLE_ABORTED_BY_CALLBACK);
            // Cut off before its answer: the collector may or may not have
            // it, and a duplicate beats a loss.
            Keep(*slot->record, slot->payload, "stopped");
            slot->payload.reset();
            slot->record.reset();
            channel->in_flight--;
            in_flight--;
            channel->idle.push_back(slot.get());
        }
        ReleaseBacklog(*channel, "stopped", true);
        Publish(*channel);
    }
    // Everything spooled is on disk before the worker ends.
    if (spool) spool->Finish();
}

void htsParallelDelivery::SpoolQueued(const std::shared_ptr<vxPluginSinkPayload> &payload)
{
    for (const std::string &name : payload->channel_names) {
        auto it = channels.find(name);
        if (it == channels.end() || !it->second->active || it->second->record->spool_dir.empty()) continue;
        Keep(*it->second->record, payload, "stopped");
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
