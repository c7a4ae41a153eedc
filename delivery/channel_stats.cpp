#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include "config/log_text.h"
#include "delivery/channel_stats.h"

// The sequence number is odd while a writer records. A reader copies between
// two even readings that agree; the fences order the figures against them
// (acquire after the copy, release after a writer's odd mark), which is what
// makes a copy that saw part of a write see the change of number too.
namespace {

// ThreadSanitizer supports no fences. Every figure is an atomic, so it has
// no race to find either way; there a read-modify-write of the sequence
// number, which it does understand, keeps copies consistent instead.
inline void SequenceFence([[maybe_unused]] std::atomic<uint64_t> &sequence, std::memory_order order)
{
#if defined(__SANITIZE_THREAD__)
    (void)order;
    sequence.fetch_add(0, std::memory_order_seq_cst);
#else
    std::atomic_thread_fence(order);
#endif
}

} // namespace

class htsChannelStats::Writing
{
public:
    explicit Writing(std::atomic<uint64_t> &sequence) : sequence(sequence)
    {
        uint64_t s = sequence.load(std::memory_order_relaxed);
        for (;;) {
            if ((s & 1) == 0 &&
                sequence.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed))
                break;
            if (s & 1) {
                // Another writer of the same channel is recording.
                std::this_thread::yield();
                s = sequence.load(std::memory_order_relaxed);
            }
        }
        SequenceFence(sequence, std::memory_order_release);
    }
    ~Writing() { sequence.fetch_add(1, std::memory_order_release); }
    Writing(const Writing &) = delete;
    Writing &operator=(const Writing &) = delete;

private:
    std::atomic<uint64_t> &sequence;
};

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

void Add(std::atomic<uint64_t> &counter, uint64_t n)
{
    // Writers are serialised, so a load and a store are enough.
    counter.store(counter.load(relaxed) + n, relaxed);
}

} // namespace

void htsChannelStats::Count(CodeTable &table, int64_t code)
{
    // The last slot sums whatever finds no slot of its own.
    for (size_t i = 0; i < code_slots; i++) {
        CodeSlot &slot = table[i];
        int64_t key = slot.key.load(relaxed);
        if (key == -1) {
            slot.key.store(code, relaxed);
            key = code;
        }
        if (key == code) {
            Add(slot.count, 1);
            return;
        }
    }
    Add(table[code_slots].count, 1);
}

void htsChannelStats::SetError(std::string_view text, int64_t now_ns)
{
    char buffer[error_word_count * 8] = {};
    const size_t length = std::min(text.size(), error_text_max);
    memcpy(buffer, text.data(), length);
    for (size_t i = 0; i < error_words.size(); i++) {
        uint64_t word;
        memcpy(&word, buffer + i * 8, 8);
        error_words[i].store(word, relaxed);
    }
    error_length.store(static_cast<uint32_t>(length), relaxed);
    last_error_ns.store(now_ns, relaxed);
}

void htsChannelStats::RecordPost(const htsPostOutcome &outcome, uint64_t bytes,
    std::chrono::microseconds latency, std::string_view reason)
{
    const int64_t now = htsWallClockNs();
    const uint64_t us = static_cast<uint64_t>(std::max<int64_t>(latency.count(), 0));
    std::string text;
    // Only failures pay for their text, outside the write.
    if (outcome.code != CURLE_OK)
        text = htsMaskUrlsInText(reason) + " [" + std::to_string(static_cast<int>(outcome.code)) + "]";
    else if (!outcome.succeeded)
        text = "HTTP: " + std::to_string(outcome.status);

    // Made before the write, so that a reader never waits for an
    // allocation; a post without memory for it only misses its duration.
    std::unique_ptr<Latencies> made;
    if (latencies.load(std::memory_order_acquire) == nullptr) {
        try {
            made = std::make_unique<Latencies>();
        }
        catch (const std::bad_alloc &) {
        }
    }

    Writing write(sequence);
    Add(posts, 1);
    Add(body_bytes, bytes);
    if (made && latencies.load(relaxed) == nullptr) {
        latencies_owned = std::move(made);
        latencies.store(latencies_owned.get(), std::memory_order_release);
    }
    if (Latencies *ring = latencies.load(relaxed)) {
        const uint64_t n = latency_count.load(relaxed);
        (*ring)[n % latency_window].store(static_cast<uint32_t>(std::min<uint64_t>(us, UINT32_MAX)), relaxed);
        latency_count.store(n + 1, relaxed);
    }
    if (outcome.Delivered()) {
        Add(succeeded, 1);
        last_success_ns.store(now, relaxed);
        return;
    }
    if (outcome.code != CURLE_OK)
        Count(errors, static_cast<int64_t>(outcome.code));
    else
        Count(answers, static_cast<int64_t>(outcome.status));
    SetError(text, now);
}

