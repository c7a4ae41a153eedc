#ifndef HTS_CHANNEL_STATS_H
#define HTS_CHANNEL_STATS_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include "delivery/post_result.h"

// Which of the optional figures a reader shows: those of the parallel engine
// (backlog, in flight, dropped), and those of retries on top of it.
struct htsFigureSet {
    bool parallel = false;
    bool retries = false;
};

// One channel's figures as a reader copied them: all from the same moment,
// so that posts always equal successes plus other answers plus errors.
struct htsChannelFigures {
    uint64_t posts = 0;
    uint64_t succeeded = 0;
    // Answers that are not among the channel's success codes, by status.
    std::map<long, uint64_t> answers;
    // Posts that got no answer, by libcurl's code.
    std::map<int, uint64_t> errors;
    uint64_t body_bytes = 0;
    std::string last_error;
    // Wall-clock nanoseconds since the epoch; 0 when it never happened.
    int64_t last_error_ns = 0;
    int64_t last_success_ns = 0;
    // The most recent post durations, oldest first.
    std::vector<uint32_t> latencies_us;

    uint64_t backlog_payloads = 0;
    uint64_t backlog_bytes = 0;
    uint64_t in_flight = 0;
    uint64_t dropped = 0;
    uint64_t retried = 0;
    uint64_t given_up = 0;
    // With an adaptive in-flight limit: the limit found (0: the limit is
    // fixed) and the latency it measures against (negative: none yet).
    uint32_t in_flight_limit = 0;
    double latency_baseline_ms = -1.0;
    // With fallback URLs: how many URLs (0: none), which one takes the next
    // post, and one bit for each that is down.
    uint32_t url_count = 0;
    uint32_t url_in_use = 0;
    uint64_t urls_down = 0;

    // The q-quantile (0 to 1) of the recent durations in milliseconds, by
    // nearest rank; negative without any.
    double LatencyMs(double q) const;

    nlohmann::json ToJson(htsFigureSet set) const;
};

// The stats of one channel: its running figures, written by whatever posts
// for it and read from any thread (Read() copies them out as figures).
// Writers never wait for a reader: every figure is an atomic, and a sequence
// number tells a reader to copy again when a post was recorded while it
// copied. Writers exclude each other on the same number,
// which only matters for an engine that posts from several threads.
//
// A channel's figures belong to its name: the plug-in keeps them across
// reloads for every channel that stays, and drops them with the channel.
class htsChannelStats
{
public:
    static constexpr size_t latency_window = 256;
    // Distinct status codes (and libcurl codes) kept apart; more are summed
    // under the code -1.
    static constexpr size_t code_slots = 8;
    static constexpr size_t error_text_max = 240;
    static constexpr size_t error_word_count = (error_text_max + 7) / 8;

    htsChannelStats() = default;
    htsChannelStats(const htsChannelStats &) = delete;
    htsChannelStats &operator=(const htsChannelStats &) = delete;

    // A finished post: its outcome as htsReportPost read it, the body bytes
    // libcurl sent and how long the post took. `reason` is what the log line
    // gave for a transfer error (libcurl's text); unused otherwise.
    void RecordPost(const htsPostOutcome &outcome, uint64_t body_bytes,
        std::chrono::microseconds latency, std::string_view reason = {});
    // The same for a post that ran on `handle`: the bytes and the duration
    // as libcurl measured them, and for a transfer error the reason its log
    // line gave (`error_buffer`, else libcurl's text for the code).
    void RecordTransfer(CURL *handle, const htsPostOutcome &outcome, const char *error_buffer);
    // A post that could not start (an option refused, no header list): an
    // error under `code` with `reason`, and no bytes.
    void RecordRefusal(CURLcode code, std::string_view reason);

    // Figures of the parallel engine: its levels, set together as they
    // change, and counts it adds to.
    void SetLevels(uint64_t backlog_payloads, uint64_t backlog_bytes, uint64_t in_flight);
    void AddDropped(uint64_t payloads = 1);
    void AddRetried(uint64_t posts = 1);
    void AddGivenUp(uint64_t payloads = 1);
    // An adaptive in-flight limit and its latency baseline; 0 for a fixed
    // limit.
    void SetAdaptiveLimit(uint32_t limit, double baseline_ms);
    // The states of a channel's URLs (see htsChannelFigures); 0 URLs for a
    // channel without fallbacks.
    void SetUrlStates(uint32_t count, uint32_t in_use, uint64_t down);

    // A consistent copy; never blocks a writer.
    htsChannelFigures Read() const;

private:
    using Counter = std::atomic<uint64_t>;

    // A code and how often it came; a free slot has the key -1.
    struct CodeSlot {
        std::atomic<int64_t> key{ -1 };
        Counter count{ 0 };
    };
    using CodeTable = std::array<CodeSlot, code_slots + 1>;

    class Writing;
    static void Count(CodeTable &table, int64_t code);
    static void CopyCodes(const CodeTable &table, std::map<long, uint64_t> &to);
    void SetError(std::string_view text, int64_t now_ns);

    // Mutable: under ThreadSanitizer a reader also writes it (see SequenceFence).
    mutable std::atomic<uint64_t> sequence{ 0 };

    Counter posts{ 0 };
    Counter succeeded{ 0 };
    Counter body_bytes{ 0 };
    CodeTable answers;
    CodeTable errors;
    std::atomic<int64_t> last_error_ns{ 0 };
    std::atomic<int64_t> last_success_ns{ 0 };
    // The text in 8-byte words, so a reader may copy it while it changes.
    std::array<std::atomic<uint64_t>, error_word_count> error_words;
    std::atomic<uint32_t> error_length{ 0 };

    // Made at the first post, so that the many channels of a large file
    // that never post cost little; published to readers through the
    // atomic, owned by the unique pointer.
    using Latencies = std::array<std::atomic<uint32_t>, latency_window>;
    Counter latency_count{ 0 };
    std::atomic<Latencies *> latencies{ nullptr };
    std::unique_ptr<Latencies> latencies_owned;

    Counter backlog_payloads{ 0 };
    Counter backlog_bytes{ 0 };
    Counter in_flight{ 0 };
    Counter dropped{ 0 };
    Counter retried{ 0 };
    Counter given_up{ 0 };
    std::atomic<uint32_t> in_flight_limit{ 0 };
    std::atomic<double> latency_baseline_ms{ -1.0 };
    std::atomic<uint32_t> url_count{ 0 };
    std::atomic<uint32_t> url_in_use{ 0 };
    std::atomic<uint64_t> urls_down{ 0 };
};

// Wall-clock nanoseconds since the epoch.
int64_t htsWallClockNs();

// "2026-12-10T12:00:00.123456Z" (UTC); null for 0.
nlohmann::json htsTimeJson(int64_t ns);

#endif
