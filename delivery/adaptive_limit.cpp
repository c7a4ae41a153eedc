#include <algorithm>
#include <cmath>

#include "delivery/adaptive_limit.h"

htsAdaptiveLimit::htsAdaptiveLimit(uint32_t ceiling) noexcept : ceiling(std::max<uint32_t>(ceiling, 1)) { }

void htsAdaptiveLimit::SetCeiling(uint32_t value) noexcept
{
    ceiling = std::max<uint32_t>(value, 1);
    if (current > ceiling) {
        current = ceiling;
        NewRound();
    }
}

htsAdaptiveLimit::Ticket htsAdaptiveLimit::Started(size_t in_flight, Clock::time_point now) noexcept
{
    if (in_flight >= current) round_full = true;
    return Ticket{ now, decreases, ++starts, in_flight <= 1 };
}

void htsAdaptiveLimit::NewRound() noexcept
{
    round_size = current;
    round_count = 0;
    round_sum_ms = 0.0;
    round_full = false;
    round_pressure = false;
}

void htsAdaptiveLimit::Decrease(double factor) noexcept
{
    uint32_t next = static_cast<uint32_t>(std::floor(current * factor));
    if (next >= current) next = current - 1;
    current = std::max<uint32_t>(next, 1);
    decreases++;
    good_rounds = 0;
    NewRound();
}

bool htsAdaptiveLimit::Ended(const Ticket &ticket, Outcome outcome, Clock::time_point now) noexcept
{
    const uint32_t before = current;
    if (outcome == Outcome::Other) return false;
    if (outcome == Outcome::BackPressure) {
        // The posts that were in flight when the limit last came down say
        // nothing of the new limit.
        if (ticket.decreases != decreases) return false;
        // Pushed back again at or below the level of last time: probe that
        // level ever more rarely.
        probe_rounds = (pressure_level != 0 && current <= pressure_level)
            ? std::min(probe_rounds * 2, probe_rounds_max)
            : 2;
        pressure_level = current;
        round_pressure = true;
        if (current > 1) Decrease(pressure_backoff);
        return current != before;
    }

    const double latency_ms = std::chrono::duration<double, std::milli>(now - ticket.start).count();
    if (baseline_ms < 0)
        baseline_ms = latency_ms;
    else if (ticket.alone && ticket.starts == starts)
        baseline_ms += (latency_ms - baseline_ms) * baseline_weight;
    round_count++;
    round_sum_ms += latency_ms;
    if (round_count < round_size) return false;

    const double mean = round_sum_ms / round_count;
    baseline_ms = std::min(baseline_ms, mean);
    const bool clean = !round_pressure;
    if (mean > baseline_ms * decrease_above + latency_slack_ms) {
        Decrease(latency_backoff);
        return current != before;
    }
    if (clean && pressure_level != 0 && current >= pressure_level && round_full) {
        // A whole round where the collector pushed back before: it takes
        // more now.
        pressure_level = 0;
        probe_rounds = 1;
    }
    if (round_full && mean <= baseline_ms * increase_below + latency_slack_ms && current < ceiling) {
        if (pressure_level == 0 || current + 1 < pressure_level || ++good_rounds >= probe_rounds) {
            current++;
            good_rounds = 0;
        }
    }
    NewRound();
    return current != before;
}
