#ifndef HTS_ADAPTIVE_LIMIT_H
#define HTS_ADAPTIVE_LIMIT_H

#include <chrono>
#include <cstddef>
#include <cstdint>

// The in-flight limit of a channel with "max_in_flight": "auto": how many
// posts it may have running at once, found from its collector's answers.
//
// It starts at 1 and moves once per round, a round being as many ended
// posts as the limit was when the round began:
//   - up by one after a round in which every place was in use at some point
//     and whose mean latency stayed within increase_below times the baseline
//     (plus latency_slack_ms);
//   - down to latency_backoff of itself after a round whose mean latency
//     went past decrease_above times the baseline (plus the slack);
//   - down to pressure_backoff of itself, at once, on back-pressure (a
//     retryable failure: no connection, a time-out, 429, 503, ...), at most
//     once for the posts that were in flight when it last went down.
// After back-pressure, growing back to the level where it came takes
// probe_rounds good rounds instead of one, doubled each time the collector
// pushes back at that level again (up to probe_rounds_max) and reset once a
// whole round at that level passes without it: a collector that refuses
// past a fixed concurrency is probed ever more rarely.
//
// The baseline is the latency of a post that ran alone on its channel
// (nothing else in flight when it started, nothing started until it
// ended), smoothed, and lowered to any round's mean below it. Latency is measured per post from its start to its
// end: a retry's wait before it starts is no part of it.
//
// Pure bookkeeping on the caller's clock; no locks, no I/O.
class htsAdaptiveLimit
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr double increase_below = 1.1;
    static constexpr double decrease_above = 1.5;
    static constexpr double latency_slack_ms = 1.0;
    static constexpr double latency_backoff = 0.9;
    static constexpr double pressure_backoff = 0.7;
    static constexpr double baseline_weight = 0.125;
    static constexpr uint32_t probe_rounds_max = 64;

    // How a post ended, for the limit.
    enum class Outcome : uint8_t {
        Answered,     // an answer, whatever its status, that does not say "later"
        BackPressure, // a failure that may clear by itself (see htsRetryable)
        Other,        // neither: not counted at all
    };

    // What a post's start leaves for its end.
    struct Ticket {
        Clock::time_point start{};
        uint64_t decreases = 0;
        uint64_t starts = 0; // posts started before it, itself included
        bool alone = false;  // nothing else in flight when it started
    };

    explicit htsAdaptiveLimit(uint32_t ceiling) noexcept;

    // A new ceiling (a reload); the limit comes down to it if above.
    void SetCeiling(uint32_t ceiling) noexcept;

    uint32_t Current() const noexcept { return current; }
    uint32_t Ceiling() const noexcept { return ceiling; }
    // Milliseconds; negative before the first answer.
    double BaselineMs() const noexcept { return baseline_ms; }

    // A post starts, with `in_flight` posts of the channel running, itself
    // included.
    Ticket Started(size_t in_flight, Clock::time_point now) noexcept;
    // The post of `ticket` ended. True when Current() changed.
    bool Ended(const Ticket &ticket, Outcome outcome, Clock::time_point now) noexcept;

private:
    void Decrease(double factor) noexcept;
    void NewRound() noexcept;

    uint32_t ceiling;
    uint32_t current = 1;
    double baseline_ms = -1.0;
    uint64_t decreases = 0;
    uint64_t starts = 0;

    uint32_t round_size = 1;
    uint32_t round_count = 0;
    double round_sum_ms = 0.0;
    bool round_full = false;
    bool round_pressure = false;

    // The limit at which back-pressure last came (0: none since the last
    // clean round at that level), and the good rounds it takes to grow to it.
    uint32_t pressure_level = 0;
    uint32_t probe_rounds = 1;
    uint32_t good_rounds = 0;
};

#endif