void htsChannelStats::RecordTransfer(CURL *handle, const htsPostOutcome &outcome, const char *error_buffer)
{
    // Both were measured by libcurl; reading them costs no system call.
    curl_off_t sent = 0, took_us = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_UPLOAD_T, &sent);
    curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME_T, &took_us);
    RecordPost(outcome, static_cast<uint64_t>(sent), std::chrono::microseconds(took_us),
        outcome.code != CURLE_OK ? htsTransferReason(outcome.code, error_buffer) : "");
}

void htsChannelStats::RecordRefusal(CURLcode code, std::string_view reason)
{
    const int64_t now = htsWallClockNs();
    const std::string text = std::string(reason) + " [" + std::to_string(static_cast<int>(code)) + "]";
    Writing write(sequence);
    Add(posts, 1);
    Count(errors, static_cast<int64_t>(code));
    SetError(text, now);
}

void htsChannelStats::SetLevels(uint64_t payloads, uint64_t bytes, uint64_t posts)
{
    Writing write(sequence);
    backlog_payloads.store(payloads, relaxed);
    backlog_bytes.store(bytes, relaxed);
    in_flight.store(posts, relaxed);
}

void htsChannelStats::AddDropped(uint64_t n)
{
    Writing write(sequence);
    Add(dropped, n);
}

void htsChannelStats::AddRetried(uint64_t n)
{
    Writing write(sequence);
    Add(retried, n);
}

void htsChannelStats::AddGivenUp(uint64_t n)
{
    Writing write(sequence);
    Add(given_up, n);
}

void htsChannelStats::SetAdaptiveLimit(uint32_t limit, double baseline_ms)
{
    Writing write(sequence);
    in_flight_limit.store(limit, relaxed);
    latency_baseline_ms.store(baseline_ms, relaxed);
}

void htsChannelStats::SetUrlStates(uint32_t count, uint32_t in_use, uint64_t down)
{
    Writing write(sequence);
    url_count.store(count, relaxed);
    url_in_use.store(in_use, relaxed);
    urls_down.store(down, relaxed);
}

void htsChannelStats::CopyCodes(const CodeTable &table, std::map<long, uint64_t> &to)
{
    for (const CodeSlot &slot : table) {
        const uint64_t count = slot.count.load(relaxed);
        if (count != 0) to[static_cast<long>(slot.key.load(relaxed))] += count;
    }
}

htsChannelFigures htsChannelStats::Read() const
{
    htsChannelFigures f;
    f.latencies_us.reserve(latency_window);
    for (unsigned attempt = 0;; attempt++) {
        // A writer holds the number odd for a few stores; one that was
        // switched out meanwhile is waited for without spinning.
        if (attempt > 4) std::this_thread::yield();
        const uint64_t before = sequence.load(std::memory_order_acquire);
        if (before & 1) continue;

        f.posts = posts.load(relaxed);
        f.succeeded = succeeded.load(relaxed);
        f.body_bytes = body_bytes.load(relaxed);
        f.answers.clear();
        CopyCodes(answers, f.answers);
        std::map<long, uint64_t> error_codes;
        CopyCodes(errors, error_codes);
        f.errors.clear();
        for (const auto &[code, count] : error_codes) f.errors[static_cast<int>(code)] = count;
        f.last_error_ns = last_error_ns.load(relaxed);
        f.last_success_ns = last_success_ns.load(relaxed);
        char text[error_word_count * 8];
        for (size_t i = 0; i < error_words.size(); i++) {
            const uint64_t word = error_words[i].load(relaxed);
            memcpy(text + i * 8, &word, 8);
        }
        f.last_error.assign(text, std::min<size_t>(error_length.load(relaxed), error_text_max));
        const uint64_t count = latency_count.load(relaxed);
        const uint64_t kept = std::min<uint64_t>(count, latency_window);
        f.latencies_us.clear();
        if (const Latencies *ring = latencies.load(std::memory_order_acquire)) {
            for (uint64_t i = count - kept; i < count; i++)
                f.latencies_us.push_back((*ring)[i % latency_window].load(relaxed));
        }
        f.backlog_payloads = backlog_payloads.load(relaxed);
        f.backlog_bytes = backlog_bytes.load(relaxed);
        f.in_flight = in_flight.load(relaxed);
        f.dropped = dropped.load(relaxed);
        f.retried = retried.load(relaxed);
        f.given_up = given_up.load(relaxed);
        f.in_flight_limit = in_flight_limit.load(relaxed);
        f.latency_baseline_ms = latency_baseline_ms.load(relaxed);
        f.url_count = url_count.load(relaxed);
        f.url_in_use = url_in_use.load(relaxed);
        f.urls_down = urls_down.load(relaxed);

        SequenceFence(sequence, std::memory_order_acquire);
        if (sequence.load(relaxed) == before) return f;
    }
}

double htsChannelFigures::LatencyMs(double q) const
{
    if (latencies_us.empty()) return -1.0;
    std::vector<uint32_t> sorted = latencies_us;
    const double rank = std::ceil(q * static_cast<double>(sorted.size()));
    const size_t index = static_cast<size_t>(std::clamp(rank, 1.0, static_cast<double>(sorted.size()))) - 1;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(index), sorted.end());
    return static_cast<double>(sorted[index]) / 1000.0;
}

nlohmann::json htsChannelFigures::ToJson(htsFigureSet set) const
{
    auto codes = [](const auto &map) {
        nlohmann::json j = nlohmann::json::object();
        // -1 sums the codes beyond those kept apart.
        for (const auto &[code, count] : map) j[code < 0 ? "other" : std::to_string(code)] = count;
        return j;
    };
    auto ms = [](double value) {
        return value < 0 ? nlohmann::json() : nlohmann::json(std::round(value * 1000.0) / 1000.0);
    };
    nlohmann::json j = {
        { "posts", posts },
        { "succeeded", succeeded },
        { "answers", codes(answers) },
        { "errors", codes(errors) },
        { "body_bytes", body_bytes },
        { "last_error", last_error_ns != 0 ? nlohmann::json(last_error) : nlohmann::json() },
        { "last_error_time", htsTimeJson(last_error_ns) },
        { "last_success_time", htsTimeJson(last_success_ns) },
        { "latency_ms", { { "median", ms(LatencyMs(0.5)) }, { "p99", ms(LatencyMs(0.99)) },
                            { "samples", latencies_us.size() } } },
    };
    if (set.parallel) {
        j["backlog_payloads"] = backlog_payloads;
        j["backlog_bytes"] = backlog_bytes;
        j["in_flight"] = in_flight;
        j["dropped"] = dropped;
        if (set.retries) {
            j["retried"] = retried;
            j["given_up"] = given_up;
        }
        if (in_flight_limit != 0)
            j["max_in_flight"] = { { "auto", true }, { "current", in_flight_limit },
                { "baseline_ms", ms(latency_baseline_ms) } };
        // By position; the status puts each URL, masked, beside its state.
        if (url_count != 0) {
            j["url_in_use"] = url_in_use;
            nlohmann::json states = nlohmann::json::array();
            for (uint32_t i = 0; i < url_count; i++)
                states.push_back(i < 64 && (urls_down >> i) & 1 ? "down" : "up");
            j["urls"] = std::move(states);
        }
    }
    return j;
}

int64_t htsWallClockNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

nlohmann::json htsTimeJson(int64_t ns)
{
    if (ns == 0) return nullptr;
    const time_t seconds = static_cast<time_t>(ns / 1000000000);
    const int micros = static_cast<int>((ns % 1000000000) / 1000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + n, sizeof(text) - n, ".%06dZ", micros);
    return text;
}
